// Writing a result file so that readers never see half of it. While it is
// written the file has no name at all where the file system allows it
// (Linux's O_TMPFILE): it is linked into its folder only once every byte is
// on disk, so no end of the process, not even SIGKILL, or a crash, leaves
// anything behind. Where the file system refuses unnamed files, it has a
// short temporary name beside the target instead (sph-PID-N.tmp), which
// every failure the program itself sees removes. Replacing an existing file
// goes through such a name for the instant between two system calls, since
// linkat cannot replace; the new file takes the old one's mode, access
// control list and other extended attributes (and, where allowed, its owner
// and group). A file with other hard links is replaced, not written through:
// its other names keep the old text.
//
// A target is found as a shell's `>` finds it: links are followed, and a
// link to a file has that file replaced in the folder where it really is,
// the link kept. What the shell would refuse is refused before anything is
// written: a link the kernel would not follow (fs.protected_symlinks:
// another user's link in a sticky world-writable folder such as /tmp), and
// a file the user may not write (root may). Everything happens relative to
// the file's folder, so a name the system takes, however long, can be
// written and replaced.
//
// Every failure returns false with a message in `error`, and errno at its
// reason (0 when the system gave none), which the Python module raises as
// the matching OSError.
#pragma once

#include <string>

namespace sph {

// A file on its way to `path`.
struct PendingFile {
  int descriptor = -1;
  std::string path;           // as given, for messages
  int folder = -1;            // the folder the file goes into, links followed
  std::string name;           // its name there
  std::string temporaryName;  // in `folder`; empty while the file has no name
};

// Whether files may be written unnamed; tests clear it to take the way of
// file systems without O_TMPFILE.
extern bool unnamedFilesAllowed;

// Opens an empty pending file in the folder of `path` (mode 0666, less the
// umask), which must be a regular file or not exist yet. On failure returns
// false with a message in `error`.
bool openPendingFile(const std::string& path, PendingFile& file, std::string& error);
// Makes the file durable and puts it at its path, replacing a file there;
// the descriptor is closed. On failure returns false with a message in
// `error`, and nothing of the file is left.
bool commitPendingFile(PendingFile& file, std::string& error);
// Closes the file and removes whatever it left; nothing if none is open.
void discardPendingFile(PendingFile& file);

// Checks early, before a long run, that `path` can be written: its name is
// one the system takes, it is not a directory, a file there may be written,
// and a file can be created in its folder. Leaves nothing behind. On
// failure returns false with a message in `error`.
bool checkFileCanBeWritten(const std::string& path, std::string& error);

// Writes `text` to `path` as a pending file. A device, pipe or terminal
// (/dev/null, /dev/stdout) cannot be replaced and is written in place; a
// descriptor of this process (/dev/stdout, /proc/self/fd/N) through the
// descriptor itself, after what the program wrote there before. On failure
// returns false with a message in `error`.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace sph
