// The Win32 file port on real files in a scratch folder under the user's
// temporary folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include "frame/system_ports.h"

namespace {

namespace fs = std::filesystem;

std::string Utf8Of(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), bytes, nullptr, nullptr);
  return text;
}

const std::uint8_t* Bytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

// A name with letters of several scripts and a character beyond the basic
// plane: 14 UTF-16 code units, 19 UTF-8 bytes.
constexpr std::wstring_view kWorldName = L"Karte-\u00E9\u4E16\U0001F600.map";

class Win32FilePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::array<wchar_t, MAX_PATH + 1> temp{};
    ASSERT_NE(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()), 0u);
    for (int attempt = 0;; ++attempt) {
      dir_ = std::wstring(temp.data()) + L"cnc64-files-" + std::to_wstring(GetCurrentProcessId()) +
             L"-" + std::to_wstring(attempt);
      if (CreateDirectoryW(dir_.c_str(), nullptr)) break;
      ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
  }
  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir_, ignored)) {
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(dir_, ignored);
  }

  std::wstring PathOf(std::wstring_view name) const { return dir_ + L"\\" + std::wstring(name); }

  // A file of `name` in the scratch folder holding `bytes`; its path in UTF-8.
  std::string Make(std::wstring_view name, std::string_view bytes) {
    const std::wstring path = PathOf(name);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    if (!bytes.empty()) {
      EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
    }
    CloseHandle(file);
    return Utf8Of(path);
  }

  std::string Read(std::wstring_view name) const {
    const HANDLE file = CreateFileW(PathOf(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<cannot be read>";
    std::string content;
    std::array<char, 4096> chunk{};
    DWORD got = 0;
    while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) &&
           got > 0) {
      content.append(chunk.data(), got);
    }
    CloseHandle(file);
    return content;
  }

  bool Exists(std::wstring_view name) const {
    return GetFileAttributesW(PathOf(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  frame::FilePort& port_ = frame::system::Files();
  std::wstring dir_;
};

TEST_F(Win32FilePortTest, ReadsWritesAndSizesInPlace) {
  const std::string path = Make(L"map.bin", "0123456789");
  frame::FileHandle h = 0;
  ASSERT_EQ(port_.Open(path, h), 0);
  std::int64_t size = 0;
  EXPECT_EQ(port_.Size(h, size), 0);
  EXPECT_EQ(size, 10);

  // Short reads at the end keep the rest of the buffer as it was.
  std::array<std::uint8_t, 4> buffer{'w', 'x', 'y', 'z'};
  std::uint32_t done = 99;
  EXPECT_EQ(port_.ReadAt(h, 8, buffer.data(), 4, done), 0);
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{'8', '9', 'y', 'z'}));
  for (const std::int64_t atOrPastEnd : {10, 11, 0x7FFFFFFF}) {
    done = 99;
    EXPECT_EQ(port_.ReadAt(h, atOrPastEnd, buffer.data(), 4, done), 0) << atOrPastEnd;
    EXPECT_EQ(done, 0u) << atOrPastEnd;
  }
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{'8', '9', 'y', 'z'}));

  // Writes go over what is there, at their own offset; at the end they
  // lengthen the file, and the size is asked afresh each time.
  EXPECT_EQ(port_.WriteAt(h, 10, Bytes("!"), 1, done), 0);
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(port_.Size(h, size), 0);
  EXPECT_EQ(size, 11);
  EXPECT_EQ(port_.WriteAt(h, 0, Bytes("ab"), 2, done), 0);
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(port_.ReadAt(h, 1, buffer.data(), 2, done), 0);
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(buffer[0], 'b');
  EXPECT_EQ(buffer[1], '2');
  EXPECT_EQ(port_.WriteAt(h, 13, Bytes("?"), 1, done), 0);
  EXPECT_EQ(port_.Size(h, size), 0);
  EXPECT_EQ(size, 14);

  EXPECT_EQ(port_.ReadAt(h, -1, buffer.data(), 1, done), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(port_.WriteAt(h, -1, Bytes("x"), 1, done), ERROR_NEGATIVE_SEEK);

  EXPECT_EQ(port_.FlushToStorage(h), 0);
  EXPECT_EQ(port_.Close(h), 0);
  EXPECT_EQ(Read(L"map.bin"), std::string("ab23456789!\0\0?", 14));
}

TEST_F(Win32FilePortTest, EmptyFileOpens) {
  const std::string path = Make(L"empty.bin", "");
  frame::FileHandle h = 0;
  ASSERT_EQ(port_.Open(path, h), 0);
  std::int64_t size = -1;
  EXPECT_EQ(port_.Size(h, size), 0);
  EXPECT_EQ(size, 0);
  std::uint8_t byte = 'k';
  std::uint32_t done = 99;
  EXPECT_EQ(port_.ReadAt(h, 0, &byte, 1, done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(byte, 'k');
  EXPECT_EQ(port_.Close(h), 0);
}

TEST_F(Win32FilePortTest, MissingFileIsNotCreated) {
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(Utf8Of(PathOf(L"missing.bin")), h), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Exists(L"missing.bin"));
  EXPECT_EQ(port_.Open(Utf8Of(PathOf(L"no-folder\\x.bin")), h), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(Exists(L"no-folder"));
}

TEST_F(Win32FilePortTest, RefusesWhatIsNotADiskFile) {
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(Utf8Of(dir_), h), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(CreateDirectoryW(PathOf(L"folder").c_str(), nullptr));
  EXPECT_EQ(port_.Open(Utf8Of(PathOf(L"folder")), h), ERROR_ACCESS_DENIED);

  // Devices open like files but are no files to rewrite.
  EXPECT_EQ(port_.Open("NUL", h), ERROR_INVALID_FUNCTION);

  const std::wstring pipeName =
      L"\\\\.\\pipe\\cnc64-files-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 512,
                                       512, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(port_.Open(Utf8Of(pipeName), h), ERROR_INVALID_FUNCTION);
  CloseHandle(pipe);
}

TEST_F(Win32FilePortTest, RefusesAFileMarkedReadOnly) {
  // Refused by the port's own check of the attribute, also where the user
  // may write to the file all the same (an administrator with backup
  // rights).
  const std::string path = Make(L"read-only.bin", "keep");
  ASSERT_TRUE(SetFileAttributesW(PathOf(L"read-only.bin").c_str(), FILE_ATTRIBUTE_READONLY));
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Read(L"read-only.bin"), "keep");
  ASSERT_TRUE(SetFileAttributesW(PathOf(L"read-only.bin").c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_EQ(port_.Open(path, h), 0);
  port_.Close(h);
}

TEST_F(Win32FilePortTest, HeldExclusivelyWhileOpen) {
  const std::string path = Make(L"map.bin", "abcd");
  const std::wstring widePath = PathOf(L"map.bin");
  frame::FileHandle first = 0;
  ASSERT_EQ(port_.Open(path, first), 0);
  // Not even a reader that shares everything gets in.
  const HANDLE reader = CreateFileW(widePath.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  frame::FileHandle second = 0;
  EXPECT_EQ(port_.Open(path, second), ERROR_ACCESS_DENIED);  // a sharing violation
  ASSERT_EQ(port_.Close(first), 0);
  ASSERT_EQ(port_.Open(path, second), 0);
  port_.Close(second);
}

TEST_F(Win32FilePortTest, FileThatIsOpenElsewhereIsRefused) {
  const std::string path = Make(L"map.bin", "abcd");
  // Held open for reading only, sharing everything: the port's open asks
  // for no sharing at all and is refused.
  const HANDLE other = CreateFileW(PathOf(L"map.bin").c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), ERROR_ACCESS_DENIED);
  CloseHandle(other);
  EXPECT_EQ(Read(L"map.bin"), "abcd");
}

TEST_F(Win32FilePortTest, FileHeldForAMomentOpensOnceItIsLetGo) {
  const std::string path = Make(L"map.bin", "abcd");
  const HANDLE other = CreateFileW(PathOf(L"map.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  // Let go half a second into the port's open.
  std::thread release([other] {
    Sleep(500);
    CloseHandle(other);
  });
  const ULONGLONG start = GetTickCount64();
  frame::FileHandle h = 0;
  const std::uint16_t code = port_.Open(path, h);
  const ULONGLONG elapsed = GetTickCount64() - start;
  release.join();
  ASSERT_EQ(code, 0);
  EXPECT_GE(elapsed, 400u);
  EXPECT_LT(elapsed, 1900u);
  port_.Close(h);
}

TEST_F(Win32FilePortTest, FileHeldThroughoutIsRefusedAfterAboutTwoSeconds) {
  const std::string path = Make(L"map.bin", "abcd");
  const HANDLE other = CreateFileW(PathOf(L"map.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  const ULONGLONG start = GetTickCount64();
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), ERROR_ACCESS_DENIED);
  const ULONGLONG elapsed = GetTickCount64() - start;
  CloseHandle(other);
  EXPECT_GE(elapsed, 1900u);
  EXPECT_LT(elapsed, 4000u);
  // A refusal for any other reason is at once.
  const ULONGLONG missingStart = GetTickCount64();
  EXPECT_EQ(port_.Open(Utf8Of(PathOf(L"missing.bin")), h), ERROR_FILE_NOT_FOUND);
  EXPECT_LT(GetTickCount64() - missingStart, 500u);
}

TEST_F(Win32FilePortTest, RefusesFilesOf2GiBOrMore) {
  const std::string path = Make(L"huge.bin", "");
  const auto setLength = [&](std::int64_t length) {
    const HANDLE file = CreateFileW(PathOf(L"huge.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER at{};
    at.QuadPart = length;
    const bool set = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return set;
  };
  ASSERT_TRUE(setLength(2147483648LL));
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path, h), ERROR_FILE_TOO_LARGE);
  ASSERT_TRUE(setLength(2147483647LL));
  ASSERT_EQ(port_.Open(path, h), 0);
  std::int64_t size = 0;
  EXPECT_EQ(port_.Size(h, size), 0);
  EXPECT_EQ(size, 2147483647LL);
  port_.Close(h);
}

TEST_F(Win32FilePortTest, NamesAreUtf8AndCountedInUtf16Units) {
  const std::string path = Make(kWorldName, "world");
  frame::FileHandle h = 0;
  ASSERT_EQ(port_.Open(path, h), 0);
  std::array<std::uint8_t, 5> buffer{};
  std::uint32_t done = 0;
  EXPECT_EQ(port_.ReadAt(h, 0, buffer.data(), 5, done), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "world");
  port_.Close(h);

  const std::string name = Utf8Of(std::wstring(kWorldName));
  EXPECT_EQ(name.size(), 19u);
  EXPECT_EQ(port_.NameLength(name), 14u);
  EXPECT_EQ(port_.NameLength("abc"), 3u);
  EXPECT_EQ(port_.NameLength(Utf8Of(std::wstring(255, L'\u00E9'))), 255u);

  // Bytes that are no UTF-8 name no file; nothing is created.
  EXPECT_EQ(port_.Open(Utf8Of(dir_) + "\\\xFF.map", h), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(Win32FilePortTest, NameIsNotCutAtANul) {
  const std::string path = Make(L"a", "a");
  frame::FileHandle h = 0;
  EXPECT_EQ(port_.Open(path + std::string("\0.map", 5), h), ERROR_INVALID_NAME);
}

TEST_F(Win32FilePortTest, ShownNameIsInTheConsoleCodePage) {
  UINT codePage = GetConsoleOutputCP();
  if (codePage == 0) codePage = GetOEMCP();
  CPINFO info{};
  ASSERT_TRUE(GetCPInfo(codePage, &info));
  if (info.MaxCharSize != 1) GTEST_SKIP() << "code page " << codePage << " is not single-byte";

  EXPECT_EQ(port_.ShownName("C:\\My Maps\\a.map"), "C:\\My Maps\\a.map");
  // No single-byte code page has these: each shows as one '?', the pair of
  // surrogates too.
  EXPECT_EQ(port_.ShownName(Utf8Of(L"a\u4E16b\U0001F600c")), "a?b?c");
  // Nor is a look-alike put in for a letter the code page lacks.
  EXPECT_EQ(port_.ShownName(Utf8Of(L"\u0101")), "?");
  // Bytes that are no UTF-8 show as '?'.
  EXPECT_EQ(port_.ShownName("a\xFF"
                            "b"),
            "a?b");

  // A letter that the common code pages have, as its byte there.
  const std::string accented = port_.ShownName(Utf8Of(L"\u00E9t\u00E9"));
  switch (codePage) {
    case 437:
    case 850:
      EXPECT_EQ(accented, "\x82t\x82");
      break;
    case 1252:
    case 28591:
      EXPECT_EQ(accented, "\xE9t\xE9");
      break;
    default:
      EXPECT_EQ(accented.size(), 3u);
      break;
  }
}

TEST_F(Win32FilePortTest, CodesForCausesFoundAboveTheSeam) {
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNegativePosition), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNameTooLong), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(port_.CodeFor(frame::FileFault::kNoName), ERROR_PATH_NOT_FOUND);
}

}  // namespace
