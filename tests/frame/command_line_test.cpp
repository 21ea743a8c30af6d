// Cutting a command-line string into arguments: a table of lines and the
// arguments each must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/command_line.h"

namespace {

struct SplitCase {
  const char* what;
  std::u16string line;
  std::vector<std::u16string> arguments;
};

const SplitCase kCases[] = {
    {"an empty line gives an empty argument 0", u"", {u""}},
    {"a line of separators gives an empty argument 0", u" \t  \r\n", {u""}},
    {"plain words", u"pelloran.exe map.bin", {u"pelloran.exe", u"map.bin"}},
    {"separators around and between are dropped", u"  prog   a  \t b  ", {u"prog", u"a", u"b"}},
    {"every control character separates",
     u"prog\x01"
     u"a\x1F"
     u"b\r\nc\td",
     {u"prog", u"a", u"b", u"c", u"d"}},
    {"code units above 32 do not separate, whatever their low byte",
     u"prog a\u0120b c\u00A0d e\u3000f",
     {u"prog", u"a\u0120b", u"c\u00A0d", u"e\u3000f"}},
    {"a dropped path with blanks arrives whole, without its quotes",
     u"\"C:\\Program Files\\pelloran.exe\" \"C:\\My Maps\\a.map\"",
     {u"C:\\Program Files\\pelloran.exe", u"C:\\My Maps\\a.map"}},
    {"a backslash before the closing quote does not escape it",
     u"prog \"C:\\dir\\\" next",
     {u"prog", u"C:\\dir\\", u"next"}},
    {"a backslash before a quote outside a stretch does not escape it",
     u"prog a\\\"b c\"",
     {u"prog", u"a\\b c"}},
    {"a UNC path keeps its leading backslashes",
     u"prog \\\\server\\share\\x.map",
     {u"prog", u"\\\\server\\share\\x.map"}},
    {"a quote inside a word starts a stretch in the same argument",
     u"prog a\"b c\"d",
     {u"prog", u"ab cd"}},
    {"doubled quotes inside a stretch give nothing", u"prog \"a\"\"b\" c", {u"prog", u"ab", u"c"}},
    {"two quotes alone are an empty argument", u"prog \"\" x", {u"prog", u"", u"x"}},
    {"an empty argument 0", u"\"\" a", {u"", u"a"}},
    {"an unclosed quote runs to the end, blanks included",
     u"prog \"C:\\My Maps\\a b.map  ",
     {u"prog", u"C:\\My Maps\\a b.map  "}},
    {"separators inside a stretch are kept", u"prog \"a\tb\r\"", {u"prog", u"a\tb\r"}},
    {"single quotes are ordinary characters", u"prog 'a b'", {u"prog", u"'a", u"b'"}},
    {"characters outside the code page and surrogate pairs pass unchanged",
     u"prog \"\u00E9t\u00E9 \u4E16\U0001F600.map\"",
     {u"prog", u"\u00E9t\u00E9 \u4E16\U0001F600.map"}},
};

TEST(SplitCommandLineTest, GivesTheArgumentsOfEachLine) {
  for (const SplitCase& c : kCases) {
    const std::vector<std::u16string> got = frame::SplitCommandLine(c.line);
    EXPECT_EQ(got, c.arguments) << c.what << "\n  line: " << ::testing::PrintToString(c.line);
  }
}

}  // namespace
