// Where the tool writes: stdout for results, stderr for diagnostics, with colours only when
// stdout is a terminal (and NO_COLOR is unset), so that pipes and files get plain text.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace korvane::tool {

enum class Colour { Green, Red, Yellow, Bold, Dim };

class Console {
  public:
    Console(std::FILE* out, std::FILE* err, bool colours, bool terminal);
    // stdout/stderr, colours decided from the environment.
    static Console standard();

    void print(std::string_view text);  // to stdout, as is
    void line(std::string_view text);   // to stdout, with a line end
    void error(std::string_view text);  // "korvane: <text>" to stderr
    void flush();

    // The text wrapped in the colour's escape codes, or unchanged without colours.
    std::string paint(std::string_view text, Colour colour) const;
    bool terminal() const { return terminal_; }
    std::FILE* outputStream() const { return out_; }
    std::FILE* errorStream() const { return err_; }

  private:
    std::FILE* out_;
    std::FILE* err_;
    bool colours_;
    bool terminal_;
};

}  // namespace korvane::tool
