// The mission file reference patch of the ROM reference patcher.
#ifndef CNC64_MISSIONREF_PATCH_MISSION_REFERENCE_H_
#define CNC64_MISSIONREF_PATCH_MISSION_REFERENCE_H_

#include <cstdint>
#include <string_view>

#include "frame/target_file.h"

namespace missionref {

/// The only ROM image size that is accepted.
inline constexpr frame::FilePosition kRequiredRomSize = 33554432;
/// Where the mission file name stands in the image.
inline constexpr frame::FilePosition kMissionNameOffset = 2152924;
/// The number of characters of the name, and of keys the entry takes.
inline constexpr int kMissionNameLength = 11;
/// The exit status after the message about a file of the wrong size.
inline constexpr int kWrongSizeStatus = 201;
/// The screen row on which the name is entered.
inline constexpr std::uint8_t kNameEntryRow = 6;

/// halvard: checks the size of the ROM image named by `argument`, takes a
/// new 11-character mission file name from the keyboard over the default
/// name, and after a Y/N confirmation writes it into the image.
void PatchMissionReference(std::string_view argument);

/// Places the output position and the visible cursor at `column`, `row`
/// (both from 1). On a terminal, rows count from the row where the tool's
/// output began. A cell off the screen makes the call do nothing; on a
/// byte stream it does nothing either.
void SetCursor(std::uint8_t column, std::uint8_t row);

}  // namespace missionref

#endif  // CNC64_MISSIONREF_PATCH_MISSION_REFERENCE_H_
