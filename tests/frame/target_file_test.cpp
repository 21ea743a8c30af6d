// Target file access over the in-memory file system: the open and its
// report, the byte operations, and the failed state.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "frame/frame_state.h"
#include "frame/target_file.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

using frame::TargetFile;
using testing_support::FakeConsole;
using testing_support::FakeFiles;
using testing_support::FaultyFiles;
using testing_support::LoggedRequest;
using testing_support::Request;

class TargetFileTest : public ::testing::Test {
 protected:
  void Begin(frame::FilePort& port) { frame::detail::Begin(console_, port, {"tool"}); }
  void SetUp() override { Begin(files_); }

  FakeConsole console_{{80, 25}, {1, 4}};
  FakeFiles files_;
};

struct RefusedOpen {
  const char* name;
  std::string argument;
  void (*prepare)(FakeFiles&);
};

class RefusedOpenTest : public TargetFileTest, public ::testing::WithParamInterface<RefusedOpen> {};

TEST_P(RefusedOpenTest, ShowsTheReportAndLeavesNoFailurePending) {
  const RefusedOpen& c = GetParam();
  c.prepare(files_);
  const auto before = files_.Exists("map.bin") ? files_.Text("map.bin") : std::string();
  EXPECT_FALSE(frame::OpenTargetOrReport(c.argument).has_value());
  EXPECT_EQ(frame::PendingIoFailure(), 0);
  // An empty line, then the report with the whole argument.
  std::string shown;
  for (int row = 5; row <= 25; ++row) shown += console_.Row(row);
  EXPECT_EQ(console_.Row(4), "");
  EXPECT_EQ(shown, "Error opening \"" + c.argument + "\"");
  EXPECT_EQ(console_.Cursor().column, 1);
  EXPECT_EQ(files_.OpenCount(), 0);
  EXPECT_EQ(files_.Exists(c.argument), c.argument == "map.bin");
  if (files_.Exists("map.bin")) {
    EXPECT_EQ(files_.Text("map.bin"), before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, RefusedOpenTest,
    ::testing::Values(RefusedOpen{"missing", "missing.bin", [](FakeFiles&) {}},
                      RefusedOpen{"held_by_another_program", "map.bin",
                                  [](FakeFiles& f) {
                                    f.Create("map.bin", "abcd");
                                    f.HoldElsewhere("map.bin");
                                  }},
                      RefusedOpen{"read_only", "map.bin",
                                  [](FakeFiles& f) {
                                    f.Create("map.bin", "abcd");
                                    f.MakeReadOnly("map.bin");
                                  }},
                      RefusedOpen{"empty_argument", "", [](FakeFiles&) {}},
                      // The first 255 characters name a file, but the argument does not:
                      // it is refused rather than opening that other file.
                      RefusedOpen{"longer_than_255_characters",
                                  std::string(255, 'm') + std::string(45, 'x'),
                                  [](FakeFiles& f) { f.Create(std::string(255, 'm'), "keep"); }}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(TargetFileTest, ArgumentOf255CharactersOpens) {
  const std::string name(255, 'n');
  files_.Create(name, "ab");
  auto file = frame::OpenTargetOrReport(name);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->SizeInBytes(), 2);
}

TEST_F(TargetFileTest, EmptyFileIsAtEndAtOnce) {
  files_.Create("empty", "");
  auto file = frame::OpenTargetOrReport("empty");
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->AtEnd());
  EXPECT_EQ(file->SizeInBytes(), 0);
  EXPECT_EQ(console_.Screen(), "");
}

TEST_F(TargetFileTest, ShortReadAtTheEndKeepsTheRestOfTheBuffer) {
  files_.Create("f", "0123456789");
  auto file = frame::OpenTargetOrReport("f");
  ASSERT_TRUE(file.has_value());
  std::array<char, 4> buffer{'w', 'x', 'y', 'z'};
  file->SeekTo(8);
  EXPECT_FALSE(file->AtEnd());
  EXPECT_EQ(file->ReadBytes(buffer.data(), 4), 2);
  EXPECT_EQ(std::string(buffer.data(), 4), "89yz");
  EXPECT_EQ(file->Position(), 10);
  EXPECT_TRUE(file->AtEnd());
  EXPECT_EQ(file->ReadBytes(buffer.data(), 4), 0);
  EXPECT_EQ(std::string(buffer.data(), 4), "89yz");
  file->SeekTo(100);
  EXPECT_EQ(file->ReadBytes(buffer.data(), 4), 0);
  EXPECT_EQ(std::string(buffer.data(), 4), "89yz");
}

TEST_F(TargetFileTest, SeekPastTheEndDoesNotChangeTheFile) {
  files_.Create("f", "0123");
  auto file = frame::OpenTargetOrReport("f");
  ASSERT_TRUE(file.has_value());
  file->SeekTo(2147483647);
  EXPECT_TRUE(file->AtEnd());
  EXPECT_EQ(file->SizeInBytes(), 4);
  EXPECT_EQ(files_.Text("f"), "0123");
}

TEST_F(TargetFileTest, WriteAtTheEndLengthensAndSizeSeesIt) {
  files_.Create("f", "0123");
  auto file = frame::OpenTargetOrReport("f");
  ASSERT_TRUE(file.has_value());
  file->SeekTo(4);
  EXPECT_TRUE(file->AtEnd());
  EXPECT_EQ(file->WriteBytes("!", 1), 1);
  EXPECT_EQ(file->SizeInBytes(), 5);
  EXPECT_TRUE(file->AtEnd());
  file->SeekTo(1);
  EXPECT_EQ(file->WriteBytes("ab", 2), 2);
  EXPECT_EQ(file->Position(), 3);
  EXPECT_EQ(files_.Text("f"), "0ab3!");
}

TEST_F(TargetFileTest, EachReadAndWriteIsOneRequestAndSeekingIsNone) {
  files_.Create("f", "0123456789");
  auto file = frame::OpenTargetOrReport("f");
  ASSERT_TRUE(file.has_value());
  files_.ClearLog();
  std::array<char, 4> buffer{};
  file->SeekTo(6);
  file->ReadBytes(buffer.data(), 4);
  file->SeekTo(2);
  file->WriteBytes("xy", 2);
  EXPECT_EQ(files_.Log(),
            (std::vector<LoggedRequest>{{Request::kRead, 6, 4}, {Request::kWrite, 2, 2}}));
}

TEST_F(TargetFileTest, CloseReleasesTheFileAndSoDoesTheEndOfItsOwner) {
  files_.Create("f", "01");
  {
    auto file = frame::OpenTargetOrReport("f");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(files_.OpenCount(), 1);
    file->CloseTarget();
    EXPECT_EQ(files_.OpenCount(), 0);
  }
  {
    auto file = frame::OpenTargetOrReport("f");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(files_.OpenCount(), 1);
  }
  EXPECT_EQ(files_.OpenCount(), 0);
}

TEST_F(TargetFileTest, NegativePositionIsAFailureAndStartsTheFailedState) {
  files_.Create("f", "0123");
  auto file = frame::OpenTargetOrReport("f");
  ASSERT_TRUE(file.has_value());
  file->SeekTo(2);
  file->SeekTo(-1);
  EXPECT_EQ(frame::PendingIoFailure(), FakeFiles::kBadPosition);
  EXPECT_EQ(file->Position(), 2);
}

TEST_F(TargetFileTest, FailedStateDoesNothingAndEndsEveryPass) {
  files_.Create("f", "0123456789");
  FaultyFiles faulty(files_, 3, 28);  // open, read, then the write fails
  Begin(faulty);
  auto file = frame::OpenTargetOrReport("f");
  ASSERT_TRUE(file.has_value());
  std::array<char, 2> buffer{'?', '?'};
  EXPECT_EQ(file->ReadBytes(buffer.data(), 2), 2);
  EXPECT_EQ(file->WriteBytes("ab", 2), 0);
  EXPECT_EQ(frame::PendingIoFailure(), 28);
  const int requests = faulty.Requests();
  file->SeekTo(0);
  EXPECT_EQ(file->ReadBytes(buffer.data(), 2), 0);
  EXPECT_EQ(file->WriteBytes("zz", 2), 0);
  EXPECT_EQ(file->SizeInBytes(), 0);
  EXPECT_TRUE(file->AtEnd());
  file->FlushToStorage();
  file->CloseTarget();
  EXPECT_EQ(faulty.Requests(), requests);  // not one more request
  EXPECT_TRUE(file->IsOpen());
  EXPECT_EQ(file->Position(), 2);
  EXPECT_EQ(files_.Text("f"), "0123456789");
  frame::WriteText("silenced");
  EXPECT_EQ(console_.Screen(), "");
}

TEST_F(TargetFileTest, FailedOpenCodeIsClearedByTheOpen) {
  FaultyFiles faulty(files_, 1, 32);
  files_.Create("f", "01");
  Begin(faulty);
  EXPECT_FALSE(frame::OpenTargetOrReport("f").has_value());
  EXPECT_EQ(frame::PendingIoFailure(), 0);
  EXPECT_NE(console_.Screen().find("Error opening \"f\""), std::string::npos);
}

}  // namespace
