#include "stop_signals.h"

#include <csignal>
#include <cstdlib>
#include <initializer_list>

namespace sph {

std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

void catchStopSignals() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    if (action.sa_handler == SIG_IGN) continue;
    action.sa_handler = [](int caught) { stopSignal = caught; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

void endBySignal(int signal) {
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::abort();  // not reached: the signal's default action ends the process
}

}  // namespace sph
