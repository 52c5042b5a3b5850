#pragma once
// Waiting for work that runs on a thread of its own (a long query on the database). On the
// GUI thread a local event loop runs that delivers paint events and timers (the wait
// animation) but no user input, so the screen stays drawn while the user cannot start
// anything else; on any other thread it simply sleeps until the work is done. The first
// 10 ms are watched closely without the loop (under a frame: nothing to paint yet), so a
// quick lookup is not held back by the loop's polling period.

#include <functional>

namespace fiscal::clientlib {

void waitWithoutInput(const std::function<bool()> &done);

// One turn of that loop, for work that waits on the calling thread itself (a server call):
// on the GUI thread the pending paint events and timers are delivered, user input is kept
// for later; on any other thread nothing happens.
void pumpWithoutInput();

// Whether the GUI thread is inside one of them now: what runs from the events delivered there
// must not pull the waiting screen from under it (close it, say).
bool waitingWithoutInput();

} // namespace fiscal::clientlib
