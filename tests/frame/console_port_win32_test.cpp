// The Win32 console on pipes and files and, where the tests run inside a
// console, on a screen buffer and input buffer of that console. A process
// opens its console once, so each case runs in a child process (a death
// test) that sets its standard handles up, opens the console, and writes
// what it saw to its standard error stream for the parent to compare.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "frame/console_port.h"
#include "frame/system_ports.h"

namespace {

using frame::ConsoleEvent;
using frame::ConsoleEventKind;
using frame::ConsolePort;
using frame::ConsoleStart;

constexpr int kControlCExit = static_cast<int>(0xC000013Au);
constexpr DWORD kChildTimeLimitMs = 10000;

// ---- the child process -----------------------------------------------------

HANDLE gReport = nullptr;  // the child's own standard error, whatever the case does with it

void Report(const std::string& text) {
  DWORD written = 0;
  WriteFile(gReport, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

DWORD WINAPI EndOverdueChild(void*) {
  Sleep(kChildTimeLimitMs);
  Report("[timed out]");
  ExitProcess(2);
}

// The body of a child: sets its standard handles up, reports what it saw,
// and ends the child with exit code 0. A body that waits for an input that
// never comes ends the child with "[timed out]" instead.
[[noreturn]] void RunChild(const std::function<void()>& body) {
  gReport = GetStdHandle(STD_ERROR_HANDLE);
  CloseHandle(CreateThread(nullptr, 0, EndOverdueChild, nullptr, 0, nullptr));
  body();
  ExitProcess(0);
}

// Expects the child to end with `code` and report exactly `report`.
#define EXPECT_CHILD(body, code, report) \
  EXPECT_EXIT(RunChild(body), ::testing::ExitedWithCode(code), ::testing::Eq(std::string(report)))

// ---- handles and what they hold ------------------------------------------------

struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
};

Pipe MakePipe() {
  Pipe pipe;
  if (CreatePipe(&pipe.read, &pipe.write, nullptr, 1 << 16) == FALSE) Report("[no pipe]");
  return pipe;
}

void Put(HANDLE handle, const std::string& bytes) {
  DWORD written = 0;
  if (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ==
          FALSE ||
      written != bytes.size()) {
    Report("[write failed]");
  }
}

// What a pipe holds now, without waiting for more.
std::string Drain(HANDLE pipe) {
  std::string got;
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != FALSE && available > 0) {
    std::string chunk(available, '\0');
    DWORD read = 0;
    if (ReadFile(pipe, chunk.data(), available, &read, nullptr) == FALSE) break;
    got.append(chunk.data(), read);
  }
  return got;
}

// A new temporary file holding `bytes`, positioned at its start, deleted
// once its last handle is closed.
HANDLE TemporaryFile(const std::string& bytes) {
  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t path[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, folder);
  GetTempFileNameW(folder, L"cpw", 0, path);
  const HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) Report("[no temporary file]");
  Put(file, bytes);
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  return file;
}

// A second handle to `file` that may only read it.
HANDLE ReadOnlyHandle(HANDLE file) {
  HANDLE readOnly = nullptr;
  DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &readOnly, GENERIC_READ, FALSE,
                  0);
  return readOnly;
}

std::string ReadWholeFile(HANDLE file) {
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  std::string got(1 << 16, '\0');
  DWORD read = 0;
  ReadFile(file, got.data(), static_cast<DWORD>(got.size()), &read, nullptr);
  got.resize(read);
  return got;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

// `text` with its line controls spelled out: the parent reads the report
// as text, which would turn each CR LF into LF.
std::string Spelled(const std::string& text) {
  std::string spelled;
  for (char c : text) {
    if (c == '\r') {
      spelled += "\\r";
    } else if (c == '\n') {
      spelled += "\\n";
    } else {
      spelled += c;
    }
  }
  return spelled;
}

std::string AllByteValues() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes + "\r\n";
}

std::span<const std::uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The console, opened with the standard handles as they are now.
ConsolePort& OpenedConsole() {
  ConsolePort* console = frame::system::OpenConsole();
  if (console == nullptr) {
    Report("[no console]");
    ExitProcess(3);
  }
  return *console;
}

std::string DescribeStart(const ConsoleStart& start) {
  std::string text = start.kind == frame::ConsoleKind::kScreen ? "screen" : "stream";
  text += " size=";
  text += start.sizeKnown
              ? std::to_string(start.size.columns) + "x" + std::to_string(start.size.rows)
              : "?";
  text += " cursor=";
  text += start.cursorKnown
              ? std::to_string(start.cursor.column) + "," + std::to_string(start.cursor.row)
              : "?";
  if (start.rowsFromOutputStart) text += " from-output-start";
  return text;
}

std::string DescribeEvent(const ConsoleEvent& event) {
  switch (event.kind) {
    case ConsoleEventKind::kByte:
      return std::to_string(event.character);
    case ConsoleEventKind::kEndOfInput:
      return "end";
    case ConsoleEventKind::kMouse:
      return "mouse";
    case ConsoleEventKind::kFocus:
      return "focus";
    case ConsoleEventKind::kWindowSize:
      return "size";
    case ConsoleEventKind::kMenu:
      return "menu";
    case ConsoleEventKind::kKey:
      break;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%s vk=%02X scan=%02X ch=%u mods=%04X",
                event.pressed ? "down" : "up", event.virtualKey, event.scanCode,
                static_cast<unsigned>(event.character), static_cast<unsigned>(event.modifiers));
  return text;
}

// The events waiting now, at most `limit`, then "none" when no more was
// waiting.
std::string TakeEvents(ConsolePort& console, int limit) {
  std::string text;
  ConsoleEvent event;
  for (int i = 0; i < limit; ++i) {
    if (!console.TakeEvent(event)) return text + "none";
    text += DescribeEvent(event) + " ";
  }
  return text;
}

// ---- byte streams -------------------------------------------------------------

TEST(Win32StreamConsoleTest, WritesTheBytesUnchangedToAPipeOnlyWhenFlushed) {
  const std::string bytes = AllByteValues();
  EXPECT_CHILD(
      [&] {
        const Pipe out = MakePipe();
        SetStdHandle(STD_OUTPUT_HANDLE, out.write);
        ConsolePort& console = OpenedConsole();
        Report(DescribeStart(console.Start()) + "; ");
        console.WriteStream(AsBytes(bytes));
        // Cell operations mean nothing to a stream.
        console.DrawRun({1, 1}, AsBytes("cell"));
        console.ScrollUp();
        console.PlaceCursor({3, 3});
        Report("before flush " + std::to_string(Drain(out.read).size()) + "; ");
        console.Flush();
        Report("after " + Hex(Drain(out.read)));
      },
      0, "stream size=? cursor=?; before flush 0; after " + Hex(bytes));
}

TEST(Win32StreamConsoleTest, WritesTheBytesUnchangedToAFile) {
  const std::string bytes = AllByteValues();
  EXPECT_CHILD(
      [&] {
        const HANDLE file = TemporaryFile("");
        SetStdHandle(STD_OUTPUT_HANDLE, file);
        ConsolePort& console = OpenedConsole();
        Report(DescribeStart(console.Start()) + "; ");
        console.WriteStream(AsBytes(bytes));
        console.Flush();
        console.WriteStream(AsBytes("more"));
        console.Flush();
        Report(Hex(ReadWholeFile(file)));
      },
      0, "stream size=? cursor=?; " + Hex(bytes + "more"));
}

enum class OutputSetup { kNull, kInvalid, kReadOnlyFile };

struct NoOutputCase {
  const char* name;
  OutputSetup output;
  bool withErrorStream;
  friend void PrintTo(const NoOutputCase& c, std::ostream* out) { *out << c.name; }
};

class Win32NoOutputTest : public ::testing::TestWithParam<NoOutputCase> {};

TEST_P(Win32NoOutputTest, GivesNoConsoleAndSaysWhyOnTheErrorStream) {
  const NoOutputCase c = GetParam();
  EXPECT_CHILD(
      [&] {
        const HANDLE file = TemporaryFile("kept");
        switch (c.output) {
          case OutputSetup::kNull:
            SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
            break;
          case OutputSetup::kInvalid:
            SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
            break;
          case OutputSetup::kReadOnlyFile:
            SetStdHandle(STD_OUTPUT_HANDLE, ReadOnlyHandle(file));
            break;
        }
        const Pipe err = MakePipe();
        SetStdHandle(STD_ERROR_HANDLE, c.withErrorStream ? err.write : nullptr);
        const bool opened = frame::system::OpenConsole() != nullptr;
        Report(std::string(opened ? "console" : "none") + "; [" + Spelled(Drain(err.read)) + "] " +
               ReadWholeFile(file));
      },
      0,
      std::string("none; [") +
          (c.withErrorStream
               ? "no console to write to: standard output is not open for writing\\r\\n"
               : "") +
          "] kept");
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Win32NoOutputTest,
    ::testing::Values(NoOutputCase{"null handle", OutputSetup::kNull, true},
                      NoOutputCase{"invalid handle", OutputSetup::kInvalid, true},
                      NoOutputCase{"file open for reading only", OutputSetup::kReadOnlyFile, true},
                      NoOutputCase{"no error stream either", OutputSetup::kNull, false}));

TEST(Win32StreamConsoleTest, GivesEachPipeByteAsItArrivesWithoutWaitingThenTheEnd) {
  EXPECT_CHILD(
      [] {
        const Pipe out = MakePipe();
        const Pipe in = MakePipe();
        SetStdHandle(STD_OUTPUT_HANDLE, out.write);
        SetStdHandle(STD_INPUT_HANDLE, in.read);
        ConsolePort& console = OpenedConsole();
        console.Start();
        Report(TakeEvents(console, 3) + "; ");
        Put(in.write, std::string("a\x1b\0\xff", 4));
        Report(TakeEvents(console, 8) + "; ");
        Put(in.write, "z");
        Report(TakeEvents(console, 8) + "; ");
        CloseHandle(in.write);
        Report(TakeEvents(console, 3));
      },
      0, "none; 97 27 0 255 none; 122 none; end end end ");
}

enum class InputSetup { kFile, kClosedPipe, kNull, kInvalid };

struct StreamInputCase {
  const char* name;
  InputSetup input;
  const char* events;
  friend void PrintTo(const StreamInputCase& c, std::ostream* out) { *out << c.name; }
};

class Win32StreamInputTest : public ::testing::TestWithParam<StreamInputCase> {};

TEST_P(Win32StreamInputTest, GivesEachByteThenTheEndAtEveryCallAfterIt) {
  const StreamInputCase c = GetParam();
  EXPECT_CHILD(
      [&] {
        const Pipe out = MakePipe();
        SetStdHandle(STD_OUTPUT_HANDLE, out.write);
        switch (c.input) {
          case InputSetup::kFile:
            SetStdHandle(STD_INPUT_HANDLE, TemporaryFile("hi\n"));
            break;
          case InputSetup::kClosedPipe: {
            const Pipe in = MakePipe();
            Put(in.write, "hi\n");
            CloseHandle(in.write);
            SetStdHandle(STD_INPUT_HANDLE, in.read);
            break;
          }
          case InputSetup::kNull:
            SetStdHandle(STD_INPUT_HANDLE, nullptr);
            break;
          case InputSetup::kInvalid:
            SetStdHandle(STD_INPUT_HANDLE, INVALID_HANDLE_VALUE);
            break;
        }
        ConsolePort& console = OpenedConsole();
        console.Start();
        Report(TakeEvents(console, 6));
      },
      0, c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Win32StreamInputTest,
    ::testing::Values(
        StreamInputCase{"file", InputSetup::kFile, "104 105 10 end end end "},
        StreamInputCase{"closed pipe", InputSetup::kClosedPipe, "104 105 10 end end end "},
        StreamInputCase{"null handle", InputSetup::kNull, "end end end end end end "},
        StreamInputCase{"invalid handle", InputSetup::kInvalid, "end end end end end end "}));

TEST(Win32StreamConsoleTest, CodeOffsetsCountFromTheExecutablesBase) {
  EXPECT_CHILD(
      [] {
        const Pipe out = MakePipe();
        SetStdHandle(STD_OUTPUT_HANDLE, out.write);
        const ConsolePort& console = OpenedConsole();
        const auto* base = reinterpret_cast<const char*>(GetModuleHandleW(nullptr));
        Report(std::to_string(console.CodeOffset(base + 0x1234)) + " " +
               std::to_string(console.CodeOffset(base)));
      },
      0, std::to_string(0x1234) + " 0");
}

// ---- inside a console ---------------------------------------------------------

HANDLE OpenConsoleHandle(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

bool InsideAConsole() {
  const HANDLE screen = OpenConsoleHandle(L"CONOUT$");
  if (screen == INVALID_HANDLE_VALUE) return false;
  CloseHandle(screen);
  return true;
}

std::string CellsOf(HANDLE buffer, SHORT row, SHORT from, DWORD count) {
  std::string text(count, '\0');
  DWORD read = 0;
  ReadConsoleOutputCharacterA(buffer, text.data(), count, COORD{from, row}, &read);
  text.resize(read);
  return text;
}

std::string ColoursOf(HANDLE buffer, SHORT row, SHORT from, DWORD count) {
  std::vector<WORD> attributes(count);
  DWORD read = 0;
  ReadConsoleOutputAttribute(buffer, attributes.data(), count, COORD{from, row}, &read);
  std::string text;
  for (DWORD i = 0; i < read; ++i) text += Hex(std::string(1, static_cast<char>(attributes[i])));
  return text;
}

class Win32ScreenConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideAConsole()) GTEST_SKIP() << "the tests do not run inside a console";
  }
};

// A screen buffer of its own, a few cells larger than the console's window,
// filled with dots in colour 07, its cursor at column 4, row 3, and colour
// 1E set for text.
HANDLE MakeScreenBuffer(COORD& size) {
  const HANDLE buffer =
      CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(buffer, &info);
  size = {static_cast<SHORT>(info.srWindow.Right - info.srWindow.Left + 8),
          static_cast<SHORT>(info.srWindow.Bottom - info.srWindow.Top + 6)};
  if (SetConsoleScreenBufferSize(buffer, size) == FALSE) Report("[size not set]");
  const auto cells = static_cast<DWORD>(size.X * size.Y);
  DWORD done = 0;
  FillConsoleOutputCharacterA(buffer, '.', cells, COORD{0, 0}, &done);
  FillConsoleOutputAttribute(buffer, 0x07, cells, COORD{0, 0}, &done);
  SetConsoleTextAttribute(buffer, 0x1E);
  SetConsoleCursorPosition(buffer, COORD{3, 2});
  return buffer;
}

TEST_F(Win32ScreenConsoleTest, StartsWithTheWholeBufferAndDrawsInItsStartColours) {
  COORD size{};
  EXPECT_CHILD(
      [&] {
        const HANDLE buffer = MakeScreenBuffer(size);
        SetStdHandle(STD_OUTPUT_HANDLE, buffer);
        ConsolePort& console = OpenedConsole();
        Report(DescribeStart(console.Start()) + "; ");
        // Colours set after start-up change nothing.
        SetConsoleTextAttribute(buffer, 0x2F);
        console.DrawRun({2, 5}, AsBytes("Hi\x01\xb0"));
        console.DrawRun({static_cast<int>(size.X) - 1, static_cast<int>(size.Y)}, AsBytes("ab"));
        Report(CellsOf(buffer, 4, 0, 7) + " " + ColoursOf(buffer, 4, 0, 7) + " " +
               CellsOf(buffer, static_cast<SHORT>(size.Y - 1), static_cast<SHORT>(size.X - 3), 3) +
               " " + CellsOf(buffer, 0, 0, 3) + "; ");
        console.PlaceCursor({7, 2});
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(buffer, &info);
        Report("cursor " + std::to_string(info.dwCursorPosition.X) + "," +
               std::to_string(info.dwCursorPosition.Y));
      },
      0,
      [&] {
        const HANDLE probe = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                       CONSOLE_TEXTMODE_BUFFER, nullptr);
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(probe, &info);
        CloseHandle(probe);
        const int columns = info.srWindow.Right - info.srWindow.Left + 8;
        const int rows = info.srWindow.Bottom - info.srWindow.Top + 6;
        return "screen size=" + std::to_string(columns) + "x" + std::to_string(rows) +
               " cursor=4,3; .Hi\x01\xb0.. 07"
               "1E1E1E1E"
               "0707 .ab ...; cursor 6,1";
      }());
}

TEST_F(Win32ScreenConsoleTest, ScrollsTheWholeBufferLeavingABlankBottomRowInTheStartColours) {
  EXPECT_CHILD(
      [] {
        COORD size{};
        const HANDLE buffer = MakeScreenBuffer(size);
        SetStdHandle(STD_OUTPUT_HANDLE, buffer);
        ConsolePort& console = OpenedConsole();
        console.Start();
        SetConsoleTextAttribute(buffer, 0x2F);
        const SHORT last = static_cast<SHORT>(size.Y - 1);
        const SHORT right = static_cast<SHORT>(size.X - 2);
        console.DrawRun({1, 1}, AsBytes("top"));
        console.DrawRun({1, 2}, AsBytes("second"));
        console.DrawRun({right + 1, size.Y}, AsBytes("zz"));
        console.ScrollUp();
        Report(CellsOf(buffer, 0, 0, 7) + " " +
               CellsOf(buffer, static_cast<SHORT>(last - 1), right, 2) + " [" +
               CellsOf(buffer, last, 0, 3) + CellsOf(buffer, last, right, 2) + "] " +
               ColoursOf(buffer, last, 0, 2) + ColoursOf(buffer, last, right, 2));
      },
      0, "second. zz [     ] 1E1E1E1E");
}

TEST_F(Win32ScreenConsoleTest, HandsOverEachInputRecordAsItIs) {
  EXPECT_CHILD(
      [] {
        const HANDLE in = OpenConsoleHandle(L"CONIN$");
        SetStdHandle(STD_INPUT_HANDLE, in);
        SetStdHandle(STD_OUTPUT_HANDLE, OpenConsoleHandle(L"CONOUT$"));
        ConsolePort& console = OpenedConsole();
        console.Start();
        FlushConsoleInputBuffer(in);
        Report(TakeEvents(console, 2) + "; ");

        std::vector<INPUT_RECORD> records(8);
        auto key = [](INPUT_RECORD& record, bool down, WORD vk, WORD scan, char ch, DWORD state) {
          record.EventType = KEY_EVENT;
          record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
          record.Event.KeyEvent.wRepeatCount = 3;
          record.Event.KeyEvent.wVirtualKeyCode = vk;
          record.Event.KeyEvent.wVirtualScanCode = scan;
          record.Event.KeyEvent.uChar.AsciiChar = ch;
          record.Event.KeyEvent.dwControlKeyState = state;
        };
        key(records[0], true, 'A', 0x1E, 'a', LEFT_ALT_PRESSED | NUMLOCK_ON | ENHANCED_KEY);
        key(records[1], false, 'A', 0x1E, 'a', RIGHT_CTRL_PRESSED | SHIFT_PRESSED | CAPSLOCK_ON);
        key(records[2], true, VK_SHIFT, 0x2A, 0, SHIFT_PRESSED | SCROLLLOCK_ON);
        key(records[3], true, 'E', 0x12, static_cast<char>(0x82),
            RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED);
        records[4].EventType = MOUSE_EVENT;
        records[5].EventType = FOCUS_EVENT;
        records[6].EventType = WINDOW_BUFFER_SIZE_EVENT;
        records[7].EventType = MENU_EVENT;
        DWORD written = 0;
        WriteConsoleInputA(in, records.data(), static_cast<DWORD>(records.size()), &written);
        Report(TakeEvents(console, 12));
      },
      0,
      "none; down vk=41 scan=1E ch=97 mods=0122 up vk=41 scan=1E ch=97 mods=0094 "
      "down vk=10 scan=2A ch=0 mods=0050 down vk=45 scan=12 ch=130 mods=0009 "
      "mouse focus size menu none");
}

// ---- interruptions, inside a console ---------------------------------------------

std::atomic<bool> gControlSeen{false};

// Called before the console's handler; lets it have the event.
BOOL WINAPI NoteControl(DWORD) {
  gControlSeen = true;
  return FALSE;
}

std::atomic<bool> gControlIgnored{false};

// Keeps the tests' own process running while the child is interrupted.
BOOL WINAPI IgnoreControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  gControlIgnored = true;
  return TRUE;
}

// Sends `type` to the console, and waits until this process has seen it
// and its handlers have had time to run.
void Interrupt(DWORD type) {
  SetConsoleCtrlHandler(NoteControl, TRUE);
  GenerateConsoleCtrlEvent(type, 0);
  for (int i = 0; i < 2000 && !gControlSeen; ++i) Sleep(1);
  Sleep(200);
  Report(gControlSeen ? "seen; " : "not seen; ");
}

std::wstring ImageOf(HANDLE process) {
  std::wstring path(MAX_PATH * 4, L'\0');
  auto length = static_cast<DWORD>(path.size());
  if (QueryFullProcessImageNameW(process, 0, path.data(), &length) == FALSE) return {};
  path.resize(length);
  return path;
}

// True when every program attached to the console runs this test program:
// this process and, in a child, the parent that ignores the control events.
bool OnlyTheseTestsShareTheConsole() {
  std::vector<DWORD> processes(16);
  const DWORD count = GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size()));
  if (count == 0 || count > processes.size()) return false;
  const std::wstring own = ImageOf(GetCurrentProcess());
  for (DWORD i = 0; i < count; ++i) {
    if (processes[i] == GetCurrentProcessId()) continue;
    const HANDLE other = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processes[i]);
    if (other == nullptr) return false;
    const bool same = !own.empty() && ImageOf(other) == own;
    CloseHandle(other);
    if (!same) return false;
  }
  return true;
}

enum class HoldSetup { kNone, kNested, kRestored };

struct InterruptionCase {
  const char* name;
  HoldSetup hold;
  const char* report;
  friend void PrintTo(const InterruptionCase& c, std::ostream* out) { *out << c.name; }
};

class Win32InterruptionTest : public ::testing::TestWithParam<InterruptionCase> {
 protected:
  void SetUp() override {
    if (!InsideAConsole()) GTEST_SKIP() << "the tests do not run inside a console";
    // A control event reaches every program of the console.
    if (!OnlyTheseTestsShareTheConsole()) GTEST_SKIP() << "other programs share this console";
    ignoring_ = SetConsoleCtrlHandler(IgnoreControl, TRUE) != FALSE;
  }
  void TearDown() override {
    if (!ignoring_) return;
    // The event reaches this process too, maybe after the child has ended.
    for (int i = 0; i < 2000 && !gControlIgnored; ++i) Sleep(1);
    gControlIgnored = false;
    SetConsoleCtrlHandler(IgnoreControl, FALSE);
  }

  bool ignoring_ = false;
};

// The system's default handling ends a program with an exit code of its
// own: 0xC000013A on Windows, 0 under Wine 8. A held interruption ends it
// with 0xC000013A everywhere.
bool EndedByControlC(int code) { return code == kControlCExit; }
bool EndedAtAll(int) { return true; }

TEST_P(Win32InterruptionTest, CtrlCTakesEffectOnlyOnceTheHoldEnds) {
  const InterruptionCase c = GetParam();
  EXPECT_EXIT(RunChild([&] {
                SetConsoleCtrlHandler(IgnoreControl, FALSE);
                const Pipe out = MakePipe();
                SetStdHandle(STD_OUTPUT_HANDLE, out.write);
                ConsolePort& console = OpenedConsole();
                console.Start();
                if (c.hold != HoldSetup::kNone) {
                  console.HoldInterruptions(true);
                  console.HoldInterruptions(true);
                }
                if (c.hold == HoldSetup::kRestored) console.Restore();
                Interrupt(CTRL_C_EVENT);
                console.HoldInterruptions(false);
                Report("inner released; ");
                console.HoldInterruptions(false);
                Report("outer released");
              }),
              (c.hold == HoldSetup::kNested ? EndedByControlC : EndedAtAll),
              ::testing::Eq(std::string(c.report)));
}

INSTANTIATE_TEST_SUITE_P(
    Holds, Win32InterruptionTest,
    ::testing::Values(InterruptionCase{"nested hold", HoldSetup::kNested, "seen; inner released; "},
                      InterruptionCase{"no hold", HoldSetup::kNone, ""},
                      InterruptionCase{"hold after Restore", HoldSetup::kRestored, ""}));

}  // namespace
