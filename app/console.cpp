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

void promptThreadCount(std::ostream& prompts) { prompts << "Number of threads: " << std::flush; }

ThreadAnswer readThreadAnswer(std::istream& in, int32_t maxCount, std::ostream& errors, int32_t& count) {
  // End of input is told apart from a bad answer before the number is
  // parsed: a failed extraction looks the same in both cases.
  in >> std::ws;
  if (in.peek() == std::istream::traits_type::eof()) return ThreadAnswer::Missing;

  in >> count;  // fails on a non-number and on a value outside int32_t
  if (in && count >= MIN_THREAD_COUNT && count <= maxCount) return ThreadAnswer::Taken;

  in.clear();
  discardRestOfLine(in);
  errors << "Please enter a whole number from " << MIN_THREAD_COUNT << " to " << maxCount << ".\n" << std::flush;
  return ThreadAnswer::Refused;
}

int32_t readThreadCount(std::istream& in, std::ostream& prompts, std::ostream& errors) {
  for (;;) {
    promptThreadCount(prompts);
    int32_t count = 0;
    switch (readThreadAnswer(in, MAX_THREAD_COUNT, errors, count)) {
      case ThreadAnswer::Taken:
        return count;
      case ThreadAnswer::Missing:
        errors << "No number of threads given before the end of input; using 1 thread.\n" << std::flush;
        return 1;
      case ThreadAnswer::Refused:
        break;
    }
  }
}

}  // namespace sph
