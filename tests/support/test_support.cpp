#include "test_support.h"

#include <openssl/sha.h>

#include <fstream>
#include <sstream>

#include "app/frame.h"

namespace sph::test {

FreshProgram::FreshProgram() : own(createFluidSystem()) {
  installFluidSystem(own);
  resetFrameState();
}

FreshProgram::~FreshProgram() {
  if (fluidSystem == own) {
    installFluidSystem(nullptr);
    resetFrameState();
  }
  destroyFluidSystem(own);
}

SeededProgram::SeededProgram(int32_t threads, BlockLayers layers) {
  system().threadCount = threads;
  seedBlock(layers);
}

void runFrames(int frames, int holdUp) {
  for (int frame = 0; frame < frames; ++frame) {
    arrowUp = frame < holdUp ? 1 : 0;
    simulateFrame();
  }
  arrowUp = 0;
}

std::string sha256Hex(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out += hex[byte >> 4];
    out += hex[byte & 15];
  }
  return out;
}

std::vector<ReferenceDigest> referenceDigests() {
  std::ifstream file(std::string(SPH_TEST_DATA_DIR) + "/digests.txt");
  std::vector<ReferenceDigest> digests;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    ReferenceDigest digest;
    if (fields >> digest.frames >> digest.threads >> digest.holdUp >> digest.sha256) digests.push_back(digest);
  }
  return digests;
}

std::vector<Particle> snapshotParticles() {
  return std::vector<Particle>(fluidSystem->particles, fluidSystem->particles + fluidSystem->particleCount);
}

}  // namespace sph::test
