// The same run as sph-bench, done inside the test process, as the reference
// the executable's dump is compared with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "solver/fluid_system.h"
#include "solver/seeding.h"

namespace sph::runner_test {

struct InProcessRun {
  std::string csv;                   // formatStateCsv of the final state
  std::vector<Particle> particles;  // the final particle records
};

// Starts from a fresh program state (new global system, no ids issued,
// angles, keys and gravity reset), seeds `layers`, runs `frames` frames with
// Up held during the first `holdUp`, and releases the system again so the
// next test starts clean.
InProcessRun runInProcess(int32_t frames, int32_t threads, int32_t holdUp, BlockLayers layers = PROGRAM_BLOCK);

}  // namespace sph::runner_test
