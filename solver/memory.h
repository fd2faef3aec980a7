// Heap allocation for the solver's long-lived arrays. Running out of memory
// is reported by throwing OutOfMemory (a std::bad_alloc), never by a null
// pointer to be dereferenced later: the programs catch it at their entry
// point, print its message and exit with status 1; the Python module turns
// it into MemoryError and keeps the process. Each function that grows a
// structure allocates before it changes anything, so a throw leaves the
// structure as it was.
#pragma once

#include <cstddef>
#include <new>

namespace sph {

class OutOfMemory : public std::bad_alloc {
 public:
  OutOfMemory(std::size_t bytes, const char* what);
  // "out of memory: could not allocate N bytes for WHAT"
  const char* what() const noexcept override { return message; }

 private:
  char message[160];
};

// malloc that never returns null: it throws OutOfMemory naming `what`.
void* allocateOrThrow(std::size_t bytes, const char* what);
// The same for a block aligned to `alignment` (a power of two), released
// with free as the others are.
void* allocateAlignedOrThrow(std::size_t alignment, std::size_t bytes, const char* what);
// calloc with the same failure behaviour. Large blocks come straight from
// the system as zero pages, so the parts never written are never resident.
void* allocateZeroedOrThrow(std::size_t count, std::size_t size, const char* what);
// realloc (contents kept) with the same failure behaviour; on failure the
// block is untouched and still owned by the caller.
void* reallocateOrThrow(void* block, std::size_t bytes, const char* what);
// The failure itself, for a request too large to make at all. (The page's
// build catches no exceptions: there it prints the message and exits 1.)
[[noreturn]] void failAllocation(std::size_t bytes, const char* what);
// What a program does with the failure at its entry point: the message
// ("sph: out of memory: ...") on standard error, and exit status 1.
[[noreturn]] void exitOutOfMemory(const OutOfMemory& error);

}  // namespace sph
