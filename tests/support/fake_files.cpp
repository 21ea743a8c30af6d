#include "tests/support/fake_files.h"

#include <algorithm>
#include <stdexcept>

namespace testing_support {

void FakeFiles::Create(const std::string& name, std::vector<std::uint8_t> bytes) {
  files_[name] = std::move(bytes);
}

void FakeFiles::Create(const std::string& name, const std::string& bytes) {
  files_[name] = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::string FakeFiles::Text(const std::string& name) const {
  const auto& bytes = files_.at(name);
  return std::string(bytes.begin(), bytes.end());
}

std::uint16_t FakeFiles::Open(std::string_view name, frame::FileHandle& handle) {
  log_.push_back({Request::kOpen});
  const std::string key(name);
  if (!files_.count(key)) return kMissing;
  if (held_[key] || readOnly_[key]) return kDenied;
  for (const auto& [open, openName] : openNames_) {
    if (openName == key) return kDenied;
  }
  handle = nextHandle_++;
  openNames_[handle] = key;
  return 0;
}

std::vector<std::uint8_t>& FakeFiles::FileOf(frame::FileHandle handle) {
  const auto it = openNames_.find(handle);
  if (it == openNames_.end()) throw std::logic_error("request on a file that is not open");
  return files_.at(it->second);
}

std::uint16_t FakeFiles::ReadAt(frame::FileHandle handle, std::int64_t offset, std::uint8_t* buffer,
                                std::uint32_t count, std::uint32_t& done) {
  log_.push_back({Request::kRead, offset, count});
  largest_ = std::max(largest_, count);
  const auto& bytes = FileOf(handle);
  const auto size = static_cast<std::int64_t>(bytes.size());
  done =
      offset >= size ? 0 : static_cast<std::uint32_t>(std::min<std::int64_t>(count, size - offset));
  std::copy_n(bytes.begin() + offset, done, buffer);
  return 0;
}

std::uint16_t FakeFiles::WriteAt(frame::FileHandle handle, std::int64_t offset,
                                 const std::uint8_t* buffer, std::uint32_t count,
                                 std::uint32_t& done) {
  log_.push_back({Request::kWrite, offset, count});
  largest_ = std::max(largest_, count);
  auto& bytes = FileOf(handle);
  const auto end = static_cast<std::size_t>(offset) + count;
  if (bytes.size() < end) bytes.resize(end, 0);
  std::copy_n(buffer, count, bytes.begin() + offset);
  done = count;
  return 0;
}

std::uint16_t FakeFiles::Size(frame::FileHandle handle, std::int64_t& size) {
  log_.push_back({Request::kSize});
  size = static_cast<std::int64_t>(FileOf(handle).size());
  return 0;
}

std::uint16_t FakeFiles::FlushToStorage(frame::FileHandle handle) {
  log_.push_back({Request::kFlush});
  FileOf(handle);
  return 0;
}

std::uint16_t FakeFiles::BeginChange(frame::FileHandle handle, std::int64_t offset,
                                     std::int64_t length) {
  log_.push_back({Request::kBeginChange, offset, static_cast<std::uint32_t>(length)});
  FileOf(handle);
  return changed_[openNames_.at(handle)] ? frame::kFileChangedCode : 0;
}

void FakeFiles::EndChange(frame::FileHandle handle) {
  log_.push_back({Request::kEndChange});
  FileOf(handle);
}

std::uint16_t FakeFiles::Close(frame::FileHandle handle) {
  log_.push_back({Request::kClose});
  FileOf(handle);
  openNames_.erase(handle);
  return 0;
}

std::uint16_t FakeFiles::CodeFor(frame::FileFault fault) const {
  switch (fault) {
    case frame::FileFault::kNegativePosition:
      return kBadPosition;
    case frame::FileFault::kNameTooLong:
      return kTooLong;
    case frame::FileFault::kNoName:
      return kMissing;
  }
  return kDenied;
}

std::uint16_t FaultyFiles::BeginChange(frame::FileHandle handle, std::int64_t offset,
                                       std::int64_t length) {
  return Fails() ? code_ : inner_.BeginChange(handle, offset, length);
}

std::uint16_t FaultyFiles::Open(std::string_view name, frame::FileHandle& handle) {
  return Fails() ? code_ : inner_.Open(name, handle);
}

std::uint16_t FaultyFiles::ReadAt(frame::FileHandle handle, std::int64_t offset,
                                  std::uint8_t* buffer, std::uint32_t count, std::uint32_t& done) {
  if (Fails()) return code_;
  return inner_.ReadAt(handle, offset, buffer, count, done);
}

std::uint16_t FaultyFiles::WriteAt(frame::FileHandle handle, std::int64_t offset,
                                   const std::uint8_t* buffer, std::uint32_t count,
                                   std::uint32_t& done) {
  if (Fails()) return code_;
  return inner_.WriteAt(handle, offset, buffer, count, done);
}

std::uint16_t FaultyFiles::Size(frame::FileHandle handle, std::int64_t& size) {
  if (Fails()) return code_;
  return inner_.Size(handle, size);
}

std::uint16_t FaultyFiles::FlushToStorage(frame::FileHandle handle) {
  if (Fails()) return code_;
  return inner_.FlushToStorage(handle);
}

std::uint16_t FaultyFiles::Close(frame::FileHandle handle) {
  // The release itself always goes through, so no file stays held.
  const bool failed = Fails();
  const std::uint16_t code = inner_.Close(handle);
  return failed ? code_ : code;
}

}  // namespace testing_support
