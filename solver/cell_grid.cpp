#include "cell_grid.h"

#include <cmath>
#include <cstdlib>

#include "memory.h"

namespace sph {

int32_t cellsAlongAxis(float boxEdge) {
  return int32_t(std::ceil(float(double(boxEdge) * double(INV_H)))) + 1;
}

void initCellGrid(FluidSystem& system) {
  system.nx = cellsAlongAxis(BOX_X);
  system.ny = cellsAlongAxis(BOX_Y);
  system.nz = cellsAlongAxis(BOX_Z);
  system.nxy = system.nx * system.ny;
  const std::size_t cells = std::size_t(system.nxy) * std::size_t(system.nz);
  system.cellHeads = static_cast<Particle**>(allocateOrExit(sizeof(Particle*) * cells, "the cell grid"));
}

void releaseCellGrid(FluidSystem& system) {
  std::free(system.cellHeads);
  system.cellHeads = nullptr;
}

void rebuildGrid(FluidSystem& system) {
  const std::size_t cells = std::size_t(system.nxy) * std::size_t(system.nz);
  for (std::size_t cell = 0; cell < cells; ++cell) system.cellHeads[cell] = nullptr;
  for (int32_t k = 0; k < system.particleCount; ++k) {
    Particle& p = system.particles[k];
    Particle*& head = system.cellHeads[cellIndexOf(system, p)];
    p.next = head;
    head = &p;
  }
}

}  // namespace sph
