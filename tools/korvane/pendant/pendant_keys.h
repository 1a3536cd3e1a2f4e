// What each key does in the pendant. Keys come as ncurses key codes, so that arrow and page
// keys are recognised from the terminal's own description whatever sequences it sends.
#pragma once

namespace korvane::tool {

enum class PendantAction {
    None,
    Jog,            // with an axis and a direction
    ToggleMode,     // m: hold-to-jog <-> step jog
    Step,           // 1..4: the step size, with its index
    Faster,         // + or =
    Slower,         // -
    FeedHold,       // Space
    Resume,         // r
    EmergencyStop,  // e
    Home,           // h (asks for a confirmation first)
    Confirm,        // y: answers the homing question
    Quit,           // q, Ctrl-C
};

struct PendantKey {
    PendantAction action = PendantAction::None;
    int axis = 0;       // Jog: 0..2 for x, y, z
    int direction = 0;  // Jog: +1 or -1
    int index = 0;      // Step: 0..3
};

// The emergency stop is the plain letter 'e': no arrow, page or function key sends it, not
// even when its escape sequence reaches the program in pieces (they consist of ESC, '[',
// 'O', digits, ';', '~' and the capitals A-D, F, H, P-S).
inline constexpr int kEmergencyStopKey = 'e';

PendantKey pendantKey(int key);

}  // namespace korvane::tool
