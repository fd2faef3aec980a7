#include "state_csv.h"

#include <cstdio>

namespace sph {

std::string formatStateCsv(const FluidSystem& system) {
  std::string text = STATE_CSV_HEADER;
  text += '\n';
  text.reserve(text.size() + std::size_t(system.particleCount) * 120);
  char row[256];
  for (int32_t index = 0; index < system.particleCount; ++index) {
    const Particle& p = system.particles[index];
    const int length = std::snprintf(row, sizeof row, "%d,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", p.id,
                                     double(p.position[0]), double(p.position[1]), double(p.position[2]),
                                     double(p.velocity[0]), double(p.velocity[1]), double(p.velocity[2]),
                                     double(p.density), double(p.pressure));
    text.append(row, std::size_t(length));
  }
  return text;
}

}  // namespace sph
