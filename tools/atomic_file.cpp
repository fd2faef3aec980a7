#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sph {

bool unnamedFilesAllowed = true;

namespace {

std::string describe(const std::string& what, const std::string& path, int errorNumber) {
  return what + " '" + path + "': " + std::strerror(errorNumber);
}

enum class TargetKind { Missing, Regular, Directory, Other };

TargetKind kindOf(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return TargetKind::Missing;
  if (S_ISREG(status.st_mode)) return TargetKind::Regular;
  if (S_ISDIR(status.st_mode)) return TargetKind::Directory;
  return TargetKind::Other;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// An unnamed file is linked by its name under /proc, which a process may use
// without privileges (linkat's AT_EMPTY_PATH needs them).
std::string procName(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

int openUnnamed(const std::string& path) {
  const int descriptor = open(folderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (descriptor >= 0 && access(procName(descriptor).c_str(), F_OK) != 0) {  // no /proc: cannot be linked
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// Makes a fresh name beside `path` for `create` (which returns 0 or an
// errno); never an existing one (another run, a stale leftover).
template <class Create>
int withFreshName(const std::string& path, std::string& temporaryPath, Create create) {
  const std::string stem = path + ".tmp." + std::to_string(long(getpid())) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporaryPath = stem + std::to_string(attempt);
    const int failure = create(temporaryPath);
    if (failure != EEXIST) return failure;
  }
  return EEXIST;
}

// Links an unnamed file at its path: directly where nothing is there, or
// under a fresh name renamed over what is there. Returns 0 or an errno.
int linkIntoPlace(const PendingFile& file) {
  const std::string source = procName(file.descriptor);
  auto linkAt = [&](const std::string& name) {
    return linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
  };
  const int direct = linkAt(file.path);
  if (direct != EEXIST) return direct;
  std::string temporaryPath;
  if (const int failure = withFreshName(file.path, temporaryPath, linkAt)) return failure;
  if (std::rename(temporaryPath.c_str(), file.path.c_str()) == 0) return 0;
  const int failure = errno;
  unlink(temporaryPath.c_str());
  return failure;
}

bool writeAll(int descriptor, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t written = write(descriptor, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    done += std::size_t(written);
  }
  return true;
}

bool writeInPlace(const std::string& path, const std::string& text, std::string& error) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (descriptor < 0) {
    error = describe("cannot open", path, errno);
    return false;
  }
  int failure = writeAll(descriptor, text) ? 0 : errno;
  if (close(descriptor) != 0 && failure == 0 && errno != EINTR) failure = errno;
  if (failure != 0) error = describe("cannot write", path, failure);
  return failure == 0;
}

}  // namespace

bool openPendingFile(const std::string& path, PendingFile& file, std::string& error) {
  discardPendingFile(file);
  file.path = path;
  // Where unnamed files are refused (or the folder is unusable) the named
  // way is tried, and its failure is the one reported.
  file.descriptor = unnamedFilesAllowed ? openUnnamed(path) : -1;
  if (file.descriptor >= 0) return true;
  const int failure = withFreshName(path, file.temporaryPath, [&](const std::string& name) {
    file.descriptor = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return file.descriptor >= 0 ? 0 : errno;
  });
  if (failure == 0) return true;
  file.temporaryPath.clear();
  error = describe("cannot create a file beside", path, failure);
  return false;
}

bool commitPendingFile(PendingFile& file, std::string& error) {
  // On disk before it has its name, so a crash cannot leave an empty file
  // there. EINVAL: the file system has nothing to sync (some special mounts).
  if (fsync(file.descriptor) != 0 && errno != EINVAL) {
    error = describe("cannot write", file.path, errno);
    discardPendingFile(file);
    return false;
  }
  int failure = 0;
  if (file.temporaryPath.empty()) failure = linkIntoPlace(file);
  else if (std::rename(file.temporaryPath.c_str(), file.path.c_str()) == 0) file.temporaryPath.clear();  // the target now
  else failure = errno;
  discardPendingFile(file);
  if (failure != 0) error = describe("cannot replace", file.path, failure);
  return failure == 0;
}

void discardPendingFile(PendingFile& file) {
  if (file.descriptor >= 0) close(file.descriptor);
  file.descriptor = -1;
  if (!file.temporaryPath.empty()) unlink(file.temporaryPath.c_str());
  file.temporaryPath.clear();
}

bool checkFileCanBeWritten(const std::string& path, std::string& error) {
  switch (kindOf(path)) {
    case TargetKind::Directory:
      error = describe("cannot write", path, EISDIR);
      return false;
    case TargetKind::Other:
      return true;  // a device or pipe: opened only when the text is ready
    case TargetKind::Missing:
    case TargetKind::Regular:
      break;
  }
  PendingFile file;
  const bool opened = openPendingFile(path, file, error);
  discardPendingFile(file);
  return opened;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const TargetKind kind = kindOf(path);
  if (kind == TargetKind::Other) return writeInPlace(path, text, error);
  if (kind == TargetKind::Directory) {
    error = describe("cannot write", path, EISDIR);
    return false;
  }
  PendingFile file;
  if (!openPendingFile(path, file, error)) return false;
  if (!writeAll(file.descriptor, text)) {
    error = describe("cannot write", path, errno);
    discardPendingFile(file);
    return false;
  }
  return commitPendingFile(file, error);
}

}  // namespace sph
