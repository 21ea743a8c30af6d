// Arguments and the end of the process on Windows. This file holds Win32
// code only.
//
// The system hands a program its command line as one UTF-16 string; it is
// cut into arguments by the frame's own rules, and each argument goes on
// as UTF-8.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frame/command_line.h"
#include "frame/system_ports.h"

namespace frame::system {
namespace {

// `text` as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8Of(const std::u16string& text) {
  if (text.empty()) return {};
  const std::wstring wide(text.begin(), text.end());
  const int size = static_cast<int>(wide.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace

std::vector<std::string> Arguments(int /*argc*/, char** /*argv*/) {
  // The runtime's argv would be cut by other rules and in the ANSI code
  // page; the command line itself is taken instead.
  const wchar_t* line = GetCommandLineW();
  std::u16string text;
  if (line != nullptr) {
    for (const wchar_t* unit = line; *unit != L'\0'; ++unit) {
      text.push_back(static_cast<char16_t>(*unit));
    }
  }
  std::vector<std::string> arguments;
  for (const std::u16string& argument : SplitCommandLine(text)) {
    arguments.push_back(Utf8Of(argument));
  }
  return arguments;
}

// A handle the program opens never becomes a standard handle on Windows:
// a closed one stays closed and reads as no console or no input.
void OpenClosedStandardStreams() {}

void EndProcess(int status) {
  // The exit code keeps all 32 bits here, so a failure never ends as 0.
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace frame::system
