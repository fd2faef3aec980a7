// The simulation state as CSV: the header `id,x,y,z,vx,vy,vz,density,pressure`
// and one row per particle in index order, every float printed with %.9g
// (enough digits for the exact bits to survive a round trip), lines ended by
// a single line feed. Reference digests are SHA-256 sums of this text.
#pragma once

#include <string>

#include "fluid_system.h"

namespace sph {

inline constexpr const char* STATE_CSV_HEADER = "id,x,y,z,vx,vy,vz,density,pressure";

std::string formatStateCsv(const FluidSystem& system);

}  // namespace sph
