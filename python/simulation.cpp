#include "simulation.h"

#include <openssl/evp.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "headless_run.h"
#include "solver/state_csv.h"

namespace sph {

namespace {
// A lock taken in turn: whoever asked first has it next, so a simulation
// stepping frame after frame cannot keep a reader, another simulation or a
// fork waiting for the whole of its step.
class TurnLock {
 public:
  void lock() {
    std::unique_lock<std::mutex> hold(mutex);
    const uint64_t ticket = nextTicket++;
    turn.wait(hold, [&] { return serving == ticket; });
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> hold(mutex);
      ++serving;
    }
    turn.notify_all();
  }
  // Around fork(): the forking thread takes its turn, then the mutex, so
  // that no thread is inside lock() or unlock() as the process is copied.
  void beforeFork() {
    lock();
    mutex.lock();
  }
  void inParentAfterFork() {
    mutex.unlock();
    unlock();
  }
  // The threads that waited for a turn are not in the child: their tickets
  // are dropped, and with them the condition variable they waited on.
  void inChildAfterFork() {
    new (&turn) std::condition_variable;
    nextTicket = serving + 1;
    mutex.unlock();
    unlock();
  }

 private:
  std::mutex mutex;
  std::condition_variable turn;
  uint64_t nextTicket = 0;  // the ticket the next lock() takes
  uint64_t serving = 0;     // the ticket whose turn it is
};

// Held while a simulation's variables are installed, and while a state is
// read, so no frame of another simulation (nor of the same one, from another
// thread) runs meanwhile.
TurnLock installedRun;
// Advanced in every child that fork() makes: a step begun under another
// number was begun in a parent.
uint32_t processNumber = 0;

// While it holds the lock, `simulation`'s variables are the process's; on
// leaving they are saved back into it and nothing is installed.
struct Installed {
  Simulation& simulation;
  std::unique_lock<TurnLock> lock{installedRun};
  explicit Installed(Simulation& s) : simulation(s) { installFrameState(simulation.state); }
  ~Installed() {
    if (lock.owns_lock()) leave();
  }
  void leave() {
    simulation.state = saveFrameState();
    installFluidSystem(nullptr);
    lock.unlock();
  }
  void enter() {
    lock.lock();
    installFrameState(simulation.state);
  }
};

// The clock readers see, from the installed variables (under the lock, so
// that a fork never copies the clock's lock held).
void publishClock(Simulation& simulation) {
  std::lock_guard<std::mutex> hold(simulation.clockLock);
  simulation.clock = {simulation.frame, saveFrameState()};
}

// A frame's pause between two of its parts: the lock is let go while the
// interruption is asked, so that what it runs (the interpreter's signal
// handlers) may use any simulation.
struct Pause {
  Installed& installed;
  FrameInterruption& interruption;
};

bool pauseToAsk(void* context) {
  Pause& pause = *static_cast<Pause*>(context);
  if (!pause.interruption.due()) return false;
  pause.installed.leave();
  const bool stop = pause.interruption.stop();
  pause.installed.enter();
  return stop;
}

}  // namespace

Simulation::Simulation(int32_t threadCount, BlockLayers blockLayers) : threads(threadCount), layers(blockLayers) {
  RunOptions options;
  options.threads = threads;
  options.layers = layers;
  Installed installed(*this);
  try {
    startRun(options);  // creates, installs and seeds; saved by `installed`
  } catch (...) {
    // A system made but not seeded (out of memory) goes with the failure.
    destroyFluidSystem(fluidSystem);
    installFluidSystem(nullptr);
    throw;
  }
  publishClock(*this);
}

Simulation::~Simulation() { destroyFluidSystem(state.system); }

bool beginStep(Simulation& simulation) {
  if (simulation.stepping && simulation.steppingProcess == processNumber) return false;
  if (simulation.stepping) {
    // Begun in the parent, by a thread the child does not have. The fork
    // waited for the lock, so that step stopped between two frames or in a
    // pause of one: a pause that undoStartedStep undoes.
    std::lock_guard<TurnLock> lock(installedRun);
    undoStartedStep(*simulation.state.system);
  }
  simulation.stepping = true;
  simulation.steppingProcess = processNumber;
  return true;
}

void endStep(Simulation& simulation) { simulation.stepping = false; }

bool runSimulationFrame(Simulation& simulation, const std::vector<KeyHold>& holds,
                        FrameInterruption& interruption) {
  Installed installed(simulation);
  holdArrows(holds, 0);
  Pause pause{installed, interruption};
  if (!simulateFrameUnlessStopped(pauseToAsk, &pause)) return false;
  ++simulation.frame;
  publishClock(simulation);
  return true;
}

bool arrowHold(const std::string& key, KeyHold& hold) {
  // The tools' own reading of a key name, so both take the same names.
  return key.find_first_of(":-") == std::string::npos && parseKeyHold(key + ":0-0", hold);
}

SimulationClock simulationClock(const Simulation& simulation) {
  std::lock_guard<std::mutex> hold(simulation.clockLock);
  return simulation.clock;
}

std::string simulationStateCsv(const Simulation& simulation) {
  std::lock_guard<TurnLock> lock(installedRun);
  return formatStateCsv(simulation.system());
}

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available");
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int k = 0; k < length; ++k) {
    hex += digits[digest[k] >> 4];
    hex += digits[digest[k] & 15];
  }
  return hex;
}

void guardForks() {
  pthread_atfork([] { installedRun.beforeFork(); }, [] { installedRun.inParentAfterFork(); },
                 [] {
                   ++processNumber;
                   installedRun.inChildAfterFork();
                 });
}

}  // namespace sph
