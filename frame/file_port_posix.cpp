// The file seam on POSIX systems. This file holds POSIX code only.
//
// Only a regular file is ever opened: the name is looked at first, and the
// descriptor is checked to be that same file. It is held with an exclusive
// flock(2) and, where the system grants one, a write lease (Linux), which
// is refused while any other process has the file open. Where no lease can
// be had (another user's file, a file system without leases), the
// processes this user can see are searched for another open description
// of the file instead.
//
// Another program that opens a leased file waits until the lease is given
// back. While the tool waits for a person the lease is given back at once,
// so that nobody freezes; during a run of writes it is kept to the run's
// end, milliseconds later. Before any run of writes the file is checked to
// be the one opened and unchanged, and the hold is taken again.
//
// Reads and writes are positioned (pread/pwrite), one request each.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/file_port.h"
#include "frame/system_ports.h"

namespace frame {
namespace {

constexpr std::int64_t kLargestSize = 0x7FFFFFFF;

std::uint16_t CodeOf(int error) {
  if (error == EWOULDBLOCK || error == EAGAIN) return EACCES;  // held by another program
  if (error <= 0 || error > 0xFFFF) return EIO;
  return static_cast<std::uint16_t>(error);
}

int Descriptor(FileHandle handle) { return static_cast<int>(handle); }

// ---- the lease and its break notice -----------------------------------------
// The lease-break notice (SIGIO) arrives at any moment; the handler uses
// async-signal-safe calls only.

volatile sig_atomic_t gLeaseFd = -1;       // the descriptor holding a write lease, if any
volatile sig_atomic_t gChanging = 0;       // a run of writes is under way
volatile sig_atomic_t gBreakAsked = 0;     // another program asked during the run
volatile sig_atomic_t gLeaseReturned = 0;  // the lease was given back: the file may be touched

void OnLeaseBreak(int /*signal*/) {
  const int fd = gLeaseFd;
  if (fd < 0) return;
  if (gChanging != 0) {
    gBreakAsked = 1;
    return;
  }
  const int savedErrno = errno;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  gLeaseReturned = 1;
  errno = savedErrno;
}

void InstallLeaseBreakHandler() {
  static bool installed = false;
  if (installed) return;
  struct sigaction action {};
  action.sa_handler = OnLeaseBreak;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  installed = sigaction(SIGIO, &action, nullptr) == 0;
}

// Takes a write lease: 0; EACCES while another process has the file open;
// ENOLCK where no lease can be had at all (not the owner, a file system
// without leases).
int TakeLease(int fd) {
#ifdef F_SETLEASE
  InstallLeaseBreakHandler();
  if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) return 0;
  return errno == EAGAIN || errno == EBUSY ? EACCES : ENOLCK;
#else
  static_cast<void>(fd);
  return ENOLCK;
#endif
}

void GiveBackLease(int fd) {
#ifdef F_SETLEASE
  fcntl(fd, F_SETLEASE, F_UNLCK);
#else
  static_cast<void>(fd);
#endif
}

// ---- what the file is -----------------------------------------------------

struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {};
  struct timespec changed {};
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

FileState StateOf(const struct stat& status) {
  return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

// The reasons a file is refused before or after it is opened; 0 if none.
int RefusalOf(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) return EISDIR;
  if (!S_ISREG(status.st_mode)) return EINVAL;
  // Read-only files stay read-only for every user, the superuser too.
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  if (status.st_size > kLargestSize) return EFBIG;
  return 0;
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Whether a process other than this one, among those whose descriptors this
// user may look at, has the file of `state` open.
bool OpenElsewhere(const FileState& state) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  const std::string self = std::to_string(getpid());
  bool found = false;
  while (!found) {
    const struct dirent* process = readdir(processes);
    if (process == nullptr) break;
    if (!IsNumber(process->d_name) || self == process->d_name) continue;
    const std::string folder = std::string("/proc/") + process->d_name + "/fd";
    DIR* descriptors = opendir(folder.c_str());
    if (descriptors == nullptr) continue;  // another user's process, or one that has ended
    while (!found) {
      const struct dirent* descriptor = readdir(descriptors);
      if (descriptor == nullptr) break;
      if (!IsNumber(descriptor->d_name)) continue;
      struct stat status {};
      const std::string link = folder + "/" + descriptor->d_name;
      found = stat(link.c_str(), &status) == 0 && status.st_dev == state.device &&
              status.st_ino == state.inode;
    }
    closedir(descriptors);
  }
  closedir(processes);
  return found;
}

// Reserves the storage of `length` bytes from `offset` where the file has
// holes, without changing its size: 0, or why the storage cannot be had. A
// file system that cannot reserve ahead is written as it comes.
int Reserve(int fd, const struct stat& status, std::int64_t offset, std::int64_t length) {
#ifdef FALLOC_FL_KEEP_SIZE
  if (length <= 0) return 0;
  // A file whose storage covers all of it has no holes to fill: asking
  // would only walk its pages.
  if (status.st_blocks * 512 >= status.st_size) return 0;
  int result;
  do {
    result =
        fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result == 0) return 0;
  if (errno == ENOSPC || errno == EDQUOT || errno == EIO || errno == EFBIG) return errno;
  return 0;
#else
  static_cast<void>(fd);
  static_cast<void>(status);
  static_cast<void>(offset);
  static_cast<void>(length);
  return 0;
#endif
}

// ---- the port ---------------------------------------------------------------

class PosixFiles final : public FilePort {
 public:
  std::uint16_t Open(std::string_view name, FileHandle& handle) override {
    if (name.find('\0') != std::string_view::npos) return ENOENT;
    const std::string path(name);
    // Nothing but a regular file is opened: opening a device, a FIFO or a
    // socket could have effects of its own.
    struct stat named {};
    if (stat(path.c_str(), &named) != 0) return CodeOf(errno);
    if (const int refusal = RefusalOf(named); refusal != 0) return CodeOf(refusal);
    // O_NONBLOCK: a lease that another program holds must not make the
    // open wait.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return CodeOf(errno);
    int refusal = 0;
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
      refusal = errno;
    } else if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
      refusal = EACCES;  // the name was given to another file meanwhile
    } else {
      refusal = RefusalOf(opened);
    }
    bool leased = false;
    if (refusal == 0) refusal = Hold(fd, StateOf(opened), leased);
    if (refusal == 0) {
      const int flags = fcntl(fd, F_GETFL);
      if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) refusal = errno;
    }
    if (refusal == 0 && fstat(fd, &opened) != 0) refusal = errno;
    if (refusal != 0) {
      if (leased) gLeaseFd = -1;
      close(fd);
      return CodeOf(refusal);
    }
    held_ = {fd, path, StateOf(opened), leased};
    handle = fd;
    return 0;
  }

  std::uint16_t ReadAt(FileHandle handle, std::int64_t offset, std::uint8_t* buffer,
                       std::uint32_t count, std::uint32_t& done) override {
    ssize_t got;
    do {
      got = pread(Descriptor(handle), buffer, count, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return CodeOf(errno);
    done = static_cast<std::uint32_t>(got);
    return 0;
  }

  std::uint16_t WriteAt(FileHandle handle, std::int64_t offset, const std::uint8_t* buffer,
                        std::uint32_t count, std::uint32_t& done) override {
    done = 0;
    while (done < count) {
      const ssize_t put = pwrite(Descriptor(handle), buffer + done, count - done,
                                 static_cast<off_t>(offset + done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return CodeOf(errno);
      if (put == 0) return EIO;
      done += static_cast<std::uint32_t>(put);
    }
    return 0;
  }

  std::uint16_t Size(FileHandle handle, std::int64_t& size) override {
    struct stat status {};
    if (fstat(Descriptor(handle), &status) != 0) return CodeOf(errno);
    size = static_cast<std::int64_t>(status.st_size);
    return 0;
  }

  std::uint16_t FlushToStorage(FileHandle handle) override {
    return fsync(Descriptor(handle)) == 0 ? 0 : CodeOf(errno);
  }

  std::uint16_t BeginChange(FileHandle handle, std::int64_t offset, std::int64_t length) override {
    const int fd = Descriptor(handle);
    if (fd != held_.fd) return EBADF;
    // From here on a break request waits for the end of the run.
    gChanging = 1;
    const int refusal = CheckHeld();
    if (refusal != 0) {
      EndChange(handle);
      return CodeOf(refusal);
    }
    // A size that cannot be read reserves nothing; the writes go as they come.
    struct stat status {};
    const int reserved =
        fstat(fd, &status) != 0
            ? 0
            : Reserve(fd, status, offset, length == kToTheEnd ? status.st_size - offset : length);
    if (reserved != 0) {
      EndChange(handle);
      return CodeOf(reserved);
    }
    return 0;
  }

  void EndChange(FileHandle handle) override {
    const int fd = Descriptor(handle);
    if (fd != held_.fd) return;
    struct stat status {};
    if (fstat(fd, &status) == 0) held_.state = StateOf(status);
    gChanging = 0;
    if (gBreakAsked != 0 && held_.leased) {
      gBreakAsked = 0;
      GiveBackLease(fd);
      gLeaseReturned = 1;
    }
  }

  std::uint16_t Close(FileHandle handle) override {
    const int fd = Descriptor(handle);
    if (fd == held_.fd) {
      if (held_.leased) gLeaseFd = -1;
      held_ = {};
    }
    return close(fd) == 0 ? 0 : CodeOf(errno);
  }

  std::size_t NameLength(std::string_view name) const override { return name.size(); }

  // A name is bytes here, shown as they are.
  std::string ShownName(std::string_view name) const override { return std::string(name); }

  std::uint16_t CodeFor(FileFault fault) const override {
    switch (fault) {
      case FileFault::kNegativePosition:
        return EINVAL;
      case FileFault::kNameTooLong:
        return ENAMETOOLONG;
      case FileFault::kNoName:
        return ENOENT;
    }
    return EINVAL;
  }

 private:
  struct Held {
    int fd = -1;
    std::string path;
    FileState state;
    bool leased = false;
  };

  // Holds the file against other programs; 0, or why it cannot be held.
  static int Hold(int fd, const FileState& state, bool& leased) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
      return EACCES;
    }
    gLeaseReturned = 0;
    gBreakAsked = 0;
    gLeaseFd = fd;
    const int lease = TakeLease(fd);
    if (lease == 0) {
      leased = true;
      return 0;
    }
    gLeaseFd = -1;
    if (lease != ENOLCK) return lease;
    return OpenElsewhere(state) ? EACCES : 0;
  }

  // Whether the held file is still the one opened, unchanged and held: 0,
  // or kFileChangedCode.
  int CheckHeld() {
    if (held_.leased && gLeaseReturned != 0) {
      // Another program had the file meanwhile; it may still have it.
      if (TakeLease(held_.fd) != 0) return kFileChangedCode;
      gLeaseReturned = 0;
    } else if (!held_.leased && OpenElsewhere(held_.state)) {
      return kFileChangedCode;
    }
    struct stat named {};
    struct stat opened {};
    if (stat(held_.path.c_str(), &named) != 0 || fstat(held_.fd, &opened) != 0) {
      return kFileChangedCode;
    }
    const FileState now = StateOf(opened);
    const bool same = named.st_dev == held_.state.device && named.st_ino == held_.state.inode &&
                      now.device == held_.state.device && now.inode == held_.state.inode &&
                      now.size == held_.state.size &&
                      SameTime(now.modified, held_.state.modified) &&
                      SameTime(now.changed, held_.state.changed);
    return same ? 0 : kFileChangedCode;
  }

  Held held_;
};

}  // namespace

FilePort& system::Files() {
  static PosixFiles files;
  return files;
}

}  // namespace frame
