// oskebar: the ROM byte-order converter.
#include "byteorder/reverse_word_bytes.h"
#include "frame/tool_frame.h"

int main(int argc, char** argv) {
  const frame::ToolDefinition tool{
      "Oskebar",
      {"Drop the C&C N64 ROM onto the icon of this program to fix it."},
      byteorder::ReverseWordBytes,
  };
  frame::RunTool(tool, argc, argv);
}
