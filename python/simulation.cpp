#include "simulation.h"

#include <openssl/evp.h>

#include <mutex>
#include <stdexcept>

#include "headless_run.h"
#include "solver/state_csv.h"

namespace sph {

namespace {
// Held while a simulation's variables are installed, and while a state is
// read, so no frame of another simulation (nor of the same one, from another
// thread) runs meanwhile.
std::mutex installedRun;

// While it lives, `simulation`'s variables are the process's; afterwards
// they are saved back into it and nothing is installed.
struct Installed {
  Simulation& simulation;
  std::lock_guard<std::mutex> lock{installedRun};
  explicit Installed(Simulation& s) : simulation(s) { installFrameState(simulation.state); }
  ~Installed() {
    simulation.state = saveFrameState();
    installFluidSystem(nullptr);
  }
};
}  // namespace

Simulation::Simulation(int32_t threadCount, BlockLayers blockLayers) : threads(threadCount), layers(blockLayers) {
  RunOptions options;
  options.threads = threads;
  options.layers = layers;
  Installed installed(*this);
  startRun(options);  // creates, installs and seeds; saved by `installed`
}

Simulation::~Simulation() { destroyFluidSystem(state.system); }

void runSimulationFrame(Simulation& simulation, const std::vector<KeyHold>& holds) {
  Installed installed(simulation);
  holdArrows(holds, 0);
  simulateFrame();
  ++simulation.frame;
}

bool arrowHold(const std::string& key, KeyHold& hold) {
  // The tools' own reading of a key name, so both take the same names.
  return key.find_first_of(":-") == std::string::npos && parseKeyHold(key + ":0-0", hold);
}

SimulationClock simulationClock(const Simulation& simulation) {
  std::lock_guard<std::mutex> lock(installedRun);
  return {simulation.frame, simulation.state};
}

std::string simulationStateCsv(const Simulation& simulation) {
  std::lock_guard<std::mutex> lock(installedRun);
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

}  // namespace sph
