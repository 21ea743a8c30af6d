// The map cell pass of the two map cleaners.
#ifndef CNC64_MAPCELLS_CLEAN_MAP_H_
#define CNC64_MAPCELLS_CLEAN_MAP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "frame/target_file.h"

namespace mapcells {

/// The cells of a block from the first to the last one a rule selects;
/// empty (first == end) when it selects none.
struct SelectedCells {
  std::size_t first;
  std::size_t last;
};

/// Which cells a map cleaner rewrites, and with what.
struct CellRule {
  bool (*selects)(std::uint8_t first, std::uint8_t second);
  std::uint8_t firstReplacement;
  std::uint8_t secondReplacement;
  /// Rewrites the selected cells among `count` cells in place and tells
  /// where they lie: `selects` applied to a whole block at once. Each cell
  /// is a 16-bit value holding its two bytes in memory order.
  std::optional<SelectedCells> (*rewriteBlock)(std::uint16_t* cells, std::size_t count);
};

/// pelloran: cells whose bytes both differ from 0xFF become 0x01 0x00.
extern const CellRule kPelloranRule;
/// dravimund: cells whose first byte is 0x00 become 0xFF 0x00.
extern const CellRule kDravimundRule;

/// The progress character for a cell counter value: '*' at every 10 MiB,
/// '-' at every other 5 MiB, '.' at every other MiB, none elsewhere.
std::optional<char> ProgressMark(frame::FilePosition counter);

/// Opens the map named by `argument` and rewrites every cell that `rule`
/// selects, with the progress line and closing lines.
void CleanMap(const CellRule& rule, std::string_view argument);

/// The pass over an open map, for callers that hold the file themselves.
void CleanOpenMap(const CellRule& rule, frame::TargetFile& map);

}  // namespace mapcells

#endif  // CNC64_MAPCELLS_CLEAN_MAP_H_
