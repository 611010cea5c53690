// The keyboard step: Escape ends the program; m and u mute and unmute the input.
#include "device.h"
#include "events.h"
#include "support/log.h"
#include "support/platform.h"

bool keyboardStep(int cKey, LoopState& ls) {
    if (cKey == kKeyEscape || stopRequested()) return true;
    if (cKey == 'm') {
        ls.bMuted = true;
        myprintf("input muted\n");
        eventInputMuted(true);
    } else if (cKey == 'u') {
        ls.bMuted = false;
        myprintf("input unmuted\n");
        eventInputMuted(false);
    }
    return false;
}
