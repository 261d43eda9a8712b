// The DTE's DTR, watched for a drop that lasts S25 (the debounce of &D): during a connected call,
// on-line or not, and while a host name is dialled.
#pragma once

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// True once DTR has been seen down at every look for S25 x 10 ms (at the first look when S25 is
// 0). A drop is timed from the first look that sees it, or from going on-line, which arms the
// countdown and marks a drop as being timed (ls.dtr_drop_timing); seeing DTR up once, or lines
// that cannot be read, clears it. While DTR stays down it keeps answering true.
bool dtr_dropped(modem_state& ms, loop_state& ls, const clock_reading& now);

// Forgets a drop being timed: DTR counts as up until it is seen down again.
void dtr_forget(loop_state& ls);
