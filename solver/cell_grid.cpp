#include "cell_grid.h"

#include <cmath>
#include <cstdlib>

#include "memory.h"
#include "neighbour_index.h"

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
  // Zeroed: every head starts null, and the pages of cells no particle ever
  // enters are never touched.
  system.cellHeads = static_cast<Particle**>(allocateZeroedOrExit(cells, sizeof(Particle*), "the cell grid"));
  system.neighbourIndex = createNeighbourIndex(system);
}

void releaseCellGrid(FluidSystem& system) {
  std::free(system.cellHeads);
  system.cellHeads = nullptr;
  destroyNeighbourIndex(system.neighbourIndex);
  system.neighbourIndex = nullptr;
}

void rebuildGrid(FluidSystem& system) {
  NeighbourIndex& index = *system.neighbourIndex;
  reserveNeighbourIndex(index, system.particleCount, system.threadCount);

  // Every head (and span) the last rebuild set is in `occupied`, so clearing
  // those empties the grid; both start zeroed.
  for (int32_t k = 0; k < index.occupiedCount; ++k) {
    system.cellHeads[index.occupied[k]] = nullptr;
    index.spans[index.occupied[k]] = {0, 0};
  }

  // Thread the lists, and count each cell's particles in its span's end.
  // One walk over the particles: each particle's cell is found AHEAD places
  // before its turn, so that its scattered head and span can be fetched
  // while the particles in between are threaded.
  constexpr int32_t AHEAD = 16;
  const int32_t count = system.particleCount;
  Particle* const particles = system.particles;
  auto locate = [&](int32_t k) {
    const int32_t cell = cellIndexOf(system, particles[k]);
    index.cellOf[k] = cell;
    __builtin_prefetch(&system.cellHeads[cell], 1);
    __builtin_prefetch(&index.spans[cell], 1);
  };
  for (int32_t k = 0; k < AHEAD && k < count; ++k) locate(k);
  index.occupiedCount = 0;
  index.indexedCount = count;
  for (int32_t k = 0; k < count; ++k) {
    if (k + AHEAD < count) locate(k + AHEAD);
    Particle& p = particles[k];
    const int32_t cell = index.cellOf[k];
    Particle*& head = system.cellHeads[cell];
    // An empty cell's span is {0, 0} (see the clearing above), so its end
    // can count the cell's particles from the first.
    if (head == nullptr) index.occupied[index.occupiedCount++] = cell;
    ++index.spans[cell].end;
    p.next = head;
    head = &p;
  }

  // The cell-sorted copies, each cell in list order: a counting sort that
  // reads the particles in descending index, in place of chasing `next`.
  int32_t cursor = 0;
  for (int32_t k = 0; k < index.occupiedCount; ++k) {
    CellSpan& span = index.spans[index.occupied[k]];
    const int32_t count = span.end;
    span.begin = span.end = cursor;  // end fills up to begin + count
    cursor += count;
  }
  for (int32_t k = system.particleCount - 1; k >= 0; --k) {
    const Particle& p = system.particles[k];
    const int32_t slot = index.spans[index.cellOf[k]].end++;
    index.x[slot] = p.position[0];
    index.y[slot] = p.position[1];
    index.z[slot] = p.position[2];
    index.id[slot] = k;
  }
  // Lists gathered on the old grid no longer apply.
  if (++index.generation == 0) index.generation = 1;
}
}  // namespace sph
