#include "test_support.h"

#include <openssl/sha.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/frame.h"
#include "run_options.h"
#include "solver/simd_support.h"
#include "solver/state_csv.h"

namespace sph::test {

FreshProgram::FreshProgram() : own(createFluidSystem()) {
  installFluidSystem(own);
  resetFrameState();
}

FreshProgram::FreshProgram(int32_t threads, BlockLayers layers) : FreshProgram() {
  own->threadCount = threads;
  seedBlock(layers);
}

FreshProgram::~FreshProgram() {
  if (fluidSystem == own) installFluidSystem(nullptr);
  resetFrameState();
  destroyFluidSystem(own);
}

std::vector<Trajectory> trajectories() {
  std::ifstream file(SPH_TEST_DATA_DIR "/trajectories.txt");
  std::vector<Trajectory> lines;
  for (std::string line; std::getline(file, line);) {
    Trajectory t;
    char holds[256];
    if (line[0] != '#' && std::sscanf(line.c_str(), "%d %d %d,%d,%d %255s", &t.frames, &t.threads, &t.layers.x,
                                      &t.layers.y, &t.layers.z, holds) == 6) {
      t.holds = holds;
      t.sha256 = line.substr(line.rfind(' ') + 1);
      lines.push_back(t);
    }
  }
  return lines;
}

void runFrames(int32_t from, int32_t to, const std::string& holds) {
  std::vector<KeyHold> parsed;
  std::istringstream list(holds);
  for (std::string text; std::getline(list, text, ',');)
    if (KeyHold hold; parseKeyHold(text, hold)) parsed.push_back(hold);
  for (int32_t frame = from; frame < to; ++frame) {
    holdArrows(parsed, frame);
    simulateFrame();
  }
  holdArrows({}, 0);
}

std::string stateDigest() {
  const std::string text = formatStateCsv(*fluidSystem);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  char hex[2 * SHA256_DIGEST_LENGTH + 1];
  for (int k = 0; k < SHA256_DIGEST_LENGTH; ++k) std::snprintf(hex + 2 * k, 3, "%02x", digest[k]);
  return hex;
}

std::vector<Particle> snapshotParticles() {
  return std::vector<Particle>(fluidSystem->particles, fluidSystem->particles + fluidSystem->particleCount);
}

void forEachSimdBuild(const std::function<void()>& body) {
  const SimdForm chosen = simdForm;
  const char* const names[] = {"baseline SIMD loops", "SSSE3 loops", "AVX2 loops", "AVX-512 loops"};
  for (const SimdForm form : {SimdForm::Baseline, SimdForm::Ssse3, SimdForm::Avx2, SimdForm::Avx512}) {
    if (!simdFormAvailable(form)) continue;
    SCOPED_TRACE(names[int(form)]);
    simdForm = form;
    body();
  }
  simdForm = chosen;
}

}  // namespace sph::test
