// halvard: the ROM reference patcher. It shows the same banner title as the
// first map cleaner.
#include "frame/tool_frame.h"
#include "missionref/patch_mission_reference.h"

int main(int argc, char** argv) {
  const frame::ToolDefinition tool{
      "Pelloran",
      {"Drop a (fixed) N64 C&C ROM on the icon of this program to replace the",
       "\"MISSION.ENG\" reference by a different file for extraction."},
      missionref::PatchMissionReference,
  };
  frame::RunTool(tool, argc, argv);
}
