#include "frame/console.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>

namespace korvane::tool {

Console::Console(std::FILE* out, std::FILE* err, bool colours, bool terminal)
    : out_(out), err_(err), colours_(colours), terminal_(terminal) {}

namespace {

#if defined(_WIN32)
bool stdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}
// A Windows console shows escape codes as text unless asked to interpret them; consoles
// older than Windows 10 cannot, and get plain text.
bool terminalTakesColours() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(out, &mode) != 0 &&
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#else
bool stdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}
bool terminalTakesColours() {
    return true;
}
#endif

}  // namespace

Console Console::standard() {
    const bool terminal = stdoutIsTerminal();
    const char* noColour = std::getenv("NO_COLOR");
    const bool colours =
        terminal && (noColour == nullptr || *noColour == '\0') && terminalTakesColours();
    return Console(stdout, stderr, colours, terminal);
}

void Console::print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out_);
}

void Console::line(std::string_view text) {
    print(text);
    std::fputc('\n', out_);
}

void Console::error(std::string_view text) {
    // Results on stdout must land before the diagnostic when both go to one terminal.
    std::fflush(out_);
    std::fputs("korvane: ", err_);
    std::fwrite(text.data(), 1, text.size(), err_);
    std::fputc('\n', err_);
    std::fflush(err_);
}

void Console::flush() {
    std::fflush(out_);
}

std::string Console::paint(std::string_view text, Colour colour) const {
    if (!colours_) return std::string(text);
    const char* code = "";
    switch (colour) {
        case Colour::Green:
            code = "\x1b[32m";
            break;
        case Colour::Red:
            code = "\x1b[1;31m";
            break;
        case Colour::Yellow:
            code = "\x1b[33m";
            break;
        case Colour::Bold:
            code = "\x1b[1m";
            break;
        case Colour::Dim:
            code = "\x1b[2m";
            break;
    }
    return std::string(code) + std::string(text) + "\x1b[0m";
}

}  // namespace korvane::tool
