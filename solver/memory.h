// Heap allocation for the solver's long-lived arrays. The solver has no way
// to go on without its memory, so running out ends the program with a clear
// message instead of leaving a null pointer to be dereferenced later.
#pragma once

#include <cstddef>

namespace sph {

// malloc that never returns null: on failure it prints what could not be
// allocated to standard error and exits with status 1.
void* allocateOrExit(std::size_t bytes, const char* what);
// The same for a block aligned to `alignment` (a power of two), released
// with free as the others are.
void* allocateAlignedOrExit(std::size_t alignment, std::size_t bytes, const char* what);
// calloc with the same failure behaviour. Large blocks come straight from
// the system as zero pages, so the parts never written are never resident.
void* allocateZeroedOrExit(std::size_t count, std::size_t size, const char* what);
// realloc (contents kept) with the same failure behaviour.
void* reallocateOrExit(void* block, std::size_t bytes, const char* what);
// The failure itself, for a request too large to make at all.
[[noreturn]] void exitOutOfMemory(std::size_t bytes, const char* what);

}  // namespace sph
