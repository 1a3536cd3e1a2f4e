// What every export accepts as an argument, and the one wording of a refusal.
//
// The library refuses a bad argument with result 8 and this message; the korvane tool checks
// its command line with the same rules and prints the same message, so that a user sees the
// same words whichever of the two refused. The module depends on nothing else in the library
// for that reason: the tool compiles it in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::rules {

// One argument: its name as the C header spells the parameter, and what it accepts.
struct Rule {
    const char* name;
    const char* accepted;
};

inline constexpr Rule kAxis{"axis", "0..5 (x, y, z, a, b, c)"};
inline constexpr Rule kHomingAxis{"axis", "0..5 (x, y, z, a, b, c) or -1 (all)"};
inline constexpr Rule kFeed{"feed", "at least 1 and below 2147483648"};
inline constexpr Rule kPosition{"position", "a finite number"};
inline constexpr Rule kDistance{"distance", "a finite number"};
inline constexpr Rule kMaxTravel{"maxTravel", "a finite number"};
inline constexpr Rule kHomingPosition{"homingPosition", "a finite number"};
inline constexpr Rule kAcceleration{"acceleration", "a finite number greater than 0"};
inline constexpr Rule kVelocity{"velocity", "a magnitude of at least 0.1 and below 2147483648"};
inline constexpr Rule kLength{"length", "1 or more"};

// The accepted text of every pointer that must not be null; the rule's name is the
// parameter's.
inline constexpr const char* kNonNull = "a non-null pointer";

// The smallest velocity magnitude: a slower jog would be too short to see any travel in.
inline constexpr float kMinimumVelocity = 0.1f;

// 0..5; negative indexes are out of range as well.
constexpr bool acceptsAxis(std::int32_t axis) {
    return static_cast<std::uint32_t>(axis) <= 5u;
}

// An axis or -1, which homes all axes.
constexpr bool acceptsHomingAxis(std::int32_t axis) {
    return axis == -1 || acceptsAxis(axis);
}

// A feed must give a feed word of at least 1: below that the word would read F0, which the
// controller refuses. NaN, infinity and values of 2^31 or more have no whole-number word.
constexpr bool acceptsFeed(float feed) {
    return feed >= 1.0f && feed < 2147483648.0f;
}

// Positions, distances and travel settings go out as numbers: "nan" or "inf" is no value.
constexpr bool acceptsFinite(float value) {
    return value == value && value - value == 0.0f;
}

constexpr bool acceptsAcceleration(float acceleration) {
    return acceleration > 0.0f && acceptsFinite(acceleration);
}

// The sign gives the direction; the magnitude must have a whole-number feed word.
constexpr bool acceptsVelocity(float velocity) {
    const float magnitude = velocity < 0.0f ? -velocity : velocity;
    return magnitude >= kMinimumVelocity && magnitude < 2147483648.0f;
}

constexpr bool acceptsLength(std::size_t length) {
    return length > 0;
}

// Room for any refusal of the rules above with its value.
constexpr std::size_t kRefusalSize = 256;

// "Invalid <name>: <value> (accepted: <accepted>)" into out, cut to size - 1 characters and
// always terminated. value is the text as given: the tool passes the word on its command
// line, the library one of the overloads below.
void formatRefusal(char* out, std::size_t size, const char* name, const char* value,
                   const char* accepted);
void formatRefusal(char* out, std::size_t size, const Rule& rule, const char* value);
// The value as the shortest decimal that reads back as the same float ("0.05", "1e+10",
// "nan", "-inf"), in every locale.
void formatRefusal(char* out, std::size_t size, const Rule& rule, float value);
void formatRefusal(char* out, std::size_t size, const Rule& rule, std::int64_t value);

}  // namespace korvane::rules
