#include "wire_format.h"

#include <charconv>
#include <system_error>

namespace korvane::sim {

std::string formatFixed3(double value) {
    char buffer[400];  // the largest double in fixed notation has 309 digits
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    return ec == std::errc() ? std::string(buffer, end) : std::string("0.000");
}

std::string formatShortest(double value) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

std::string formatStatusReport(std::string_view stateField,
                               const std::array<double, kAxisCount>& positions, double feed,
                               const std::array<int, 4>& limitPins) {
    std::string report = "<";
    report += stateField;
    report += "|MPos:";
    for (int i = 0; i < kAxisCount; ++i) {
        if (i > 0) report += ',';
        report += formatFixed3(positions[i]);
    }
    report += "|FS:";
    report += formatShortest(feed);
    report += ",0|Lim:";
    for (std::size_t i = 0; i < limitPins.size(); ++i) {
        if (i > 0) report += ',';
        report += std::to_string(limitPins[i]);
    }
    report += '>';
    return report;
}

}  // namespace korvane::sim
