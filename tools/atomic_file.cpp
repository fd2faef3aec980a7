#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sph {

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

// Creates a fresh temporary file beside `path`; O_EXCL so an existing file of
// the same name (another run, a stale leftover) is never reused. Mode 0666
// lets the umask decide, so the result has the permissions of a file made by
// any other tool.
int createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
  const std::string stem = path + ".tmp." + std::to_string(long(getpid())) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporaryPath = stem + std::to_string(attempt);
    const int descriptor = open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
  }
  errno = EEXIST;
  return -1;
}

// Writes everything and flushes; a full disk often shows only at the flush,
// so the flush result matters as much as fwrite's. Returns 0 or an errno.
int writeAndFlush(std::FILE* stream, const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stream) != text.size()) return errno ? errno : EIO;
  if (std::fflush(stream) != 0) return errno ? errno : EIO;
  return 0;
}

bool writeInPlace(const std::string& path, const std::string& text, std::string& error) {
  std::FILE* stream = std::fopen(path.c_str(), "w");
  if (stream == nullptr) {
    error = describe("cannot open", path, errno);
    return false;
  }
  errno = 0;
  const int writeError = writeAndFlush(stream, text);
  errno = 0;
  const bool closed = std::fclose(stream) == 0;
  const int closeError = errno ? errno : EIO;
  if (writeError != 0 || !closed) {
    error = describe("cannot write", path, writeError != 0 ? writeError : closeError);
    return false;
  }
  return true;
}

}  // namespace

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
  std::string temporaryPath;
  const int descriptor = createTemporaryBeside(path, temporaryPath);
  if (descriptor < 0) {
    error = describe("cannot create a file beside", path, errno);
    return false;
  }
  close(descriptor);
  unlink(temporaryPath.c_str());
  return true;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const TargetKind kind = kindOf(path);
  if (kind == TargetKind::Other) return writeInPlace(path, text, error);
  if (kind == TargetKind::Directory) {
    error = describe("cannot write", path, EISDIR);
    return false;
  }

  std::string temporaryPath;
  const int descriptor = createTemporaryBeside(path, temporaryPath);
  if (descriptor < 0) {
    error = describe("cannot create a file beside", path, errno);
    return false;
  }
  std::FILE* stream = fdopen(descriptor, "w");
  if (stream == nullptr) {
    error = describe("cannot write", temporaryPath, errno);
    close(descriptor);
    unlink(temporaryPath.c_str());
    return false;
  }

  errno = 0;
  int failure = writeAndFlush(stream, text);
  // Reach the disk before the rename makes the file visible, so a crash
  // cannot leave an empty file under the final name. EINVAL: the file
  // system has nothing to sync (e.g. some special mounts); not an error.
  if (failure == 0 && fsync(fileno(stream)) != 0 && errno != EINVAL) failure = errno;
  errno = 0;
  if (std::fclose(stream) != 0 && failure == 0) failure = errno ? errno : EIO;
  if (failure == 0 && std::rename(temporaryPath.c_str(), path.c_str()) != 0) {
    error = describe("cannot replace", path, errno);
    unlink(temporaryPath.c_str());
    return false;
  }
  if (failure != 0) {
    error = describe("cannot write", path, failure);
    unlink(temporaryPath.c_str());
    return false;
  }
  return true;
}

bool createTemporaryFile(const std::string& path, std::string& temporaryPath, std::string& error) {
  const int descriptor = createTemporaryBeside(path, temporaryPath);
  if (descriptor < 0) {
    error = describe("cannot create a file beside", path, errno);
    return false;
  }
  close(descriptor);
  return true;
}

bool moveIntoPlace(const std::string& temporaryPath, const std::string& path, std::string& error) {
  const int descriptor = open(temporaryPath.c_str(), O_RDONLY | O_CLOEXEC);
  int failure = descriptor < 0 ? errno : 0;
  if (failure == 0 && fsync(descriptor) != 0 && errno != EINVAL) failure = errno;  // as in writeFileAtomically
  if (descriptor >= 0) close(descriptor);
  if (failure == 0 && std::rename(temporaryPath.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    error = describe("cannot replace", path, failure);
    unlink(temporaryPath.c_str());
    return false;
  }
  return true;
}

}  // namespace sph
