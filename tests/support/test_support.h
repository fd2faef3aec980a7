// Shared by the test suites: a fresh program state, exact float comparison,
// and the reference digests of the state after a number of frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "solver/fluid_system.h"
#include "solver/seeding.h"

namespace sph::test {

inline uint32_t floatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Exact comparison of bit patterns (so -0 differs from +0 and NaNs compare).
#define EXPECT_BITS_EQ(expected, actual) \
  EXPECT_EQ(::sph::test::floatBits(float(expected)), ::sph::test::floatBits(float(actual))) \
      << "expected " << float(expected) << ", got " << float(actual)

// A freshly started program: a new global system with no particles, no ids
// issued, angles, keys and gravity at their initial values. The system is
// released when the scope ends (and the global cleared if it is still this
// one).
struct FreshProgram {
  FreshProgram();
  ~FreshProgram();
  FreshProgram(const FreshProgram&) = delete;
  FreshProgram& operator=(const FreshProgram&) = delete;
  FluidSystem& system() { return *own; }

 private:
  FluidSystem* own;
};

// A fresh program with the standard block seeded and the given worker count.
struct SeededProgram : FreshProgram {
  explicit SeededProgram(int32_t threads = 1, BlockLayers layers = PROGRAM_BLOCK);
};

// Runs `frames` frames as the window does (step, gravity, camera turn), with
// the Up key held during the first `holdUp` of them.
void runFrames(int frames, int holdUp = 0);

std::string sha256Hex(const std::string& text);

// A line of a digest file: `frames threads hold-up [X,Y,Z] sha256`, the
// block defaulting to the program's.
struct ReferenceDigest {
  int frames, threads, holdUp;
  BlockLayers layers;
  std::string sha256;
};
// The lines of tests/data/<name>.
std::vector<ReferenceDigest> readDigests(const std::string& name);
// The lines of tests/data/digests.txt.
inline std::vector<ReferenceDigest> referenceDigests() { return readDigests("digests.txt"); }

// Runs `body` once with each build of the SIMD loops this CPU can run (the
// baseline, then AVX2 where available), with a trace of which, and restores
// the choice.
void forEachSimdBuild(const std::function<void()>& body);

// Copy of every particle record of the global system.
std::vector<Particle> snapshotParticles();

}  // namespace sph::test
