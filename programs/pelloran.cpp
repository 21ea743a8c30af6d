// pelloran: the first map cleaner.
#include <string_view>

#include "frame/tool_frame.h"
#include "mapcells/clean_map.h"

namespace {

void CleanWithPelloranRule(std::string_view argument) {
  mapcells::CleanMap(mapcells::kPelloranRule, argument);
}

}  // namespace

int main(int argc, char** argv) {
  const frame::ToolDefinition tool{
      "Pelloran",
      {"Drop the map you wish to clean onto the icon of this program to fix it."},
      CleanWithPelloranRule,
  };
  frame::RunTool(tool, argc, argv);
}
