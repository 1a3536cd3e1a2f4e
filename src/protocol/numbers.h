// Number conversions for the wire: the same result in every locale and on every C runtime.
//
// Hosts call setlocale (GUI toolkits do at start-up), which changes the decimal separator of
// printf and strtof. The controller always speaks with '.', so the library never uses them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace korvane {

// Like strtof in the "C" locale: skips leading white space, takes an optional sign and the
// decimal, exponent, "inf" and "nan" forms. *end is set past the number, or to text when
// nothing converts (the result is then 0). Overflow gives +-infinity, underflow +-0.
float parseFloatPrefix(const char* text, const char** end);

// Like strtol in base 10, clamped to the 32-bit range even where long is 64 bits.
// *end is set past the number, or to text when nothing converts (the result is then 0).
std::int32_t parseInt32Prefix(const char* text, const char** end);

// printf's "%.3f" of value in the "C" locale: the decimal nearest to the exact value, "-0.000"
// keeps its sign, "nan" and "inf" for the non-finite. Returns the length written, the text is
// always terminated; size of 64 or more always fits a float.
int formatFixed3(double value, char* out, std::size_t size);

// Formats a command into out with a small printf-like language whose numbers do not depend on
// the locale: %c (char), %s (text), %d (int32), %f (double, as "%.3f"), %% (percent).
// Output longer than size - 1 is cut and terminated, as snprintf does. Returns the length of
// the complete output.
int formatCommand(char* out, std::size_t size, const char* format, ...);
int vformatCommand(char* out, std::size_t size, const char* format, va_list args);

}  // namespace korvane
