#include "test_support.h"

#include <openssl/sha.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/frame.h"
#include "solver/simd_support.h"

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

std::vector<ReferenceDigest> readDigests(const std::string& name) {
  std::ifstream file(std::string(SPH_TEST_DATA_DIR) + "/" + name);
  std::vector<ReferenceDigest> digests;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.size() != 4 && words.size() != 5) continue;
    ReferenceDigest digest{std::stoi(words[0]), std::stoi(words[1]), std::stoi(words[2]), PROGRAM_BLOCK, words.back()};
    if (words.size() == 5 &&
        std::sscanf(words[3].c_str(), "%d,%d,%d", &digest.layers.x, &digest.layers.y, &digest.layers.z) != 3)
      continue;
    digests.push_back(digest);
  }
  return digests;
}

std::vector<Particle> snapshotParticles() {
  return std::vector<Particle>(fluidSystem->particles, fluidSystem->particles + fluidSystem->particleCount);
}

void forEachSimdBuild(const std::function<void()>& body) {
  const bool chosen = useAvx2;
  for (bool avx2 : {false, true}) {
    if (avx2 && !avx2Available()) continue;
    SCOPED_TRACE(avx2 ? "AVX2 loops" : "baseline SIMD loops");
    useAvx2 = avx2;
    body();
  }
  useAvx2 = chosen;
}

}  // namespace sph::test
