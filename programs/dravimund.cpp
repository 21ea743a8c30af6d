// dravimund: the second map cleaner.
#include <string_view>

#include "frame/tool_frame.h"
#include "mapcells/clean_map.h"

namespace {

void CleanWithDravimundRule(std::string_view argument) {
  mapcells::CleanMap(mapcells::kDravimundRule, argument);
}

}  // namespace

int main(int argc, char** argv) {
  const frame::ToolDefinition tool{
      "Dravimund",
      {"Drop the map you wish to clean onto the icon of this program to fix it."},
      CleanWithDravimundRule,
  };
  frame::RunTool(tool, argc, argv);
}
