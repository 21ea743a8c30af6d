// Makes the sample files: a 64 x 64 cell map of mixed cells, and a ROM
// image of 33554432 bytes of filler with "MISSION.ENG" at offset 2152924.
// The image is stored word-swapped (every four-byte word reversed, as a
// .n64 file is): it starts 40 12 37 80, and one run of oskebar turns it into
// the big-endian order 80 37 12 40 that halvard reads.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <utility>
#include <vector>

namespace {

bool WriteFile(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// A small deterministic generator, so every build makes the same files.
struct Filler {
  std::uint32_t state = 0x2152924u;
  std::uint8_t Next() {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state >> 24);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_samples MAP ROM\n");
    return 2;
  }
  Filler filler;
  // Cells of every kind the cleaners meet: 0xFF walls, 0x00 gaps, others.
  std::vector<std::uint8_t> map;
  for (int cell = 0; cell < 64 * 64; ++cell) {
    const std::uint8_t kind = filler.Next() % 4;
    map.push_back(kind == 0 ? 0xFF : kind == 1 ? 0x00 : filler.Next());
    map.push_back(kind == 2 ? 0xFF : filler.Next() % 3 == 0 ? 0x00 : filler.Next());
  }
  std::vector<std::uint8_t> rom(33554432);
  for (auto& byte : rom) byte = filler.Next();
  constexpr std::string_view kName = "MISSION.ENG";
  for (std::size_t i = 0; i < kName.size(); ++i)
    rom[2152924 + i] = static_cast<std::uint8_t>(kName[i]);
  constexpr std::uint8_t kBigEndianHeader[] = {0x80, 0x37, 0x12, 0x40};
  for (std::size_t i = 0; i < 4; ++i) rom[i] = kBigEndianHeader[i];
  for (std::size_t word = 0; word < rom.size(); word += 4) {
    std::swap(rom[word], rom[word + 3]);
    std::swap(rom[word + 1], rom[word + 2]);
  }
  if (!WriteFile(argv[1], map) || !WriteFile(argv[2], rom)) {
    std::fprintf(stderr, "make_samples: cannot write the sample files\n");
    return 1;
  }
  return 0;
}
