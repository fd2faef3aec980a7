// Writing a result file so that readers never see half of it. While it is
// written the file has no name at all where the file system allows it
// (Linux's O_TMPFILE): it is linked into its folder only once every byte is
// on disk, so no end of the process, not even SIGKILL or a crash, leaves
// anything behind. Where the file system refuses unnamed files, it has a
// temporary name beside the target instead (TARGET.tmp.PID.N), which every
// failure the program itself sees removes. Replacing an existing file goes
// through such a name for the instant between two system calls, since
// linkat cannot replace.
#pragma once

#include <string>

namespace sph {

// A file on its way to `path`.
struct PendingFile {
  int descriptor = -1;
  std::string path;
  std::string temporaryPath;  // empty while the file has no name
};

// Whether files may be written unnamed; tests clear it to take the way of
// file systems without O_TMPFILE.
extern bool unnamedFilesAllowed;

// Opens an empty pending file in the folder of `path` (mode 0666, less the
// umask). On failure returns false with a message in `error`.
bool openPendingFile(const std::string& path, PendingFile& file, std::string& error);
// Makes the file durable and puts it at its path, replacing a file there;
// the descriptor is closed. On failure returns false with a message in
// `error`, and nothing of the file is left.
bool commitPendingFile(PendingFile& file, std::string& error);
// Closes the file and removes whatever it left; nothing if none is open.
void discardPendingFile(PendingFile& file);

// Checks early, before a long run, that a file can be created next to `path`
// (and that `path` is not a directory). Leaves nothing behind. On failure
// returns false with a message in `error`.
bool checkFileCanBeWritten(const std::string& path, std::string& error);

// Writes `text` to `path` as a pending file. An existing non-regular target
// such as /dev/stdout or a pipe cannot be replaced and is written in place.
// On failure returns false with a message in `error`.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace sph
