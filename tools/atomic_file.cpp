#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
// The web build's C library has no kernel headers, no /proc, no extended
// attributes, and one user whose real and effective ids are the same (its
// faccessat takes no flags).
#if __has_include(<linux/magic.h>)
#include <linux/magic.h>
#include <sys/xattr.h>
#define EFFECTIVE_IDS AT_EACCESS
#else
#define PROC_SUPER_MAGIC 0x9fa0
#define EFFECTIVE_IDS 0
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace sph {

bool unnamedFilesAllowed = true;

namespace {

std::string describe(const std::string& what, const std::string& path, int errorNumber) {
  return what + " '" + path + "': " + std::strerror(errorNumber);
}

// A failure: a message for people in `error`, and errno for programs (the
// Python module raises the OSError that errno names).
bool fail(std::string& error, const std::string& message, int errorNumber) {
  error = message;
  errno = errorNumber;
  return false;
}

bool fail(std::string& error, const std::string& what, const std::string& path, int errorNumber) {
  return fail(error, describe(what, path, errorNumber), errorNumber);
}

enum class TargetKind { Missing, Regular, Directory, Other, Unusable };

// Where a path leads once its links are followed.
struct Target {
  TargetKind kind = TargetKind::Missing;
  std::string path;  // the end of the links: where the file is, or is to be
  int failure = 0;   // why it is unusable (an errno)
};

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Links in /proc (/dev/stdout leads to /proc/self/fd/1) name open files,
// pipes and terminals rather than paths: what they lead to is written in
// place, never replaced.
bool namesAnOpenFile(const std::string& link) {
  struct statfs system;
  return statfs(folderOf(link).c_str(), &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

Target follow(const std::string& path) {
  Target target;
  target.path = path;
  if (path.empty()) {  // names no file: left Missing, it would be written in "." and never linked
    target.kind = TargetKind::Unusable;
    target.failure = ENOENT;
    return target;
  }
  // The kernel follows the links first, as for a shell's `>`, and refuses
  // what it would refuse there: with fs.protected_symlinks, another user's
  // link in a shared sticky folder such as /tmp. The walk below only finds
  // where the file is.
  const int probe = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (probe >= 0) close(probe);
  else if (errno == EACCES) {
    target.kind = TargetKind::Unusable;
    target.failure = EACCES;
    return target;
  }
  for (int links = 0; links <= 40; ++links) {  // the kernel's own limit
    struct stat status;
    if (lstat(target.path.c_str(), &status) != 0) {
      // Not there yet, or no folder to put it in, which opening the folder
      // reports; anything else (a name too long) is reported as it is.
      target.failure = errno;
      target.kind = errno == ENOENT || errno == ENOTDIR ? TargetKind::Missing : TargetKind::Unusable;
      return target;
    }
    if (S_ISLNK(status.st_mode) && namesAnOpenFile(target.path)) {
      const bool folder = stat(target.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
      target.kind = folder ? TargetKind::Directory : TargetKind::Other;
      return target;
    }
    if (!S_ISLNK(status.st_mode)) {
      target.kind = S_ISREG(status.st_mode) ? TargetKind::Regular
                  : S_ISDIR(status.st_mode) ? TargetKind::Directory : TargetKind::Other;
      return target;
    }
    char link[PATH_MAX];
    const ssize_t length = readlink(target.path.c_str(), link, sizeof link);
    if (length < 0) {
      target.kind = TargetKind::Unusable;
      target.failure = errno;
      return target;
    }
    const std::string to(link, std::size_t(length));
    target.path = to[0] == '/' ? to : folderOf(target.path) + "/" + to;
  }
  target.kind = TargetKind::Unusable;
  target.failure = ELOOP;
  return target;
}

// This process's descriptor that a link in /proc names (/proc/self/fd/1,
// where /dev/stdout leads), or -1. Written through directly, the text goes
// where the program's other writes to it go, after them, instead of
// truncating a file behind it or being overwritten.
int ownDescriptor(const std::string& link) {
  char* const folder = realpath(folderOf(link).c_str(), nullptr);
  const bool own = folder != nullptr && folder == "/proc/" + std::to_string(long(getpid())) + "/fd";
  std::free(folder);
  const std::string name = nameOf(link);
  int descriptor = -1;
  if (own) std::from_chars(name.data(), name.data() + name.size(), descriptor);
  return descriptor;
}

// An unnamed file is linked by its name under /proc, which a process may use
// without privileges (linkat's AT_EMPTY_PATH needs them).
std::string procName(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

int openUnnamed(int folder) {
  // Readable too: an HDF5 writer (sph.dataset's shards) reads back what it wrote.
  const int descriptor = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (descriptor >= 0 && access(procName(descriptor).c_str(), F_OK) != 0) {  // no /proc: cannot be linked
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// Makes a fresh name for `create` (which returns 0 or an errno); never an
// existing one (another run, a stale leftover). Short, so that it fits
// beside any name.
template <class Create>
int withFreshName(std::string& temporaryName, Create create) {
  const std::string stem = "sph-" + std::to_string(long(getpid())) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporaryName = stem + std::to_string(attempt) + ".tmp";
    const int failure = create(temporaryName);
    if (failure != EEXIST) return failure;
  }
  return EEXIST;
}

// Links an unnamed file at its name: directly where nothing is there, or
// under a fresh name renamed over what is there. Returns 0 or an errno.
int linkIntoPlace(const PendingFile& file) {
  const std::string source = procName(file.descriptor);
  auto linkAt = [&](const std::string& name) {
    return linkat(AT_FDCWD, source.c_str(), file.folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
  };
  const int direct = linkAt(file.name);
  if (direct != EEXIST) return direct;
  std::string temporaryName;
  if (const int failure = withFreshName(temporaryName, linkAt)) return failure;
  if (renameat(file.folder, temporaryName.c_str(), file.folder, file.name.c_str()) == 0) return 0;
  const int failure = errno;
  unlinkat(file.folder, temporaryName.c_str(), 0);
  return failure;
}

#if __has_include(<linux/magic.h>)
// Carries the extended attributes of the file at `from` over to `to`, its
// access control list (system.posix_acl_access) among them: those it names
// keep their access, and the mode's group bits, which are then the list's
// mask, mean what they meant. Returns 0, or why the list could not be
// carried; others the process may not set (security.* for an ordinary user)
// are left behind, as cp --preserve=all leaves them.
int carryAttributes(const std::string& from, int to) {
  std::string names(std::size_t(std::max(listxattr(from.c_str(), nullptr, 0), ssize_t(0))), '\0');
  names.resize(std::size_t(std::max(listxattr(from.c_str(), names.data(), names.size()), ssize_t(0))));
  for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* const name = names.c_str() + at;
    std::string value(std::size_t(std::max(getxattr(from.c_str(), name, nullptr, 0), ssize_t(0))), '\0');
    value.resize(std::size_t(std::max(getxattr(from.c_str(), name, value.data(), value.size()), ssize_t(0))));
    if (fsetxattr(to, name, value.data(), value.size(), 0) != 0 && std::strcmp(name, "system.posix_acl_access") == 0)
      return errno;
  }
  return 0;
}
#else
int carryAttributes(const std::string&, int) { return 0; }
#endif

// The file that is replaced keeps its mode, its access control list and
// other extended attributes, and its owner and group where this process may
// give them (root may; others may give a group of their own). Returns 0, or
// an errno when the replacement would open the file wider.
int takeOverAttributes(const PendingFile& file) {
  const int old = openat(file.folder, file.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0) return 0;  // nothing to replace
  struct stat status;
  int failure = 0;
  if (fstat(old, &status) == 0 && S_ISREG(status.st_mode)) {
    if (fchown(file.descriptor, status.st_uid, status.st_gid) != 0)
      static_cast<void>(fchown(file.descriptor, uid_t(-1), status.st_gid) == 0);
    failure = carryAttributes(procName(old), file.descriptor);
    fchmod(file.descriptor, status.st_mode & 07777);
  }
  close(old);
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

bool writeInPlace(const Target& target, const std::string& path, const std::string& text, std::string& error) {
  const int own = ownDescriptor(target.path);
  const int descriptor = own >= 0 ? own : open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (descriptor < 0) return fail(error, "cannot open", path, errno);
  int failure = writeAll(descriptor, text) ? 0 : errno;
  if (own < 0 && close(descriptor) != 0 && failure == 0 && errno != EINTR) failure = errno;
  return failure == 0 || fail(error, "cannot write", path, failure);
}

bool openPendingFileAt(const Target& target, const std::string& path, PendingFile& file, std::string& error) {
  discardPendingFile(file);
  file.path = path;
  switch (target.kind) {
    case TargetKind::Missing:
    case TargetKind::Regular:
      break;
    case TargetKind::Directory:
      return fail(error, "cannot write", path, EISDIR);
    case TargetKind::Other:
      return fail(error, "cannot replace '" + path + "': not a regular file", 0);
    case TargetKind::Unusable:
      return fail(error, "cannot write", path, target.failure);
  }
  file.name = nameOf(target.path);
  file.folder = open(folderOf(target.path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  int failure = errno;
  // A file the user may not write is left as it is, as the shell's `>`
  // leaves it (root may write any).
  if (file.folder >= 0 && target.kind == TargetKind::Regular &&
      faccessat(file.folder, file.name.c_str(), W_OK, EFFECTIVE_IDS) != 0) {
    discardPendingFile(file);  // errno kept
    return fail(error, "cannot write", path, errno);
  }
  if (file.folder >= 0) {
    // Where unnamed files are refused the named way is tried, and its
    // failure is the one reported.
    file.descriptor = unnamedFilesAllowed ? openUnnamed(file.folder) : -1;
    if (file.descriptor >= 0) return true;
    failure = withFreshName(file.temporaryName, [&](const std::string& name) {
      file.descriptor = openat(file.folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      return file.descriptor >= 0 ? 0 : errno;
    });
    if (failure == 0) return true;
    file.temporaryName.clear();
  }
  discardPendingFile(file);
  return fail(error, "cannot create a file beside", path, failure);
}

}  // namespace

bool openPendingFile(const std::string& path, PendingFile& file, std::string& error) {
  return openPendingFileAt(follow(path), path, file, error);
}

bool commitPendingFile(PendingFile& file, std::string& error) {
  int failure = takeOverAttributes(file);
  // On disk before it has its name, so a crash cannot leave an empty file
  // there. EINVAL: the file system has nothing to sync (some special mounts).
  if (failure == 0 && fsync(file.descriptor) != 0 && errno != EINVAL) failure = errno;
  if (failure != 0) {
    discardPendingFile(file);
    return fail(error, "cannot write", file.path, failure);
  }
  if (file.temporaryName.empty()) failure = linkIntoPlace(file);
  else if (renameat(file.folder, file.temporaryName.c_str(), file.folder, file.name.c_str()) == 0)
    file.temporaryName.clear();  // the target now
  else failure = errno;
  discardPendingFile(file);
  return failure == 0 || fail(error, "cannot replace", file.path, failure);
}

void discardPendingFile(PendingFile& file) {
  const int failure = errno;  // what a caller reports, untouched by the cleaning
  if (file.descriptor >= 0) close(file.descriptor);
  file.descriptor = -1;
  if (!file.temporaryName.empty()) unlinkat(file.folder, file.temporaryName.c_str(), 0);
  file.temporaryName.clear();
  if (file.folder >= 0) close(file.folder);
  file.folder = -1;
  errno = failure;
}

bool checkFileCanBeWritten(const std::string& path, std::string& error) {
  const Target target = follow(path);
  if (target.kind == TargetKind::Other) return true;  // a device or pipe: opened only when the text is ready
  PendingFile file;
  const bool opened = openPendingFileAt(target, path, file, error);
  discardPendingFile(file);
  return opened;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const Target target = follow(path);
  if (target.kind == TargetKind::Other) return writeInPlace(target, path, text, error);
  PendingFile file;
  if (!openPendingFileAt(target, path, file, error)) return false;
  if (!writeAll(file.descriptor, text)) {
    discardPendingFile(file);
    return fail(error, "cannot write", path, errno);
  }
  return commitPendingFile(file, error);
}

}  // namespace sph
