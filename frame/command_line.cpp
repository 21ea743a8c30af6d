// Cutting one command-line string into arguments. Portable code: it builds
// and is tested on every platform, and the Windows process back end uses it.
//
// The rules, for every argument alike (argument 0 included):
// - Arguments are separated by runs of blanks and control characters (the
//   code units 1 to 32); separators at the start and the end are dropped.
// - Every double quote switches between outside and inside a quoted
//   stretch and is never part of an argument. Inside a quoted stretch
//   separators belong to the argument. A quote in the middle of a word
//   starts a stretch within the same argument (a"b c"d gives "ab cd"), and
//   two quotes in a row inside a stretch end it and start another, so they
//   give nothing ("a""b" gives "ab"). An unclosed stretch runs to the end.
// - A quote opens an argument, so "" on its own is an empty argument.
// - The backslash is an ordinary character: "C:\My Maps\" ends with a
//   backslash, and the quote after it still closes the stretch. No other
//   quote character (single or typographic quotes) is special.
// - A line without any argument gives one empty argument 0.
#include "frame/command_line.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace frame {
namespace {

constexpr char16_t kQuote = u'"';

bool IsSeparator(char16_t unit) { return unit >= 1 && unit <= 32; }

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine) {
  std::vector<std::u16string> arguments;
  std::u16string current;
  bool inArgument = false;
  bool quoted = false;
  for (const char16_t unit : commandLine) {
    if (unit == kQuote) {
      quoted = !quoted;
      inArgument = true;
    } else if (IsSeparator(unit) && !quoted) {
      if (inArgument) arguments.push_back(std::move(current));
      current.clear();
      inArgument = false;
    } else {
      current.push_back(unit);
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(std::move(current));
  if (arguments.empty()) arguments.emplace_back();
  return arguments;
}

}  // namespace frame
