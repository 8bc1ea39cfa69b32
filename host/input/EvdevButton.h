#pragma once

#include <QtGlobal>

#include <linux/input-event-codes.h>

// The evdev code of a pointer button numbered as X does (1 left, 2 middle, 3 right, 8 back,
// 9 forward); 0 for a number without one (the wheel's 4-7 are not buttons there).
class EvdevButton {
public:
    static quint32 fromX(int button) {
        switch (button) {
        case 1:
            return BTN_LEFT;
        case 2:
            return BTN_MIDDLE;
        case 3:
            return BTN_RIGHT;
        case 8:
            return BTN_SIDE;
        case 9:
            return BTN_EXTRA;
        default:
            return 0;
        }
    }
};
