#include "pendant/pendant_keys.h"

// Last, and without its function-like macros (clear(), erase(), ...), which would rewrite
// member calls of the same names.
#define NCURSES_NOMACROS
#include <curses.h>

namespace korvane::tool {

namespace {

constexpr int kCtrlC = 3;

PendantKey jog(int axis, int direction) {
    return {PendantAction::Jog, axis, direction, 0};
}

PendantKey action(PendantAction what) {
    return {what, 0, 0, 0};
}

}  // namespace

PendantKey pendantKey(int key) {
    switch (key) {
        case KEY_RIGHT:
            return jog(0, +1);
        case KEY_LEFT:
            return jog(0, -1);
        case KEY_UP:
            return jog(1, +1);
        case KEY_DOWN:
            return jog(1, -1);
        case KEY_PPAGE:
            return jog(2, +1);
        case KEY_NPAGE:
            return jog(2, -1);
        case 'm':
            return action(PendantAction::ToggleMode);
        case '1':
        case '2':
        case '3':
        case '4':
            return {PendantAction::Step, 0, 0, key - '1'};
        case '+':
        case '=':
            return action(PendantAction::Faster);
        case '-':
            return action(PendantAction::Slower);
        case ' ':
            return action(PendantAction::FeedHold);
        case 'r':
            return action(PendantAction::Resume);
        case kEmergencyStopKey:
            return action(PendantAction::EmergencyStop);
        case 'h':
            return action(PendantAction::Home);
        case 'y':
            return action(PendantAction::Confirm);
        case 'q':
        case kCtrlC:
            return action(PendantAction::Quit);
        default:
            return action(PendantAction::None);
    }
}

}  // namespace korvane::tool
