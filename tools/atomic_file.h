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

// For a file that another program writes (the video): an empty temporary
// file beside `path` to write into, then, once it is complete, the step that
// makes it durable and renames it over `path`. On failure each returns false
// with a message in `error`; moveIntoPlace then removes the temporary file.
bool createTemporaryFile(const std::string& path, std::string& temporaryPath, std::string& error);
bool moveIntoPlace(const std::string& temporaryPath, const std::string& path, std::string& error);

}  // namespace sph
