// Target file access: the one way in which an action reaches its file.
#ifndef CNC64_FRAME_TARGET_FILE_H_
#define CNC64_FRAME_TARGET_FILE_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "frame/file_port.h"

namespace frame {

/// A byte offset into the target file; sizes use it too.
using FilePosition = std::int32_t;

/// The longest target name that is opened.
inline constexpr std::size_t kMaxTargetNameLength = 255;

/// The open target file. Every operation does nothing while a failure is
/// pending. The file is released by `CloseTarget` or when the object goes.
class TargetFile {
 public:
  TargetFile(FilePort& port, FileHandle handle);
  TargetFile(TargetFile&& other) noexcept;
  TargetFile& operator=(TargetFile&&) = delete;
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;
  ~TargetFile();

  /// Sets the current position; a negative one is a failure.
  void SeekTo(FilePosition position);
  /// Reads up to `count` bytes into `buffer`; returns the count read.
  std::uint16_t ReadBytes(void* buffer, std::uint16_t count);
  /// Writes `count` bytes of `buffer`; returns the count written.
  std::uint16_t WriteBytes(const void* buffer, std::uint16_t count);
  /// True when the current position is at or past the file's size. Also
  /// true while a failure is pending, so that every pass ends.
  bool AtEnd();
  /// The file's current size; 0 while a failure is pending.
  FilePosition SizeInBytes();
  /// Returns once every byte written is on the storage device.
  void FlushToStorage();
  /// Before a run of writes: the file must still be the one opened,
  /// unchanged and held; the storage for `length` bytes from `offset` (by
  /// default the whole file) is reserved. A refusal is a failure.
  void BeginChange(FilePosition offset = 0, std::int64_t length = kToTheEnd);
  /// After the run of writes (also after a failure).
  void EndChange();
  /// Releases the file (not while a failure is pending).
  void CloseTarget();

  FilePosition Position() const { return position_; }
  bool IsOpen() const { return open_; }

 private:
  FilePort* port_;
  FileHandle handle_;
  FilePosition position_ = 0;
  bool open_ = true;
};

/// Opens the file named by the first argument, or shows the open-failure
/// report, sets the open's failure code as the exit status, and gives
/// nothing.
std::optional<TargetFile> OpenTargetOrReport(std::string_view argument);

}  // namespace frame

#endif  // CNC64_FRAME_TARGET_FILE_H_
