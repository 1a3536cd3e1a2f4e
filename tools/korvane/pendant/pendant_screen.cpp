#include "pendant/pendant_screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "frame/api_names.h"
#include "frame/text_format.h"
#include "pendant/pendant.h"
#include "pendant/pendant_keys.h"

// Last, and without its function-like macros (clear(), erase(), ...), which would rewrite
// member calls of the same names.
#define NCURSES_NOMACROS
#include <curses.h>

namespace korvane::tool {

namespace {

SCREEN* asScreen(void* screen) {
    return static_cast<SCREEN*>(screen);
}

// Text at (row, column), cut at the right edge instead of wrapping into the next line.
void put(int row, int column, const std::string& text, attr_t attributes = A_NORMAL) {
    const int room = COLS - column;
    if (row >= LINES || room <= 0) return;
    attron(attributes);
    mvaddnstr(row, column, text.c_str(), room);
    attroff(attributes);
}

std::string feedText(float feed) {
    return "F" + fixed(feed, 0);
}

std::string listText(const float* values, std::size_t count, int decimals) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ' ';
        text += fixed(values[i], decimals);
    }
    return text;
}

void drawPositions(const StatusReading& status, int row) {
    const int count = std::max(0, std::min<int>(status.count, kAxisCount));
    if (count == 0) {
        put(row, 2, "(the controller reported no positions)");
        return;
    }
    for (int axis = 0; axis < count; ++axis) {
        const char letter = static_cast<char>(axisLetter(axis) - 'a' + 'A');
        const std::string cell =
            std::string(1, letter) + padLeft(fixed(status.positions[axis], 3), 12);
        put(row + axis / 3, 2 + (axis % 3) * 20, cell, A_BOLD);
    }
}

}  // namespace

PendantScreen::~PendantScreen() {
    close();
}

bool PendantScreen::open(std::string* error) {
    if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) {
        *error = "the pendant needs a terminal on its input and output";
        return false;
    }
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        *error = "cannot use this terminal (is TERM set to a known type?)";
        return false;
    }
    screen_ = screen;
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    intrflush(stdscr, FALSE);
    // Arrow keys are escape sequences; waiting long for the rest of one would hold up every
    // key after it, and with it the release of a jog.
    set_escdelay(50);
    curs_set(0);
    return true;
}

void PendantScreen::close() {
    if (screen_ == nullptr) return;
    endwin();
    delscreen(asScreen(screen_));
    screen_ = nullptr;
    std::fflush(stdout);
}

int PendantScreen::readKey() {
    for (;;) {
        const int key = getch();
        if (key == ERR) return -1;
        // Sizes come through SIGWINCH and resize(); ncurses's own report adds nothing.
        if (key != KEY_RESIZE) return key;
    }
}

void PendantScreen::resize() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        resizeterm(size.ws_row, size.ws_col);
    }
}

bool PendantScreen::fits() const {
    return COLS >= kPendantMinColumns && LINES >= kPendantMinRows;
}

void PendantScreen::drawTooSmall() {
    erase();
    put(0, 0,
        "terminal too small (need " + std::to_string(kPendantMinColumns) + "x" +
            std::to_string(kPendantMinRows) + "): jogging is off; q quits",
        A_REVERSE);
    refresh();
}

void PendantScreen::draw(const Pendant& pendant, const std::string& title) {
    if (screen_ == nullptr) return;
    if (!fits()) {
        drawTooSmall();
        return;
    }
    erase();
    put(0, 0, padRight(" " + title, static_cast<std::size_t>(COLS)), A_REVERSE);

    const StatusReading& status = pendant.status();
    const bool fresh = pendant.statusFresh();
    const std::int32_t state = status.state;
    const bool alarm = state == KORVANE_STATE_ALARM;
    put(2, 0, "State");
    put(2, 10, fresh ? stateName(state) : "no answer", alarm || !fresh ? A_REVERSE : A_BOLD);
    put(2, 30, "Feed");
    put(2, 40, fixed(status.feed, 0));
    put(3, 0, "Limits");
    {
        std::string limits;
        for (int i = 0; i < 4; ++i) limits += (i > 0 ? " " : "") + std::to_string(status.limits[i]);
        put(3, 10, limits);
    }
    put(3, 30, "Axes");
    put(3, 40, std::to_string(status.count) + " reported");
    drawPositions(status, 5);

    const bool hold = pendant.mode() == JogMode::Hold;
    put(8, 0, "Mode");
    put(8, 10,
        hold ? "hold to jog (release " + std::to_string(pendant.releaseMs()) +
                   " ms, first repeat " + std::to_string(pendant.firstRepeatMs()) + " ms)"
             : "step jog (one step per press)",
        A_BOLD);
    put(9, 0, "Speed");
    put(9, 10, feedText(pendant.feed()), A_BOLD);
    put(9, 22, "- +  " + listText(kPendantFeeds.data(), kPendantFeeds.size(), 0));
    put(10, 0, "Step");
    put(10, 10, fixed(pendant.step(), pendant.step() < 0.1f ? 2 : 3), hold ? A_NORMAL : A_BOLD);
    put(10, 22, "1-4  0.01 0.1 1 10");
    put(11, 0, "Jog");
    if (pendant.jogging()) {
        const char letter = static_cast<char>(axisLetter(pendant.jogAxis()) - 'a' + 'A');
        put(11, 10,
            std::string(1, letter) + (pendant.jogDirection() > 0 ? "+" : "-") + " at " +
                feedText(pendant.feed()),
            A_BOLD | A_REVERSE);
    } else if (pendant.waitingForRelease()) {
        put(11, 10, "stopped; release the jog keys");
    } else {
        put(11, 10, "-");
    }

    put(13, 0, "Left/Right X   Down/Up Y   PgDn/PgUp Z   m hold/step");
    put(14, 0,
        std::string("Space hold   r resume   ") + static_cast<char>(kEmergencyStopKey) +
            " EMERGENCY STOP   h home   q quit");
    put(16, 0, "Message");
    if (pendant.confirmingHoming()) {
        put(16, 10, pendant.message(), A_REVERSE);
    } else {
        // Long messages (library errors) wrap over the last lines.
        const std::string& text = pendant.message();
        const int width = COLS - 10;
        int row = 16;
        for (std::size_t at = 0; at < text.size() && row < LINES; at += width, ++row) {
            put(row, 10, text.substr(at, width), pendant.messageIsError() ? A_BOLD : A_NORMAL);
        }
    }
    refresh();
}

}  // namespace korvane::tool
