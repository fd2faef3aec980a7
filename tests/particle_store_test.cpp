// The particle store: construction, the growth rule, zero-filled new slots,
// ids equal to indices, the fields of a fresh particle, and running out of
// memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "solver/fluid_system.h"
#include "solver/memory.h"
#include "support/test_support.h"

namespace sph {
namespace {

bool allBytesZero(const Particle* first, int32_t count) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(first);
  for (std::size_t k = 0; k < sizeof(Particle) * std::size_t(count); ++k)
    if (bytes[k] != 0) return false;
  return true;
}

TEST(ParticleStore, ConstructionGivesAnEmptyZeroedStore) {
  test::FreshProgram program;
  const FluidSystem& system = program.system();
  EXPECT_EQ(system.particleCount, 0);
  EXPECT_EQ(system.capacity, 5000);
  EXPECT_EQ(system.threadCount, 1);
  EXPECT_TRUE(allBytesZero(system.particles, 5000));
  EXPECT_EQ(nextParticleId, 0);
}

TEST(ParticleStore, FreshParticleIsAtRest) {
  test::FreshProgram program;
  addParticle(1.0f, 1.0f, 1.0f);
  addParticle(0.0f, 0.0f, 0.0f);
  const Particle& p = program.system().particles[0];
  EXPECT_BITS_EQ(84.0f, p.position[0]);
  EXPECT_BITS_EQ(84.0f, p.position[1]);
  EXPECT_BITS_EQ(84.0f, p.position[2]);
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_BITS_EQ(p.position[axis], p.prevPosition[axis]);
    EXPECT_BITS_EQ(0.0f, p.velocity[axis]);
    EXPECT_BITS_EQ(0.0f, program.system().particles[1].position[axis]);
  }
  EXPECT_BITS_EQ(0.35f, p.density);
  EXPECT_BITS_EQ(2.2589293f, p.mass);
  EXPECT_BITS_EQ(0.4426876f, p.invMass);
  EXPECT_BITS_EQ(0.0f, p.pressure);
  EXPECT_BITS_EQ(0.0f, p.invDensity);
  EXPECT_EQ(p.next, nullptr);
}

TEST(ParticleStore, GrowsWhenTwoFreeSlotsRemain) {
  test::FreshProgram program;
  FluidSystem& system = program.system();
  for (int32_t k = 0; k < 4998; ++k) addParticle(0.001f * float(k % 1000), 0.5f, 0.25f);
  EXPECT_EQ(system.capacity, 5000);  // the 4998th particle (count 4997) did not grow
  const std::vector<Particle> before = test::snapshotParticles();

  addParticle(1.0f, 2.0f, 3.0f);  // count 4998: grows first
  EXPECT_EQ(system.capacity, 10000);
  EXPECT_EQ(system.particleCount, 4999);
  EXPECT_EQ(std::memcmp(before.data(), system.particles, sizeof(Particle) * before.size()), 0);
  EXPECT_EQ(system.particles[4998].id, 4998);
  EXPECT_BITS_EQ(168.0f, system.particles[4998].position[1]);
  EXPECT_TRUE(allBytesZero(system.particles + 5000, 5000));

  for (int32_t k = 4999; k < 9998; ++k) addParticle(0.5f, 0.5f, 0.5f);
  EXPECT_EQ(system.capacity, 10000);
  addParticle(0.5f, 0.5f, 0.5f);
  EXPECT_EQ(system.capacity, 20000);
}

TEST(ParticleStore, IdsEqualIndices) {
  test::FreshProgram program;
  for (int32_t k = 0; k < 6000; ++k) addParticle(0.5f, 0.5f, 0.5f);
  for (int32_t k = 0; k < 6000; ++k) ASSERT_EQ(program.system().particles[k].id, k);
  EXPECT_EQ(nextParticleId, program.system().particleCount);
}

// Running out of memory ends the program with a message, not a crash.
TEST(ParticleStoreDeathTest, ExhaustedHeapEndsWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::size_t impossible = std::numeric_limits<std::size_t>::max() / 2;
  EXPECT_EXIT(allocateOrExit(impossible, "the particle array"), testing::ExitedWithCode(1),
              "out of memory.*the particle array");
  void* block = allocateOrExit(16, "a small block");
  EXPECT_EXIT(reallocateOrExit(block, impossible, "the particle array"), testing::ExitedWithCode(1),
              "out of memory.*the particle array");
  std::free(block);
}

}  // namespace
}  // namespace sph
