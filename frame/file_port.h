// The file seam: what the file system does for the target file.
//
// Each call is one request to the file system; the seam keeps no buffer.
// Results are failure codes: 0 for success, otherwise the platform's error
// number for the cause, never 0 and within 16 bits.
#ifndef CNC64_FRAME_FILE_PORT_H_
#define CNC64_FRAME_FILE_PORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace frame {

/// An open file of a `FilePort`; its meaning belongs to the port.
using FileHandle = std::intptr_t;

/// The failure code of a file that another program changed, replaced or
/// took while the tool held it open (so the hold could not be had again
/// before a change): nothing is written. The same on every platform.
inline constexpr std::uint16_t kFileChangedCode = 202;

/// A length that reaches to the end of the file.
inline constexpr std::int64_t kToTheEnd = -1;

/// Causes that the layer above the seam detects itself, for which the port
/// gives the platform's code.
enum class FileFault : std::uint8_t {
  kNegativePosition,  ///< a position before the start of the file
  kNameTooLong,       ///< a name longer than the layer accepts
  kNoName,            ///< an empty name
};

class FilePort {
 public:
  virtual ~FilePort() = default;

  /// Opens the existing regular file `name` for reading and writing, held
  /// exclusively against other programs. Refuses folders, missing files
  /// (never creating one), files without write permission and files of
  /// 2 GiB or more.
  virtual std::uint16_t Open(std::string_view name, FileHandle& handle) = 0;
  /// Reads up to `count` bytes at `offset`; `done` is the count read, 0 at
  /// or past the end.
  virtual std::uint16_t ReadAt(FileHandle handle, std::int64_t offset, std::uint8_t* buffer,
                               std::uint32_t count, std::uint32_t& done) = 0;
  /// Writes `count` bytes at `offset`, lengthening the file where they pass its end.
  virtual std::uint16_t WriteAt(FileHandle handle, std::int64_t offset, const std::uint8_t* buffer,
                                std::uint32_t count, std::uint32_t& done) = 0;
  /// The file's current size.
  virtual std::uint16_t Size(FileHandle handle, std::int64_t& size) = 0;
  /// Returns once every byte written is on the storage device.
  virtual std::uint16_t FlushToStorage(FileHandle handle) = 0;
  /// Makes the file ready for the run of writes that follows at once: it
  /// must be the file that was opened, unchanged since it was opened (or
  /// since the last run of writes ended), and held against other programs,
  /// taking the hold again where it was given back meanwhile; and the
  /// storage for the bytes from `offset` (`length` of them, or to the end)
  /// is reserved where the file has holes, so that a full disk refuses the
  /// change before any byte of it. 0, `kFileChangedCode`, or the cause.
  virtual std::uint16_t BeginChange(FileHandle handle, std::int64_t offset,
                                    std::int64_t length) = 0;
  /// The run of writes is over: what the file now is counts as unchanged,
  /// and a hold that another program asked for meanwhile is given back.
  virtual void EndChange(FileHandle handle) = 0;
  /// Releases the file.
  virtual std::uint16_t Close(FileHandle handle) = 0;

  /// The length of `name` in the platform's characters.
  virtual std::size_t NameLength(std::string_view name) const = 0;
  /// `name` as 8-bit text in the console's character set, to be shown.
  virtual std::string ShownName(std::string_view name) const = 0;
  /// The platform's code for a cause found above the seam.
  virtual std::uint16_t CodeFor(FileFault fault) const = 0;
};

}  // namespace frame

#endif  // CNC64_FRAME_FILE_PORT_H_
