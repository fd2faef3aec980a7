// Writing a result file so that readers never see half of it: the text goes
// to a temporary file in the same directory (same file system, so the final
// rename is atomic), which replaces the target only once every byte is
// written and closed without error.
#pragma once

#include <string>

namespace sph {

// Checks early, before a long run, that a file can be created next to `path`
// (and that `path` is not a directory). Leaves nothing behind. On failure
// returns false with a message in `error`.
bool checkFileCanBeWritten(const std::string& path, std::string& error);

// Writes `text` to `path`. A regular file (or a new one) is replaced
// atomically; an existing non-regular target such as /dev/stdout or a pipe
// cannot be renamed over and is written in place. On failure returns false
// with a message in `error`, and no temporary file is left behind.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace sph
