#include "neighbour_index.h"

#include <cstdlib>
#include <cstring>

#include "memory.h"

namespace sph {

namespace {
template <class T>
T* resized(T* block, int32_t count, const char* what) {
  return static_cast<T*>(reallocateOrExit(block, sizeof(T) * std::size_t(count), what));
}
}  // namespace

NeighbourIndex* createNeighbourIndex(const FluidSystem& grid) {
  auto* index = static_cast<NeighbourIndex*>(allocateOrExit(sizeof(NeighbourIndex), "the neighbour index"));
  std::memset(index, 0, sizeof(NeighbourIndex));
  index->generation = 1;
  for (int32_t k = 0; k < 27; ++k) {
    const CellOffset& offset = NEIGHBOUR_OFFSETS[k];
    index->offsetDeltas[k] = offset.dx + offset.dy * grid.nx + offset.dz * grid.nxy;
  }
  const int32_t cellCount = grid.nxy * grid.nz;
  index->spans = static_cast<CellSpan*>(allocateOrExit(sizeof(CellSpan) * std::size_t(cellCount), "cell spans"));
  return index;
}

void destroyNeighbourIndex(NeighbourIndex* index) {
  if (index == nullptr) return;
  for (int32_t k = 0; k < index->particleCapacity; ++k) {
    std::free(index->ranges[k].neighbours);
    std::free(index->ranges[k].listEnds);
  }
  std::free(index->ranges);
  std::free(index->x);
  std::free(index->y);
  std::free(index->z);
  std::free(index->id);
  std::free(index->spans);
  std::free(index->occupied);
  std::free(index);
}

void reserveNeighbourIndex(NeighbourIndex& index, int32_t particleCount) {
  if (particleCount <= index.particleCapacity) return;
  const int32_t capacity = particleCount;
  index.x = resized(index.x, capacity, "sorted positions");
  index.y = resized(index.y, capacity, "sorted positions");
  index.z = resized(index.z, capacity, "sorted positions");
  index.id = resized(index.id, capacity, "sorted ids");
  index.occupied = resized(index.occupied, capacity, "occupied cells");
  index.ranges = resized(index.ranges, capacity, "neighbour lists");
  std::memset(index.ranges + index.particleCapacity, 0,
              sizeof(RangeNeighbours) * std::size_t(capacity - index.particleCapacity));
  index.particleCapacity = capacity;
}

const RangeNeighbours* gatheredNeighbours(const NeighbourIndex& index, int32_t begin, int32_t end) {
  if (begin < 0 || begin >= end || begin >= index.particleCapacity) return nullptr;
  const RangeNeighbours& lists = index.ranges[begin];
  const bool current = lists.generation == index.generation && lists.begin == begin && lists.end == end;
  return current ? &lists : nullptr;
}

RangeNeighbours& startGathering(NeighbourIndex& index, int32_t begin, int32_t end) {
  RangeNeighbours& lists = index.ranges[begin];
  lists.begin = begin;
  lists.end = end;
  lists.generation = index.generation;
  if (lists.listEndCapacity < end - begin) {
    lists.listEndCapacity = end - begin;
    lists.listEnds = resized(lists.listEnds, lists.listEndCapacity, "neighbour lists");
  }
  return lists;
}

void reserveNeighbours(RangeNeighbours& lists, int32_t used, int32_t count) {
  if (used + count <= lists.neighbourCapacity) return;
  int32_t capacity = lists.neighbourCapacity < 1024 ? 1024 : lists.neighbourCapacity;
  while (capacity < used + count) capacity *= 2;
  lists.neighbours = resized(lists.neighbours, capacity, "neighbour lists");
  lists.neighbourCapacity = capacity;
}

}  // namespace sph
