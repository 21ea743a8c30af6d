// Target file access over the file seam. Every operation is at most one
// request to the file system; a refused request records the failure code
// and from then on every operation does nothing.
#include "frame/target_file.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "frame/tool_frame.h"

namespace frame {
namespace {

// The address in the caller that made a request, for the failure report.
#define CNC64_CALLER_ADDRESS() __builtin_extract_return_addr(__builtin_return_address(0))

constexpr std::int64_t kLargestPosition = std::numeric_limits<FilePosition>::max();

}  // namespace

TargetFile::TargetFile(FilePort& port, FileHandle handle) : port_(&port), handle_(handle) {}

TargetFile::TargetFile(TargetFile&& other) noexcept
    : port_(other.port_), handle_(other.handle_), position_(other.position_), open_(other.open_) {
  other.open_ = false;
}

TargetFile::~TargetFile() {
  if (open_) port_->Close(handle_);
}

void TargetFile::SeekTo(FilePosition position) {
  if (PendingIoFailure() != 0) return;
  if (position < 0) {
    RaiseIoFailure(port_->CodeFor(FileFault::kNegativePosition), CNC64_CALLER_ADDRESS());
    return;
  }
  position_ = position;
}

std::uint16_t TargetFile::ReadBytes(void* buffer, std::uint16_t count) {
  if (PendingIoFailure() != 0) return 0;
  std::uint32_t done = 0;
  const std::uint16_t code =
      port_->ReadAt(handle_, position_, static_cast<std::uint8_t*>(buffer), count, done);
  if (code != 0) {
    RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
    return 0;
  }
  position_ = static_cast<FilePosition>(
      std::min<std::int64_t>(std::int64_t{position_} + done, kLargestPosition));
  return static_cast<std::uint16_t>(done);
}

std::uint16_t TargetFile::WriteBytes(const void* buffer, std::uint16_t count) {
  if (PendingIoFailure() != 0) return 0;
  std::uint32_t done = 0;
  const std::uint16_t code =
      port_->WriteAt(handle_, position_, static_cast<const std::uint8_t*>(buffer), count, done);
  if (code != 0) {
    RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
    return 0;
  }
  position_ = static_cast<FilePosition>(
      std::min<std::int64_t>(std::int64_t{position_} + count, kLargestPosition));
  return static_cast<std::uint16_t>(done);
}

bool TargetFile::AtEnd() {
  if (PendingIoFailure() != 0) return true;
  std::int64_t size = 0;
  const std::uint16_t code = port_->Size(handle_, size);
  if (code != 0) {
    RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
    return true;
  }
  return position_ >= size;
}

FilePosition TargetFile::SizeInBytes() {
  if (PendingIoFailure() != 0) return 0;
  std::int64_t size = 0;
  const std::uint16_t code = port_->Size(handle_, size);
  if (code != 0) {
    RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
    return 0;
  }
  return static_cast<FilePosition>(std::min(size, kLargestPosition));
}

void TargetFile::FlushToStorage() {
  if (PendingIoFailure() != 0) return;
  const std::uint16_t code = port_->FlushToStorage(handle_);
  if (code != 0) RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
}

void TargetFile::BeginChange(FilePosition offset, std::int64_t length) {
  if (PendingIoFailure() != 0) return;
  const std::uint16_t code = port_->BeginChange(handle_, offset, length);
  if (code != 0) RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
}

void TargetFile::EndChange() {
  if (open_) port_->EndChange(handle_);
}

void TargetFile::CloseTarget() {
  if (PendingIoFailure() != 0 || !open_) return;
  open_ = false;
  const std::uint16_t code = port_->Close(handle_);
  if (code != 0) RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
}

std::optional<TargetFile> OpenTargetOrReport(std::string_view argument) {
  FilePort& port = TargetFiles();
  FileHandle handle = 0;
  // A name that would open some other file than the one the argument names
  // is refused rather than cut short.
  if (argument.empty()) {
    RaiseIoFailure(port.CodeFor(FileFault::kNoName), CNC64_CALLER_ADDRESS());
  } else if (port.NameLength(argument) > kMaxTargetNameLength) {
    RaiseIoFailure(port.CodeFor(FileFault::kNameTooLong), CNC64_CALLER_ADDRESS());
  } else if (const std::uint16_t code = port.Open(argument, handle); code != 0) {
    RaiseIoFailure(code, CNC64_CALLER_ADDRESS());
  }
  const std::uint16_t code = TakePendingIoFailure();
  if (code == 0) return std::optional<TargetFile>(std::in_place, port, handle);
  // The run ends with the refusal's code, so that a script sees the failure.
  SetExitStatus(code);

  WriteLine();
  WriteText("Error opening \"");
  WriteText(port.ShownName(argument));
  WriteText("\"");
  WriteLine();
  return std::nullopt;
}

}  // namespace frame
