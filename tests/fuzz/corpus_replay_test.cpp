// Replays every kept fuzz input (each one a file of its target's corpus
// folder, among them every input that ever broke an invariant) through the
// same checks the fuzz targets make.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frame/terminal_decoder.h"

#include "tests/fuzz/fuzz_checks.h"

namespace {

namespace fs = std::filesystem;

struct Target {
  const char* folder;
  std::string (*check)(std::span<const std::uint8_t>);
};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryKeptInputKeepsTheInvariants) {
  const fs::path folder = fs::path(CNC64_FUZZ_CORPUS_DIR) / GetParam().folder;
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  ASSERT_FALSE(inputs.empty()) << "no kept input in " << folder;
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(GetParam().check(bytes), "") << input.filename();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CorpusReplay,
    ::testing::Values(Target{"terminal_decoder", fuzz_checks::CheckTerminalDecoderInput},
                      Target{"command_line", fuzz_checks::CheckCommandLineInput},
                      Target{"key_rules", fuzz_checks::CheckKeyRulesInput}),
    [](const ::testing::TestParamInfo<Target>& target) {
      return std::string(target.param.folder);
    });

// The decoder check itself, against decoders that break one invariant each.
TEST(DecoderCheck, CatchesDecodersThatBreakAnInvariant) {
  using frame::DecodeResult;
  using frame::DecodeStatus;
  const auto real = [](std::span<const std::uint8_t> pending, bool moreMayFollow) {
    return frame::DecodeTerminalInput(pending, moreMayFollow, true);
  };
  struct Broken {
    const char* name;
    fuzz_checks::TerminalDecoder decode;
  };
  const std::vector<Broken> broken{
      {"consumes nothing",
       [](std::span<const std::uint8_t>, bool) {
         return DecodeResult{DecodeStatus::kDiscard, 0, {}};
       }},
      {"consumes more than given",
       [](std::span<const std::uint8_t> pending, bool) {
         return DecodeResult{DecodeStatus::kDiscard, pending.size() + 1, {}};
       }},
      {"waits when nothing more can follow",
       [](std::span<const std::uint8_t>, bool) { return DecodeResult{}; }},
      {"decides an Escape before the sequence is complete",
       [real](std::span<const std::uint8_t> pending, bool moreMayFollow) {
         return real(pending, moreMayFollow && pending.size() > 1);
       }},
      {"changes a printable character",
       [real](std::span<const std::uint8_t> pending, bool moreMayFollow) {
         DecodeResult result = real(pending, moreMayFollow);
         if (pending[0] == 'b') result.event.character = 'B';
         return result;
       }},
  };
  const std::vector<std::uint8_t> burst{'a', 'b', 0x1B, '[', 'A', 'c'};
  const std::vector<std::size_t> reads{3, 1};
  EXPECT_EQ(fuzz_checks::CheckDecoder(real, burst, reads), "");
  for (const Broken& decoder : broken) {
    EXPECT_NE(fuzz_checks::CheckDecoder(decoder.decode, burst, reads), "") << decoder.name;
  }
}

}  // namespace
