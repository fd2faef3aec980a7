// Ctrl-C, a hang-up or a termination asks the recorder to stop: its waits
// look at the flag at least every few tens of milliseconds, whatever the
// encoder does, so the unfinished film can be removed and the program can
// end by the signal that stopped it.
#pragma once

#include <atomic>

namespace sph {

// The signal that asked to stop, or 0. Set by the handler, which may run on
// any of the process's threads.
extern std::atomic<int> stopSignal;

// Catches SIGINT, SIGTERM and SIGHUP, except those the caller chose to ignore
// (nohup, a background job of a script), which stay ignored. Also ignores
// SIGPIPE, so that a write to an encoder that has ended fails instead of
// ending the recorder, and restores SIGCHLD's default so that the encoder can
// be waited for.
void catchStopSignals();

// Ends the process by `signal`, as if it had not been caught.
[[noreturn]] void endBySignal(int signal);

}  // namespace sph
