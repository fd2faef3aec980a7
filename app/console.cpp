#include "console.h"

#include <istream>
#include <limits>
#include <ostream>

namespace sph {

namespace {
void discardRestOfLine(std::istream& in) {
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}
}  // namespace

int32_t readThreadCount(std::istream& in, std::ostream& prompts, std::ostream& errors) {
  for (;;) {
    // The prompt must be visible while the program waits for the answer.
    prompts << "Number of threads: " << std::flush;

    // End of input is told apart from a bad answer before the number is
    // parsed: a failed extraction looks the same in both cases.
    in >> std::ws;
    if (in.peek() == std::istream::traits_type::eof()) {
      errors << "No number of threads given before the end of input; using 1 thread.\n"
             << std::flush;
      return 1;
    }

    int32_t count = 0;
    in >> count;  // fails on a non-number and on a value outside int32_t
    if (in && count >= MIN_THREAD_COUNT && count <= MAX_THREAD_COUNT) return count;

    in.clear();
    discardRestOfLine(in);
    errors << "Please enter a whole number from " << MIN_THREAD_COUNT << " to "
           << MAX_THREAD_COUNT << ".\n"
           << std::flush;
  }
}

}  // namespace sph
