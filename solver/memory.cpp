#include "memory.h"

#include <cstdio>
#include <cstdlib>

namespace sph {

void exitOutOfMemory(std::size_t bytes, const char* what) {
  std::fprintf(stderr, "sph: out of memory: could not allocate %zu bytes for %s\n", bytes, what);
  std::exit(EXIT_FAILURE);
}

void* allocateOrExit(std::size_t bytes, const char* what) {
  void* block = std::malloc(bytes);
  if (block == nullptr) exitOutOfMemory(bytes, what);
  return block;
}

void* allocateAlignedOrExit(std::size_t alignment, std::size_t bytes, const char* what) {
  // aligned_alloc wants a whole number of alignments.
  void* block = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  if (block == nullptr) exitOutOfMemory(bytes, what);
  return block;
}

void* allocateZeroedOrExit(std::size_t count, std::size_t size, const char* what) {
  void* block = std::calloc(count, size);
  if (block == nullptr) exitOutOfMemory(count * size, what);
  return block;
}

void* reallocateOrExit(void* block, std::size_t bytes, const char* what) {
  void* grown = std::realloc(block, bytes);
  if (grown == nullptr) exitOutOfMemory(bytes, what);
  return grown;
}

}  // namespace sph
