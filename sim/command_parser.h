// Turning one received command line into a typed command. Pure functions: no state, no
// clock, no locale (numbers are read with std::from_chars, '.' as the decimal point).
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <variant>

#include "simulator.h"

namespace korvane::sim {

// "$J=G90 x10.000 F600": one axis, absolute or relative, at a feed in units per minute.
struct JogCommand {
    bool relative = false;
    int axis = 0;
    double value = 0.0;
    double feed = 0.0;
};

// A program line such as "G91 G1 x5 y-2 F300". Every part is optional; what is missing keeps
// the machine's modal value.
struct MoveCommand {
    std::optional<int> motionMode;  // 0 rapid, 1 at the programmed feed
    std::optional<bool> relative;   // G91 true, G90 false
    std::array<std::optional<double>, kAxisCount> axes{};
    std::optional<double> feed;
};

struct HomeCommand {
    int axis = -1;  // -1: every axis
};

struct SetPositionCommand {
    int axis = 0;
    double value = 0.0;
};

enum class SettingKind { Acceleration, SoftLimits, MaxTravel, HomingMpos };

// "$axes/<axis>/<name>=<value>" stores, "$axes/<axis>/<name>" reads back. Soft limits carry
// 1.0 for true and 0.0 for false.
struct SettingCommand {
    int axis = 0;
    SettingKind kind = SettingKind::Acceleration;
    std::optional<double> value;
};

struct EmergencyStopCommand {};
struct UnlockCommand {};
struct SleepCommand {};
struct CheckModeCommand {};
struct HelpCommand {};
struct UuidQuery {};

struct ParseFailure {
    ErrorCode code = ErrorCode::UnknownCommand;
};

using Command = std::variant<ParseFailure, JogCommand, MoveCommand, HomeCommand, SetPositionCommand,
                             SettingCommand, EmergencyStopCommand, UnlockCommand, SleepCommand,
                             CheckModeCommand, HelpCommand, UuidQuery>;

Command parseCommand(std::string_view line);

// The name of a setting after "$axes/<axis>/".
std::string_view settingName(SettingKind kind);

// 0..5 for x y z a b c in either case, -1 for any other character.
int axisIndex(char letter);

// The whole text as one finite number with an optional sign ("12", "-0.5", "+3.250").
std::optional<double> parseNumber(std::string_view text);

}  // namespace korvane::sim
