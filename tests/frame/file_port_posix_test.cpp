// The POSIX file port on real files in a scratch folder.
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "frame/system_ports.h"

namespace {

namespace fs = std::filesystem;

class PosixFilePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "cnc64-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  std::string Make(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  frame::FilePort& port_ = frame::system::Files();
  fs::path dir_;
};

TEST_F(PosixFilePortTest, ReadsWritesAndSizesInPlace) {
  const std::string path = Make("map.bin", "0123456789");
  frame::FileHandle h = 0;
  ASSERT_EQ(port_.Open(path, h), 0);
  std::array<std::uint8_t, 4> buffer{'w', 'x', 'y', 'z'};
  std::uint32_t done = 99;
  EXPECT_EQ(port_.ReadAt(h, 8, buffer.data(), 4, done), 0);
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(buffer[2], 'y');
  EXPECT_EQ(port_.ReadAt(h, 10, buffer.data(), 4, done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(port_.WriteAt(h, 10, reinterpret_cast<const std::uint8_t*>("!"), 1, done), 0);
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(port_.WriteAt(h, 0, reinterpret_cast<const std::uint8_t*>("ab"), 2, done), 0);
  std::int64_t size = 0;
  EXPECT_EQ(port_.Size(h, size), 0);
  EXPECT_EQ(size, 11);
  EXPECT_EQ(port_.FlushToStorage(h), 0);
  EXPECT_EQ(port_.Close(h), 0);
  EXPECT_EQ(Read(path), "ab23456789!");
}

TEST_F(PosixFilePortTest, MissingFileIsNotCreated) {
  const std::string path = (dir_ / "missing.bin").string();
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), ENOENT);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(port_.Open((dir_ / "no-folder" / "x").string(), h), ENOENT);
}

TEST_F(PosixFilePortTest, RefusesWhatIsNotAWritableRegularFile) {
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(dir_.string(), h), EISDIR);

  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  EXPECT_EQ(port_.Open(fifo, h), EINVAL);  // and does not wait for a writer

  // No write permission: refused for every user, the superuser included.
  const std::string readOnly = Make("read-only.bin", "keep");
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  EXPECT_EQ(port_.Open(readOnly, h), EACCES);
  EXPECT_EQ(Read(readOnly), "keep");
}

TEST_F(PosixFilePortTest, RefusesFilesOf2GiBOrMore) {
  const std::string path = Make("huge.bin", "");
  ASSERT_EQ(truncate(path.c_str(), 2147483648LL), 0);  // sparse
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), EFBIG);
  ASSERT_EQ(truncate(path.c_str(), 2147483647LL), 0);
  ASSERT_EQ(port_.Open(path, h), 0);
  port_.Close(h);
}

TEST_F(PosixFilePortTest, HeldExclusivelyWhileOpen) {
  const std::string path = Make("map.bin", "abcd");
  frame::FileHandle first = 0;
  ASSERT_EQ(port_.Open(path, first), 0);
  frame::FileHandle second = 0;
  EXPECT_EQ(port_.Open(path, second), EACCES);
  // Another program, too.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    frame::FileHandle h = 0;
    _exit(frame::system::Files().Open(path, h) == EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(port_.Close(first), 0);
  ASSERT_EQ(port_.Open(path, second), 0);
  port_.Close(second);
}

TEST_F(PosixFilePortTest, FileThatAnotherProgramHasOpenIsRefused) {
  const std::string path = Make("map.bin", "abcd");
  int toParent[2];
  int toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Holds the file open for reading, without any lock, until told to stop.
    const int fd = open(path.c_str(), O_RDONLY);
    char c = fd >= 0 ? 'o' : 'e';
    if (write(toParent[1], &c, 1) != 1) _exit(2);
    if (read(toChild[0], &c, 1) < 0) _exit(3);
    _exit(0);
  }
  char ready = 0;
  ASSERT_EQ(read(toParent[0], &ready, 1), 1);
  ASSERT_EQ(ready, 'o');
  frame::FileHandle h = 0;
  const std::uint16_t code = port_.Open(path, h);
  const char stop = 's';
  ASSERT_EQ(write(toChild[1], &stop, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
  // Seen through the lease, or where none can be had, among the processes.
  if (code == 0) port_.Close(h);
  EXPECT_EQ(code, EACCES);
  EXPECT_EQ(Read(path), "abcd");
}

// ---- the hold while the tool waits, and before it writes --------------------

// Another program in a child process; it reports one byte on `said`.
struct OtherProgram {
  pid_t pid = -1;
  int said = -1;  // read end
  int tell = -1;  // write end: a byte lets the program go on
};

OtherProgram StartOther(const std::function<char(int heard)>& body) {
  int toParent[2];
  int toChild[2];
  EXPECT_EQ(pipe(toParent), 0);
  EXPECT_EQ(pipe(toChild), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(toParent[0]);
    close(toChild[1]);
    const char c = body(toChild[0]);
    if (write(toParent[1], &c, 1) != 1) _exit(2);
    char ignored = 0;
    if (read(toChild[0], &ignored, 1) < 0) _exit(3);
    _exit(0);
  }
  close(toParent[1]);
  close(toChild[0]);
  return {pid, toParent[0], toChild[1]};
}

// The byte the other program said within `timeoutMs`, or 0.
char Heard(const OtherProgram& other, int timeoutMs) {
  struct pollfd ready {
    other.said, POLLIN, 0
  };
  int count;
  do {
    count = poll(&ready, 1, timeoutMs);
  } while (count < 0 && errno == EINTR);
  char c = 0;
  if (count == 1 && read(other.said, &c, 1) != 1) c = 0;
  return c;
}

void Finish(OtherProgram& other) {
  const char go = 'g';
  if (write(other.tell, &go, 1) != 1) kill(other.pid, SIGKILL);
  int status = 0;
  while (waitpid(other.pid, &status, 0) < 0 && errno == EINTR) {
  }
  close(other.said);
  close(other.tell);
}

bool HoldsAWriteLease(frame::FileHandle h) {
  return fcntl(static_cast<int>(h), F_GETLEASE) == F_WRLCK;
}

// While the tool waits for a person, another program that opens the file
// is let in at once (not after the kernel's lease-break time), and the
// change that follows is refused when that program changed the file or
// still has it.
TEST_F(PosixFilePortTest, AnotherProgramIsLetInAndAChangeAfterwardsIsChecked) {
  struct Case {
    const char* name;
    int openFlags;
    bool keepsItOpen;
    std::uint16_t change;
  };
  const Case cases[] = {
      {"reads and closes", O_RDONLY, false, 0},
      {"truncates", O_WRONLY | O_TRUNC, false, frame::kFileChangedCode},
      {"keeps it open", O_RDONLY, true, frame::kFileChangedCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Make("rom.z64", std::string(4096, 'r'));
    frame::FileHandle h = 0;
    ASSERT_EQ(port_.Open(path, h), 0);
    if (!HoldsAWriteLease(h)) {
      port_.Close(h);
      GTEST_SKIP() << "this file system grants no write leases";
    }
    OtherProgram other = StartOther([&](int) {
      const auto before = std::chrono::steady_clock::now();
      const int fd = open(path.c_str(), c.openFlags);
      const bool soon = std::chrono::steady_clock::now() - before < std::chrono::seconds(5);
      if (fd < 0) return 'e';
      // Kept, the descriptor stays open until the program is let go.
      if (c.keepsItOpen) return soon ? 'k' : 'l';
      close(fd);
      return soon ? 'o' : 'l';
    });
    const char said = Heard(other, 20000);
    EXPECT_EQ(said, c.keepsItOpen ? 'k' : 'o') << "'l': the other program waited for the lease";
    const std::uint16_t change = port_.BeginChange(h, 0, 4);
    EXPECT_EQ(change, c.change);
    if (change == 0) {
      std::uint32_t done = 0;
      EXPECT_EQ(port_.WriteAt(h, 0, reinterpret_cast<const std::uint8_t*>("NEW!"), 4, done), 0);
    }
    port_.EndChange(h);
    Finish(other);
    port_.Close(h);
    if (c.change == 0) {
      EXPECT_EQ(Read(path).substr(0, 5), "NEW!r");
    }
    fs::remove(path);
  }
}

// During a run of writes the hold is kept: another program's open waits
// for the end of the run, and goes through right after it.
TEST_F(PosixFilePortTest, DuringAChangeAnotherProgramWaitsForItsEnd) {
  const std::string path = Make("map.bin", std::string(64, 'm'));
  frame::FileHandle h = 0;
  ASSERT_EQ(port_.Open(path, h), 0);
  if (!HoldsAWriteLease(h)) {
    port_.Close(h);
    GTEST_SKIP() << "this file system grants no write leases";
  }
  ASSERT_EQ(port_.BeginChange(h, 0, frame::kToTheEnd), 0);
  OtherProgram other = StartOther([&](int) {
    const int fd = open(path.c_str(), O_RDONLY);
    char first = 'e';
    if (fd >= 0 && read(fd, &first, 1) != 1) first = 'e';
    return first;
  });
  EXPECT_EQ(Heard(other, 300), 0) << "the other program got in during the change";
  std::uint32_t done = 0;
  EXPECT_EQ(port_.WriteAt(h, 0, reinterpret_cast<const std::uint8_t*>("W"), 1, done), 0);
  port_.EndChange(h);
  EXPECT_EQ(Heard(other, 5000), 'W');
  Finish(other);
  port_.Close(h);
}

TEST_F(PosixFilePortTest, AFileReplacedUnderItsNameIsNotChanged) {
  const std::string path = Make("rom.z64", "old image");
  frame::FileHandle h = 0;
  ASSERT_EQ(port_.Open(path, h), 0);
  const std::string other = Make("new.z64", "new image");
  ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);  // how editors save
  EXPECT_EQ(port_.BeginChange(h, 0, frame::kToTheEnd), frame::kFileChangedCode);
  port_.EndChange(h);
  port_.Close(h);
  EXPECT_EQ(Read(path), "new image");
}

// Only a regular file is ever opened: a FIFO is refused without being
// opened, so a program waiting to read from it is not let through.
TEST_F(PosixFilePortTest, AFifoIsRefusedWithoutBeingOpened) {
  const std::string path = (dir_ / "pipe").string();
  ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
  OtherProgram reader = StartOther([&](int) {
    const int fd = open(path.c_str(), O_RDONLY);  // waits for a writer
    return fd >= 0 ? 'r' : 'e';
  });
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), EINVAL);
  EXPECT_EQ(Heard(reader, 300), 0) << "the FIFO was opened";
  // Let the reader go.
  const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_EQ(Heard(reader, 5000), 'r');
  if (writer >= 0) close(writer);
  Finish(reader);
}

// Where no lease can be had (a user who does not own the file), another
// process of the same user that has the file open is found among the
// processes, and the file is refused.
TEST_F(PosixFilePortTest, WithoutALeaseAnotherOpenIsFoundAmongTheProcesses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a user who does not own the file";
  constexpr uid_t kNobody = 65534;
  fs::permissions(dir_, fs::perms::all);
  const std::string path = Make("rom.z64", "abcd");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::group_write | fs::perms::others_read |
                            fs::perms::others_write);
  // Opens the file as that user: 0 when it was opened and could be changed.
  const auto openAsNobody = [&] {
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
      frame::FilePort& files = frame::system::Files();
      frame::FileHandle h = 0;
      const std::uint16_t code = files.Open(path, h);
      if (code != 0) _exit(code);
      const std::uint16_t change = files.BeginChange(h, 0, frame::kToTheEnd);
      _exit(change == 0 ? 0 : 99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(openAsNobody(), 0);
  // A program of that user holding the file open: it is made by exec, as a
  // user's programs are, so that its descriptors can be looked at.
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(101);
  }
  // The holder has the file once it runs sleep.
  for (int i = 0; i < 200; ++i) {
    const std::string exe = fs::read_symlink("/proc/" + std::to_string(holder) + "/exe").string();
    if (exe.find("sleep") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(openAsNobody(), EACCES);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(Read(path), "abcd");
}

// On a full file system a change is refused before any byte of it, where
// the file has holes that writing would have to fill.
TEST_F(PosixFilePortTest, AFullDiskRefusesTheChangeBeforeItsFirstByte) {
  const fs::path small = dir_ / "small";
  fs::create_directory(small);
  if (mount("cnc64-small", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  const std::string path = (small / "sparse.z64").string();
  { std::ofstream(path, std::ios::binary) << ""; }
  fs::resize_file(path, 4u << 20);  // 4 MiB of holes on 1 MiB of storage
  frame::FileHandle h = 0;
  const std::uint16_t opened = port_.Open(path, h);
  EXPECT_EQ(opened, 0);
  if (opened == 0) {
    EXPECT_EQ(port_.BeginChange(h, 0, frame::kToTheEnd), ENOSPC);
    port_.EndChange(h);
    // A change that fits is not refused.
    EXPECT_EQ(port_.BeginChange(h, 2152924, 11), 0);
    port_.EndChange(h);
    port_.Close(h);
  }
  EXPECT_EQ(fs::file_size(path), 4u << 20);
  umount2(small.c_str(), MNT_DETACH);
}

TEST_F(PosixFilePortTest, CodesForCausesFoundAboveTheSeam) {
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNegativePosition), EINVAL);
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNameTooLong), ENAMETOOLONG);
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNoName), ENOENT);
  EXPECT_EQ(port_.NameLength("abc"), 3u);
}

}  // namespace
