#include "status_file.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "wire_format.h"

namespace korvane::sim {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool writeStatusFile(const Simulator& simulator, const std::string& path) {
    const MachineSnapshot machine = simulator.snapshot();
    const std::vector<std::string> lines = simulator.receivedLines();
    std::size_t jogLines = 0;
    std::size_t estopLines = 0;
    std::size_t homeLines = 0;
    for (const std::string& line : lines) {
        if (startsWith(line, "$J=")) ++jogLines;
        if (line == "$ES") ++estopLines;
        if (startsWith(line, "$H")) ++homeLines;
    }

    std::string text = std::string("state ") + stateWord(machine.state) + "\n";
    for (int axis = 0; axis < kAxisCount; ++axis) {
        text +=
            std::string(1, kAxisLetters[axis]) + " " + formatFixed3(machine.positions[axis]) + "\n";
    }
    text += "feed " + formatFixed3(machine.feed) + "\n";
    const struct {
        const char* name;
        unsigned char byte;
    } realtime[] = {{"query_bytes", '?'},
                    {"hold_bytes", '!'},
                    {"resume_bytes", '~'},
                    {"jog_cancel_bytes", 0x85},
                    {"reset_bytes", 0x18}};
    for (const auto& entry : realtime) {
        text += std::string(entry.name) + " " +
                std::to_string(simulator.realtimeCount(entry.byte)) + "\n";
    }
    text += "lines " + std::to_string(lines.size()) + "\n";
    text += "jog_lines " + std::to_string(jogLines) + "\n";
    text += "estop_lines " + std::to_string(estopLines) + "\n";
    text += "home_lines " + std::to_string(homeLines) + "\n";
    text += "jogs_since_cancel " + std::to_string(simulator.jogsSinceLastCancel()) + "\n";

    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace korvane::sim
