// Cutting one command-line string into arguments, for platforms that hand
// a program its command line whole.
#ifndef CNC64_FRAME_COMMAND_LINE_H_
#define CNC64_FRAME_COMMAND_LINE_H_

#include <string>
#include <string_view>
#include <vector>

namespace frame {

/// The arguments of `commandLine`, argument 0 (the program) first: cut at
/// blanks and control characters, a stretch in double quotes belonging to
/// one argument, blanks included, without the quotes.
std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine);

}  // namespace frame

#endif  // CNC64_FRAME_COMMAND_LINE_H_
