// Shared by the suites: a fresh program state, exact float comparison, the
// pinned trajectories and a digest of the state.
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

// A freshly started program: a new global system with no particles and no ids
// issued, angles, keys and gravity at their initial values; with `layers`,
// that block seeded. Released (and the global cleared) when the scope ends.
struct FreshProgram {
  FreshProgram();
  FreshProgram(int32_t threads, BlockLayers layers);
  ~FreshProgram();
  FreshProgram(const FreshProgram&) = delete;
  FreshProgram& operator=(const FreshProgram&) = delete;
  FluidSystem& system() { return *own; }

 private:
  FluidSystem* own;
};

// A line of tests/data/trajectories.txt: the digest of the state after
// `frames` frames on `threads` workers, from the block `layers`, with the
// arrow keys held as `holds` says ("-", or KEY:FIRST-LAST,... with frames
// counted from 0 and both ends held).
struct Trajectory {
  int32_t frames, threads;
  BlockLayers layers;
  std::string holds, sha256;
};
std::vector<Trajectory> trajectories();
inline void PrintTo(const Trajectory& t, std::ostream* out) { *out << t.frames << ' ' << t.threads << ' ' << t.holds; }

// Runs frames [from, to) as the window does (step, gravity, camera turn),
// each with the arrows that `holds` has down in it.
void runFrames(int32_t from, int32_t to, const std::string& holds = "-");

// SHA-256 of the global system's state as CSV, in hex.
std::string stateDigest();

// Runs `body` once with each build of the SIMD loops this CPU can run (the
// baseline, SSSE3 and AVX2 where available), with a trace of which, and restores
// the choice.
void forEachSimdBuild(const std::function<void()>& body);

// Copy of every particle record of the global system.
std::vector<Particle> snapshotParticles();

}  // namespace sph::test
