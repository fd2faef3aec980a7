// Uniform cell grid over the box and the neighbour traversal both pair passes
// share. Cells have edge SMOOTHING_LENGTH, so the 27 cells around a
// particle's own cell hold every particle closer than h.
#pragma once

#include <cstdint>

#include "fluid_system.h"
#include "parameters.h"

namespace sph {

// The 27 cells around a particle's own, in the one order in which both pair
// passes sum neighbour contributions (dz outermost; own cell is entry 17).
struct CellOffset {
  int32_t dx, dy, dz;
};
inline constexpr CellOffset NEIGHBOUR_OFFSETS[27] = {
    {-1, -1, -1}, {-1, 1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 0, -1}, {1, 0, -1},
    {0, -1, -1},  {0, 1, -1},  {0, 0, -1},  {-1, -1, 0}, {-1, 1, 0}, {1, -1, 0},
    {1, 1, 0},    {-1, 0, 0},  {1, 0, 0},   {0, -1, 0},  {0, 1, 0},  {0, 0, 0},
    {-1, -1, 1},  {-1, 1, 1},  {1, -1, 1},  {1, 1, 1},   {-1, 0, 1}, {1, 0, 1},
    {0, -1, 1},   {0, 1, 1},   {0, 0, 1},
};

// Cells along an axis of length `boxEdge`: ceil(boxEdge * INV_H) + 1, the
// product rounded to float first. 89 for the model's box.
int32_t cellsAlongAxis(float boxEdge);

// Sets nx, ny, nz, nxy, allocates (does not clear) cellHeads and creates the
// neighbour index.
void initCellGrid(FluidSystem& system);
void releaseCellGrid(FluidSystem& system);

// Cell coordinate of a world coordinate on an axis with `cells` cells:
// trunc(coordinate * INV_H), the product in double. Positions stay inside the
// box, but a coordinate outside it (or not a number) must still never index
// outside cellHeads, so the result is clamped into [0, cells - 1] and a NaN
// goes to cell 0. This is a design decision; inside the box it changes
// nothing.
inline int32_t cellCoordinate(float coordinate, int32_t cells) {
  const double scaled = double(coordinate) * double(INV_H);
  if (!(scaled >= 0.0)) return 0;  // negative or NaN
  if (scaled >= double(cells - 1)) return cells - 1;
  return int32_t(scaled);
}

inline int32_t cellIndexOf(const FluidSystem& system, const Particle& p) {
  return cellCoordinate(p.position[0], system.nx) + cellCoordinate(p.position[1], system.ny) * system.nx +
         cellCoordinate(p.position[2], system.nz) * system.nxy;
}

// Squared distance of a difference vector: (dx^2 + dy^2) + dz^2 in double,
// rounded to float. Both the search and the passes form it this one way.
inline float squaredDistance(float dx, float dy, float dz) {
  return float((double(dx) * double(dx) + double(dy) * double(dy)) + double(dz) * double(dz));
}

// Empties every cell, then pushes particles 0..N-1 onto the front of their
// cell's list, so each list runs from the highest index to the lowest; then
// refreshes the neighbour index beside the grid.
void rebuildGrid(FluidSystem& system);

// Visits, for every particle i of [begin, end) in increasing order, each
// neighbour j with r^2 < H2 that the ownership rule admits, in
// NEIGHBOUR_OFFSETS order and list order:
//   pairAction(i, j, d, r2, updateJ), d = position(i) - position(j) (floats),
//   r2 = (dx^2 + dy^2) + dz^2 in double rounded to float, and updateJ true
//   when j lies inside [begin, end) and so belongs to this range too.
// Ownership: j is taken when j.id < i.id or j lies outside the range, so a
// pair inside the range is seen once (by its higher id) and a pair across
// ranges once by each side. After all of i's cells, particleWork(i) runs.
template <class PairAction, class ParticleWork>
void forEachNeighbourPair(const FluidSystem& system, int32_t begin, int32_t end, PairAction&& pairAction,
                          ParticleWork&& particleWork) {
  Particle* const particles = system.particles;
  for (int32_t index = begin; index < end; ++index) {
    Particle& pi = particles[index];
    const int32_t cx = cellCoordinate(pi.position[0], system.nx);
    const int32_t cy = cellCoordinate(pi.position[1], system.ny);
    const int32_t cz = cellCoordinate(pi.position[2], system.nz);
    for (const CellOffset& offset : NEIGHBOUR_OFFSETS) {
      const int32_t ax = cx + offset.dx, ay = cy + offset.dy, az = cz + offset.dz;
      if (ax >= system.nx || ay >= system.ny || az >= system.nz || ax < 0 || ay < 0 || az < 0) continue;
      for (Particle* pj = system.cellHeads[ax + ay * system.nx + az * system.nxy]; pj != nullptr; pj = pj->next) {
        const bool outsideRange = pj->id < begin || pj->id >= end;
        if (!(pj->id < pi.id || outsideRange)) continue;
        const float d[3] = {pi.position[0] - pj->position[0], pi.position[1] - pj->position[1],
                            pi.position[2] - pj->position[2]};
        const float r2 = squaredDistance(d[0], d[1], d[2]);
        if (!(r2 < H2)) continue;
        pairAction(pi, *pj, d, r2, !outsideRange);
      }
    }
    particleWork(pi);
  }
}

}  // namespace sph
