// The mission file reference patch.
//
// The name is typed in place: the cursor walks over the default name on the
// entry row, and each key's code is echoed as one character, so that the
// output rules decide what a control code or a special key's code shows.
// The confirmation line hands the name over the same way, one character at
// a time.
#include "missionref/patch_mission_reference.h"

#include <array>
#include <cstdint>
#include <optional>

#include "frame/tool_frame.h"

namespace missionref {
namespace {

constexpr std::string_view kDefaultName = "MISSION.ENG";
static_assert(kDefaultName.size() == static_cast<std::size_t>(kMissionNameLength));

using MissionName = std::array<std::uint8_t, kMissionNameLength>;

// The letters a to z are stored as A to Z; every other code as it came.
std::uint8_t StoredCode(std::uint8_t code) {
  return code >= 'a' && code <= 'z' ? static_cast<std::uint8_t>(code - 32) : code;
}

void WriteCode(std::uint8_t code) { frame::WriteText(static_cast<char>(code)); }

MissionName EnterName() {
  MissionName name{};
  for (int i = 1; i <= kMissionNameLength; ++i) {
    SetCursor(static_cast<std::uint8_t>(i), kNameEntryRow);
    const std::uint8_t code = StoredCode(frame::ReadKeyCode());
    name[static_cast<std::size_t>(i - 1)] = code;
    WriteCode(code);
  }
  return name;
}

// The 11 writes and their flush are never cut short by an interruption, so
// the field is never left half new.
void WriteName(frame::TargetFile& rom, const MissionName& name) {
  frame::UninterruptedSection uninterrupted;
  // The image may have been touched while the tool waited for the person.
  rom.BeginChange(kMissionNameOffset, kMissionNameLength);
  for (std::size_t i = 0; i < name.size(); ++i) {
    rom.SeekTo(kMissionNameOffset + static_cast<frame::FilePosition>(i));
    rom.WriteBytes(&name[i], 1);
  }
  rom.FlushToStorage();
  rom.EndChange();
}

}  // namespace

void SetCursor(std::uint8_t column, std::uint8_t row) {
  if (!frame::ConsoleIsScreen()) return;
  const frame::ScreenSize size = frame::ConsoleScreenSize();
  if (column < 1 || column > size.columns || row < 1 || row > size.rows) return;
  const int landing = row + frame::OutputRowOffset();
  if (landing < 1 || landing > size.rows) return;
  frame::MoveOutputPosition({column, landing});
}

void PatchMissionReference(std::string_view argument) {
  // Every path out of here releases the file: CloseTarget after the write,
  // the TargetFile itself on the others.
  std::optional<frame::TargetFile> rom = frame::OpenTargetOrReport(argument);
  if (!rom) return;

  if (rom->SizeInBytes() != kRequiredRomSize) {
    frame::WriteText("This is not a valid ROM. Filesize must be ");
    frame::WriteNumber(kRequiredRomSize);
    frame::WriteLine(" bytes.");
    frame::SetExitStatus(kWrongSizeStatus);
    return;
  }

  frame::WriteLine("Enter the filename of the file to extract:");
  frame::WriteLine();
  frame::WriteText(kDefaultName);
  const MissionName name = EnterName();
  frame::WriteLine();
  frame::WriteLine();

  frame::WriteText("Change \"MISSION.ENG\" location to \"");
  for (const std::uint8_t code : name) WriteCode(code);
  frame::WriteLine("\"? (Y/N)");

  // A special key as the last key of the name leaves its second code
  // waiting; it is no answer, since no key was pressed at the question.
  frame::DropPendingKeyCode();
  const std::uint8_t answer = frame::ReadKeyCode();
  if (answer != 'Y' && answer != 'y') {
    frame::WriteLine("Aborted.");
    return;
  }

  frame::WriteText("Writing changes...");
  WriteName(*rom, name);
  frame::WriteLine("Done.");
  rom->CloseTarget();
}

}  // namespace missionref
