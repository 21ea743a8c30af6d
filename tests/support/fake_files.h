// File ports for tests: an in-memory file system that logs every request,
// and a wrapper that makes the n-th request of any port fail.
#ifndef CNC64_TESTS_SUPPORT_FAKE_FILES_H_
#define CNC64_TESTS_SUPPORT_FAKE_FILES_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "frame/file_port.h"

namespace testing_support {

enum class Request : std::uint8_t {
  kOpen,
  kRead,
  kWrite,
  kSize,
  kFlush,
  kClose,
  kBeginChange,
  kEndChange
};

struct LoggedRequest {
  Request request;
  std::int64_t offset = 0;
  std::uint32_t count = 0;
  friend bool operator==(const LoggedRequest&, const LoggedRequest&) = default;
};

class FakeFiles : public frame::FilePort {
 public:
  /// Codes this fake gives for the causes it refuses.
  static constexpr std::uint16_t kMissing = 2;
  static constexpr std::uint16_t kDenied = 5;
  static constexpr std::uint16_t kBadPosition = 131;
  static constexpr std::uint16_t kTooLong = 206;

  void Create(const std::string& name, std::vector<std::uint8_t> bytes);
  void Create(const std::string& name, const std::string& bytes);
  /// Another program holds `name` open: opening it is refused.
  void HoldElsewhere(const std::string& name) { held_[name] = true; }
  void MakeReadOnly(const std::string& name) { readOnly_[name] = true; }
  /// Another program changes `name` after it was opened: a change is refused.
  void ChangeElsewhere(const std::string& name) { changed_[name] = true; }

  bool Exists(const std::string& name) const { return files_.count(name) != 0; }
  const std::vector<std::uint8_t>& Bytes(const std::string& name) const { return files_.at(name); }
  std::string Text(const std::string& name) const;
  const std::vector<LoggedRequest>& Log() const { return log_; }
  void ClearLog() { log_.clear(); }
  /// Files opened and not closed.
  int OpenCount() const { return static_cast<int>(openNames_.size()); }
  /// The largest count asked of one read or write.
  std::uint32_t LargestTransfer() const { return largest_; }

  std::uint16_t Open(std::string_view name, frame::FileHandle& handle) override;
  std::uint16_t ReadAt(frame::FileHandle handle, std::int64_t offset, std::uint8_t* buffer,
                       std::uint32_t count, std::uint32_t& done) override;
  std::uint16_t WriteAt(frame::FileHandle handle, std::int64_t offset, const std::uint8_t* buffer,
                        std::uint32_t count, std::uint32_t& done) override;
  std::uint16_t Size(frame::FileHandle handle, std::int64_t& size) override;
  std::uint16_t FlushToStorage(frame::FileHandle handle) override;
  std::uint16_t BeginChange(frame::FileHandle handle, std::int64_t offset,
                            std::int64_t length) override;
  void EndChange(frame::FileHandle handle) override;
  std::uint16_t Close(frame::FileHandle handle) override;
  std::size_t NameLength(std::string_view name) const override { return name.size(); }
  std::string ShownName(std::string_view name) const override { return std::string(name); }
  std::uint16_t CodeFor(frame::FileFault fault) const override;

 private:
  std::vector<std::uint8_t>& FileOf(frame::FileHandle handle);

  std::map<std::string, std::vector<std::uint8_t>> files_;
  std::map<std::string, bool> held_;
  std::map<std::string, bool> readOnly_;
  std::map<std::string, bool> changed_;
  std::map<frame::FileHandle, std::string> openNames_;
  frame::FileHandle nextHandle_ = 1;
  std::vector<LoggedRequest> log_;
  std::uint32_t largest_ = 0;
};

/// Passes every request on to `inner`, except that request number
/// `failAt` (1 for the first, the open included) and every later one fail
/// with `code`, doing nothing.
class FaultyFiles : public frame::FilePort {
 public:
  FaultyFiles(frame::FilePort& inner, int failAt, std::uint16_t code)
      : inner_(inner), failAt_(failAt), code_(code) {}

  int Requests() const { return requests_; }

  std::uint16_t Open(std::string_view name, frame::FileHandle& handle) override;
  std::uint16_t ReadAt(frame::FileHandle handle, std::int64_t offset, std::uint8_t* buffer,
                       std::uint32_t count, std::uint32_t& done) override;
  std::uint16_t WriteAt(frame::FileHandle handle, std::int64_t offset, const std::uint8_t* buffer,
                        std::uint32_t count, std::uint32_t& done) override;
  std::uint16_t Size(frame::FileHandle handle, std::int64_t& size) override;
  std::uint16_t FlushToStorage(frame::FileHandle handle) override;
  std::uint16_t BeginChange(frame::FileHandle handle, std::int64_t offset,
                            std::int64_t length) override;
  /// Not a request that can fail: it is always passed on.
  void EndChange(frame::FileHandle handle) override { inner_.EndChange(handle); }
  std::uint16_t Close(frame::FileHandle handle) override;
  std::size_t NameLength(std::string_view name) const override { return inner_.NameLength(name); }
  std::string ShownName(std::string_view name) const override { return inner_.ShownName(name); }
  std::uint16_t CodeFor(frame::FileFault fault) const override { return inner_.CodeFor(fault); }

 private:
  bool Fails() { return ++requests_ >= failAt_; }

  frame::FilePort& inner_;
  int failAt_;
  std::uint16_t code_;
  int requests_ = 0;
};

}  // namespace testing_support

#endif  // CNC64_TESTS_SUPPORT_FAKE_FILES_H_
