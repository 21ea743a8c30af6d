// The file seam on Windows. This file holds Win32 code only.
//
// The target is opened with one CreateFileW, for reading and writing with
// share mode 0, so no other program can open it while it is held, and the
// open fails with a sharing violation while another program has it open.
// A sharing violation is tried again for about 2 s, since programs that
// hold a file for a moment (an upload of a file just saved, a virus scan)
// let go soon. The handle is synchronous; each read and each write is one ReadFile or
// WriteFile at the offset given in an OVERLAPPED record. Names arrive as
// UTF-8 and are converted to UTF-16 for the system.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "frame/file_port.h"
#include "frame/system_ports.h"
#include "frame/windows_rules.h"

namespace frame {
namespace {

constexpr std::int64_t kLargestSize = 0x7FFFFFFF;
constexpr UINT kGb18030 = 54936;

std::uint16_t CodeOf(DWORD error) {
  // A file that another program holds, or a part of it that is locked,
  // counts as access denied.
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return ERROR_ACCESS_DENIED;
  if (error == 0 || error > 0xFFFF) return ERROR_GEN_FAILURE;
  return static_cast<std::uint16_t>(error);
}

std::uint16_t LastCode() { return CodeOf(GetLastError()); }

HANDLE HandleOf(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// `text` (UTF-8) as UTF-16; false for bytes that are not UTF-8, unless
// `replaceInvalid`, which turns them into U+FFFD.
bool Widened(std::string_view text, bool replaceInvalid, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  if (text.size() > 0x7FFFFFFF) return false;
  const DWORD flags = replaceInvalid ? 0 : MB_ERR_INVALID_CHARS;
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, flags, text.data(), size, nullptr, 0);
  if (units <= 0) return false;
  wide.resize(static_cast<std::size_t>(units));
  return MultiByteToWideChar(CP_UTF8, flags, text.data(), size, wide.data(), units) == units;
}

bool IsSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// `wide` in code page `codePage`; characters it lacks become '?'.
bool Narrowed(std::wstring wide, UINT codePage, std::string& text) {
  text.clear();
  if (wide.empty()) return true;
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  if (!utf && codePage != kGb18030) {
    // No other code page has the characters beyond the basic plane: each,
    // a surrogate pair or a lone surrogate, is one '?'.
    std::wstring basic;
    for (std::size_t i = 0; i < wide.size(); ++i) {
      if (!IsSurrogate(wide[i])) {
        basic.push_back(wide[i]);
        continue;
      }
      basic.push_back(L'?');
      const bool pair = IsHighSurrogate(wide[i]) && i + 1 < wide.size() &&
                        IsSurrogate(wide[i + 1]) && !IsHighSurrogate(wide[i + 1]);
      if (pair) ++i;
    }
    wide = std::move(basic);
  }
  const int size = static_cast<int>(wide.size());
  // UTF-8 and a few other code pages take neither flags nor a default
  // character; for the rest, no look-alike stands in for a missing one.
  DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf ? nullptr : "?";
  int bytes =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, fallback, nullptr);
  if (bytes <= 0 && !utf) {
    flags = 0;
    fallback = nullptr;
    bytes = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, nullptr);
  }
  if (bytes <= 0) return false;
  text.resize(static_cast<std::size_t>(bytes));
  return WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), bytes, fallback,
                             nullptr) == bytes;
}

OVERLAPPED At(std::int64_t offset) {
  OVERLAPPED at{};
  const auto position = static_cast<std::uint64_t>(offset);
  at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  return at;
}

// The reasons a file that CreateFileW opened is still refused; 0 if none.
DWORD RefusalOf(HANDLE file) {
  // Devices (NUL, CON, COM1), pipes and the like are no files to rewrite.
  if (GetFileType(file) != FILE_TYPE_DISK) return ERROR_INVALID_FUNCTION;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file, &information)) return GetLastError();
  // A folder cannot be opened this way; should one be, it is refused all
  // the same.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_ACCESS_DENIED;
  // A file marked read-only stays read-only for every user, also for an
  // administrator whose backup rights would let the open through.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return GetLastError();
  if (size.QuadPart > kLargestSize) return ERROR_FILE_TOO_LARGE;
  return 0;
}

class Win32Files final : public FilePort {
 public:
  std::uint16_t Open(std::string_view name, FileHandle& handle) override {
    // The system would stop at a NUL and open some other file.
    if (name.find('\0') != std::string_view::npos) return ERROR_INVALID_NAME;
    std::wstring wide;
    if (!Widened(name, false, wide)) return LastCode();
    const ULONGLONG firstTry = GetTickCount64();
    HANDLE file = INVALID_HANDLE_VALUE;
    for (;;) {
      file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) break;
      const DWORD error = GetLastError();
      const ULONGLONG elapsed = GetTickCount64() - firstTry;
      if (!windows::RetryOpen(error, static_cast<std::uint32_t>(elapsed))) return CodeOf(error);
      Sleep(windows::kSharingRetryStepMs);
    }
    const DWORD refusal = RefusalOf(file);
    if (refusal != 0) {
      CloseHandle(file);
      return CodeOf(refusal);
    }
    handle = reinterpret_cast<FileHandle>(file);
    return 0;
  }

  std::uint16_t ReadAt(FileHandle handle, std::int64_t offset, std::uint8_t* buffer,
                       std::uint32_t count, std::uint32_t& done) override {
    done = 0;
    if (offset < 0) return ERROR_NEGATIVE_SEEK;
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (!ReadFile(HandleOf(handle), buffer, count, &got, &at)) {
      // At or past the end a positioned read reports the end of the file.
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) return 0;
      return CodeOf(error);
    }
    done = got;
    return 0;
  }

  std::uint16_t WriteAt(FileHandle handle, std::int64_t offset, const std::uint8_t* buffer,
                        std::uint32_t count, std::uint32_t& done) override {
    done = 0;
    if (offset < 0) return ERROR_NEGATIVE_SEEK;
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (!WriteFile(HandleOf(handle), buffer, count, &put, &at)) return LastCode();
    done = put;
    // A synchronous write to a disk file stops short only on a full volume.
    if (put < count) return ERROR_DISK_FULL;
    return 0;
  }

  std::uint16_t Size(FileHandle handle, std::int64_t& size) override {
    LARGE_INTEGER got{};
    if (!GetFileSizeEx(HandleOf(handle), &got)) return LastCode();
    size = got.QuadPart;
    return 0;
  }

  std::uint16_t FlushToStorage(FileHandle handle) override {
    return FlushFileBuffers(HandleOf(handle)) ? 0 : LastCode();
  }

  // The file is opened with no sharing: no other program can open it, let
  // alone change it, while it is held, so there is nothing to check again.
  std::uint16_t BeginChange(FileHandle, std::int64_t, std::int64_t) override { return 0; }
  void EndChange(FileHandle) override {}

  std::uint16_t Close(FileHandle handle) override {
    return CloseHandle(HandleOf(handle)) ? 0 : LastCode();
  }

  // The system counts a name in UTF-16 code units.
  std::size_t NameLength(std::string_view name) const override {
    std::wstring wide;
    return Widened(name, true, wide) ? wide.size() : name.size();
  }

  // Shown in the console's output code page (the OEM code page without a
  // console); characters it lacks show as '?'.
  std::string ShownName(std::string_view name) const override {
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_OEMCP;
    std::wstring wide;
    std::string shown;
    if (Widened(name, true, wide) && Narrowed(wide, codePage, shown)) return shown;
    // Nothing to convert with: ASCII stays, every other byte shows as '?'.
    shown.assign(name);
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
    return shown;
  }

  std::uint16_t CodeFor(FileFault fault) const override {
    switch (fault) {
      case FileFault::kNegativePosition:
        return ERROR_NEGATIVE_SEEK;
      case FileFault::kNameTooLong:
        return ERROR_FILENAME_EXCED_RANGE;
      case FileFault::kNoName:
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_INVALID_PARAMETER;
  }
};

}  // namespace

FilePort& system::Files() {
  static Win32Files files;
  return files;
}

}  // namespace frame
