#include "memory.h"

#include <cstdio>
#include <cstdlib>

namespace sph {

OutOfMemory::OutOfMemory(std::size_t bytes, const char* what) {
  std::snprintf(message, sizeof message, "out of memory: could not allocate %zu bytes for %s", bytes, what);
}

void exitOutOfMemory(const OutOfMemory& error) {
  std::fprintf(stderr, "sph: %s\n", error.what());
  std::exit(EXIT_FAILURE);
}

void failAllocation(std::size_t bytes, const char* what) {
#if defined(__EMSCRIPTEN__)
  exitOutOfMemory(OutOfMemory(bytes, what));
#else
  throw OutOfMemory(bytes, what);
#endif
}

void* allocateOrThrow(std::size_t bytes, const char* what) {
  void* block = std::malloc(bytes);
  if (block == nullptr) failAllocation(bytes, what);
  return block;
}

void* allocateAlignedOrThrow(std::size_t alignment, std::size_t bytes, const char* what) {
  // aligned_alloc wants a whole number of alignments.
  void* block = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  if (block == nullptr) failAllocation(bytes, what);
  return block;
}

void* allocateZeroedOrThrow(std::size_t count, std::size_t size, const char* what) {
  void* block = std::calloc(count, size);
  if (block == nullptr) failAllocation(count * size, what);
  return block;
}

void* reallocateOrThrow(void* block, std::size_t bytes, const char* what) {
  void* grown = std::realloc(block, bytes);
  if (grown == nullptr) failAllocation(bytes, what);
  return grown;
}

}  // namespace sph
