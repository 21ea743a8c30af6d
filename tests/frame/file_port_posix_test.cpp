// The POSIX file port on real files in a scratch folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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
  if (code == 0) {
    port_.Close(h);
    GTEST_SKIP() << "this file system grants no write leases, so a file opened "
                    "elsewhere without a lock cannot be told";
  }
  EXPECT_EQ(code, EACCES);
  EXPECT_EQ(Read(path), "abcd");
}

TEST_F(PosixFilePortTest, CodesForCausesFoundAboveTheSeam) {
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNegativePosition), EINVAL);
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNameTooLong), ENAMETOOLONG);
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNoName), ENOENT);
  EXPECT_EQ(port_.NameLength("abc"), 3u);
}

}  // namespace
