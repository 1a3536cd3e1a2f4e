// The pendant's terminal, through ncurses: full screen while the pendant runs, restored on
// every way out (close() or the destructor).
//
// ncurses rather than hand-written escape codes: it decodes arrow and page keys from the
// terminal's own description (in both cursor-key modes), rewrites only what changed, and
// leaves the terminal modes and the alternate screen as it found them.
#pragma once

#include <string>

namespace korvane::tool {

class Pendant;

// The smallest terminal the pendant draws in; below it a one-line notice is shown instead
// and jogging is off.
inline constexpr int kPendantMinColumns = 64;
inline constexpr int kPendantMinRows = 20;

class PendantScreen {
  public:
    PendantScreen() = default;
    ~PendantScreen();  // close()
    PendantScreen(const PendantScreen&) = delete;
    PendantScreen& operator=(const PendantScreen&) = delete;

    // Takes over the terminal on stdin and stdout: raw keys (Ctrl-C and Ctrl-Z arrive as
    // keys, not signals), no echo, keypad decoding, reads that never wait. False, with the
    // reason, when the terminal cannot be used (unknown TERM, no terminal).
    bool open(std::string* error);
    // Restores the terminal. Safe to call twice, and on a terminal that has gone away.
    void close();

    // The next key, or -1 when none is waiting.
    int readKey();
    // Takes up the terminal's new size after SIGWINCH.
    void resize();
    bool fits() const;

    // Redraws everything; `title` heads the screen.
    void draw(const Pendant& pendant, const std::string& title);

  private:
    void drawTooSmall();
    void* screen_ = nullptr;  // the ncurses SCREEN, kept opaque to the includers
};

}  // namespace korvane::tool
