// The inner loop of the neighbour search: which of a cell's candidates are
// neighbours of one particle. Branch-free SIMD compares of distance and
// ownership, with the selected ids packed to the front by a lane shuffle.
// Built for SSE2 (four lanes, the x86-64 baseline), for AVX2 (eight) and for
// AVX-512 (sixteen; see simd_support.h). All give the same list.
#pragma once

#include <cstdint>

#include "parameters.h"

namespace sph {

// Candidate arrays are padded to whole groups of this many entries (NaN
// positions, which no screen accepts).
inline constexpr int32_t CANDIDATE_GROUP = 8;

struct Candidates {
  const float* x;
  const float* y;
  const float* z;
  const int32_t* id;
  int32_t count;  // a multiple of CANDIDATE_GROUP
};

// Squared distances are screened in float arithmetic, whose result lies
// within a few units in the last place of the exact one (formed in double and
// rounded). Below H2_SURELY_IN a pair passes the exact test r2 < H2 for
// certain, at or above H2_MAYBE_IN it fails for certain; only the rare pairs
// in between are given the exact test. The margins are far above the error.
inline constexpr float H2_SURELY_IN = H2 * 0.9999f;
inline constexpr float H2_MAYBE_IN = H2 * 1.0001f;

// Writes to `out`, in candidate order, the ids of the candidates that are
// neighbours of particle i at (x, y, z) in a range ending at `end`: those the
// ownership rule admits (id < i, or id >= end) whose exact squared distance
// is below H2. Returns how many; `out` needs room for `count` entries.
int32_t screenCandidates(const Candidates& candidates, float x, float y, float z, int32_t i, int32_t end, int32_t* out);

}  // namespace sph
