// The file seam on POSIX systems. This file holds POSIX code only.
//
// The target is opened with one open(2) and held exclusively with an
// exclusive flock(2) and, where the system grants one, a write lease
// (Linux), which is refused while any other process has the file open.
// Reads and writes are positioned (pread/pwrite), one request each.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// The reasons a file that open(2) accepted is still refused; 0 if none.
int RefusalOf(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return errno;
  if (S_ISDIR(status.st_mode)) return EISDIR;
  if (!S_ISREG(status.st_mode)) return EINVAL;
  // Read-only files stay read-only for every user, the superuser too.
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  if (status.st_size > kLargestSize) return EFBIG;
  return 0;
}

// Holds the file against other programs; 0, or why it cannot be held.
int Hold(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
    return EACCES;
  }
#ifdef F_SETLEASE
  // A lease is granted only while no other process has the file open. A
  // lease-break notice (SIGIO) must not end the program.
  signal(SIGIO, SIG_IGN);
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0 && (errno == EAGAIN || errno == EBUSY)) return EACCES;
#endif
  return 0;
}

class PosixFiles final : public FilePort {
 public:
  std::uint16_t Open(std::string_view name, FileHandle& handle) override {
    if (name.find('\0') != std::string_view::npos) return ENOENT;
    const std::string path(name);
    // O_NONBLOCK: neither a FIFO nor another program's lease may make the
    // open wait.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return CodeOf(errno);
    int refusal = RefusalOf(fd);
    if (refusal == 0) refusal = Hold(fd);
    if (refusal == 0) {
      const int flags = fcntl(fd, F_GETFL);
      if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) refusal = errno;
    }
    if (refusal != 0) {
      close(fd);
      return CodeOf(refusal);
    }
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

  std::uint16_t Close(FileHandle handle) override {
    return close(Descriptor(handle)) == 0 ? 0 : CodeOf(errno);
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
};

}  // namespace

FilePort& system::Files() {
  static PosixFiles files;
  return files;
}

}  // namespace frame
