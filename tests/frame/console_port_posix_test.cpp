// The POSIX console on real pipes and pseudo-terminals. Each case runs the
// console in a child process whose standard input and output are the pipe
// or terminal under test, and plays the other end itself: it answers the
// cursor query, types keys, sends signals and reads what reached the
// terminal. The child tells what it saw through a report pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame/console_port.h"
#include "frame/frame_state.h"
#include "frame/system_ports.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_files.h"

namespace {

using frame::CellPosition;
using frame::ConsoleEvent;
using frame::ConsoleEventKind;
using frame::ConsolePort;
using frame::ConsoleStart;
using namespace std::chrono_literals;

// ---- descriptors, pipes and the pseudo-terminal -------------------------

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct PipePair {
  UniqueFd read;
  UniqueFd write;
};

PipePair MakePipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(pipe(fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void WriteString(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
}

// Reads what `fd` has within `timeoutMs`; false at its end.
bool ReadSome(int fd, std::string& into, int timeoutMs) {
  struct pollfd ready {
    fd, POLLIN, 0
  };
  if (poll(&ready, 1, timeoutMs) <= 0) return true;
  char chunk[4096];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) into.append(chunk, static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && errno == EINTR);
}

// Reads `fd` until `wanted` has arrived; false when it does not within `timeoutMs`.
bool ReadUntil(int fd, std::string& into, const std::string& wanted, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (into.find(wanted) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline || !ReadSome(fd, into, 10)) return false;
  }
  return true;
}

// A pseudo-terminal of 100 columns and 30 rows that passes output through
// unchanged. The test keeps a slave descriptor of its own to look at the
// terminal's modes.
struct PseudoTerminal {
  UniqueFd master;
  UniqueFd slave;
  std::string slaveName;
};

PseudoTerminal OpenPseudoTerminal() {
  PseudoTerminal terminal;
  terminal.master = UniqueFd(posix_openpt(O_RDWR | O_NOCTTY));
  EXPECT_GE(terminal.master.get(), 0);
  EXPECT_EQ(grantpt(terminal.master.get()), 0);
  EXPECT_EQ(unlockpt(terminal.master.get()), 0);
  terminal.slaveName = ptsname(terminal.master.get());
  terminal.slave = UniqueFd(open(terminal.slaveName.c_str(), O_RDWR | O_NOCTTY));
  EXPECT_GE(terminal.slave.get(), 0);
  struct winsize size {};
  size.ws_col = 100;
  size.ws_row = 30;
  EXPECT_EQ(ioctl(terminal.slave.get(), TIOCSWINSZ, &size), 0);
  struct termios mode {};
  EXPECT_EQ(tcgetattr(terminal.slave.get(), &mode), 0);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  mode.c_cc[VERASE] = 8;  // not the default, so that a reset to defaults shows
  EXPECT_EQ(tcsetattr(terminal.slave.get(), TCSANOW, &mode), 0);
  return terminal;
}

std::string ModeText(int fd) {
  struct termios mode {};
  if (tcgetattr(fd, &mode) != 0) return "no terminal";
  std::string text = "i=" + std::to_string(mode.c_iflag) + " o=" + std::to_string(mode.c_oflag) +
                     " c=" + std::to_string(mode.c_cflag) + " l=" + std::to_string(mode.c_lflag) +
                     " cc=";
  for (cc_t c : mode.c_cc) text += std::to_string(c) + ",";
  return text;
}

// The modes that the console's raw mode sets, as the child sees them.
std::string RawModeText(int fd) {
  struct termios mode {};
  if (tcgetattr(fd, &mode) != 0) return "no terminal";
  std::string text;
  const std::pair<tcflag_t, const char*> local[] = {
      {ICANON, "icanon"}, {ECHO, "echo"}, {IEXTEN, "iexten"}, {ISIG, "isig"}};
  const std::pair<tcflag_t, const char*> input[] = {
      {IXON, "ixon"}, {ICRNL, "icrnl"}, {INLCR, "inlcr"}, {IGNCR, "igncr"}};
  for (const auto& [flag, name] : local) {
    if ((mode.c_lflag & flag) != 0) text += std::string(name) + " ";
  }
  for (const auto& [flag, name] : input) {
    if ((mode.c_iflag & flag) != 0) text += std::string(name) + " ";
  }
  text += "vquit=" + std::to_string(mode.c_cc[VQUIT]) +
          " vsusp=" + std::to_string(mode.c_cc[VSUSP]) +
          " vmin=" + std::to_string(mode.c_cc[VMIN]) + " vtime=" + std::to_string(mode.c_cc[VTIME]);
  return text;
}

// ---- the child process ----------------------------------------------------

// Lines that the child sends to the test.
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void Line(const std::string& text) { WriteString(fd_, text + "\n"); }

 private:
  int fd_;
};

// Where the child's standard streams come from: -1 for the pseudo-terminal.
struct ChildIo {
  const PseudoTerminal* terminal = nullptr;  // the child's controlling terminal
  const char* term = "xterm-256color";       // the child's TERM
  int input = -1;
  int output = -1;
  int error = -1;  // -1: inherited
  bool closeOutput = false;
};

struct Child {
  pid_t pid = -1;
  UniqueFd report;
};

Child StartChild(const ChildIo& io, const std::function<void(Report&)>& body) {
  PipePair report = MakePipe();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("TERM", io.term, 1);
    setsid();
    const int tty = io.terminal != nullptr ? open(io.terminal->slaveName.c_str(), O_RDWR) : -1;
    dup2(io.input >= 0 ? io.input : tty, 0);
    dup2(io.output >= 0 ? io.output : tty, 1);
    if (io.error >= 0) dup2(io.error, 2);
    if (io.closeOutput) close(1);
    const int keep = report.write.get();
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keep) close(fd);
    }
    Report out(keep);
    body(out);
    _exit(0);
  }
  EXPECT_GT(pid, 0);
  return {pid, std::move(report.read)};
}

struct ChildEnd {
  int status = 0;
  bool timedOut = false;
  std::string report;
  std::string output;  // what reached `drain`
};

// Waits for the child to end, reading its report and `drain` meanwhile.
ChildEnd Finish(Child& child, int drain = -1, std::string output = {}) {
  ChildEnd end;
  end.output = std::move(output);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    ReadSome(child.report.get(), end.report, 5);
    if (drain >= 0) ReadSome(drain, end.output, 5);
    if (waitpid(child.pid, &end.status, WNOHANG) == child.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &end.status, 0);
      end.timedOut = true;
      break;
    }
  }
  // The child has ended: the report pipe is at its end once it is read.
  for (int i = 0; i < 100 && ReadSome(child.report.get(), end.report, 10); ++i) {
  }
  if (drain >= 0) {
    for (std::size_t before = ~std::size_t{0}; before != end.output.size();) {
      before = end.output.size();
      ReadSome(drain, end.output, 20);
    }
  }
  return end;
}

bool EndedWithZero(const ChildEnd& end) {
  return !end.timedOut && WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0;
}

bool EndedBySignal(const ChildEnd& end, int signal) {
  return !end.timedOut && WIFSIGNALED(end.status) && WTERMSIG(end.status) == signal;
}

// ---- what the child tells ---------------------------------------------------

std::string Describe(const ConsoleStart& start) {
  std::string text = start.kind == frame::ConsoleKind::kScreen ? "screen" : "stream";
  text += " size=";
  text += start.sizeKnown
              ? std::to_string(start.size.columns) + "x" + std::to_string(start.size.rows)
              : "?";
  text += " cursor=";
  text += start.cursorKnown
              ? std::to_string(start.cursor.column) + "," + std::to_string(start.cursor.row)
              : "?";
  if (start.rowsFromOutputStart) text += " rows-from-output-start";
  return text;
}

std::string Describe(const ConsoleEvent& event) {
  if (event.kind == ConsoleEventKind::kByte) return "byte " + std::to_string(event.character);
  if (event.kind == ConsoleEventKind::kEndOfInput) return "end";
  if (event.kind != ConsoleEventKind::kKey) return "other";
  char text[48];
  std::snprintf(text, sizeof text, "key vk=%02X ch=%u", event.virtualKey, event.character);
  return text;
}

// Takes events until `count` have come or `timeoutMs` has passed.
std::vector<std::string> TakeEvents(ConsolePort& console, std::size_t count, int timeoutMs = 3000) {
  std::vector<std::string> events;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  ConsoleEvent event;
  while (events.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (console.TakeEvent(event)) {
      events.push_back(Describe(event));
    } else {
      console.WaitForInput();
    }
  }
  return events;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Opens the console and starts it; reports and ends the child without one.
ConsolePort& StartConsole(Report& report, ConsoleStart* start = nullptr) {
  ConsolePort* console = frame::system::OpenConsole();
  if (console == nullptr) {
    report.Line("no console");
    _exit(0);
  }
  const ConsoleStart started = console->Start();
  if (start != nullptr) *start = started;
  return *console;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string text;
  for (int b : bytes) text += static_cast<char>(b);
  return text;
}

const std::string kKeypadOn = "\x1b=";
const std::string kKeypadOff = "\x1b>";
const std::string kCursorQuery = "\x1b[6n";
const std::string kProtocolQuery = "\x1b[?u";
const std::string kProtocolPush = "\x1b[>27u";
const std::string kProtocolPop = "\x1b[<u";

// ---- byte streams -------------------------------------------------------

TEST(PosixStreamConsoleTest, WritesTheBytesUnchangedToAPipe) {
  PipePair in = MakePipe();
  PipePair out = MakePipe();
  // More than a pipe holds, so that the writes come out in parts.
  std::string bytes = Bytes({'A', 27, '[', '2', 'J', 0, 1, 127, 128, 255, '\r', '\n', '\t'});
  bytes += std::string(200000, 'x');
  Child child =
      StartChild({.input = in.read.get(), .output = out.write.get()}, [&](Report& report) {
        ConsoleStart start;
        ConsolePort& console = StartConsole(report, &start);
        report.Line(Describe(start));
        console.WriteStream(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        console.Flush();
        console.Restore();
      });
  out.write.Reset();
  const ChildEnd end = Finish(child, out.read.get());
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "stream size=? cursor=?\n");
  EXPECT_TRUE(end.output == bytes) << "got " << end.output.size() << " bytes";
}

TEST(PosixStreamConsoleTest, GivesEachInputByteThenTheEndOfInput) {
  PipePair in = MakePipe();
  PipePair out = MakePipe();
  WriteString(in.write.get(), Bytes({'a', 0, 255, '\n'}));
  in.write.Reset();
  Child child = StartChild({.input = in.read.get(), .output = out.write.get()}, [](Report& report) {
    ConsolePort& console = StartConsole(report);
    report.Line(Lines(TakeEvents(console, 7)));
  });
  const ChildEnd end = Finish(child, out.read.get());
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "byte 97\nbyte 0\nbyte 255\nbyte 10\nend\nend\nend\n\n");
}

TEST(PosixStreamConsoleTest, AnEmptyPipeGivesNoEventWithoutWaitingOrChangingThePipe) {
  PipePair in = MakePipe();
  PipePair out = MakePipe();
  Child child = StartChild({.input = in.read.get(), .output = out.write.get()}, [](Report& report) {
    const int flagsBefore = fcntl(0, F_GETFL);
    ConsolePort& console = StartConsole(report);
    ConsoleEvent event;
    const auto before = std::chrono::steady_clock::now();
    const bool got = console.TakeEvent(event);
    const auto took = std::chrono::steady_clock::now() - before;
    report.Line(got ? "event" : took < 100ms ? "none at once" : "none after a wait");
    report.Line(fcntl(0, F_GETFL) == flagsBefore ? "flags kept" : "flags changed");
    report.Line("waiting");
    report.Line(Lines(TakeEvents(console, 2)));
  });
  std::string seen;
  EXPECT_TRUE(ReadUntil(child.report.get(), seen, "waiting\n"));
  WriteString(in.write.get(), "z");
  in.write.Reset();
  const ChildEnd end = Finish(child, out.read.get());
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(seen + end.report, "none at once\nflags kept\nwaiting\nbyte 122\nend\n\n");
}

TEST(PosixStreamConsoleTest, NoConsoleWithoutAStandardOutputToWriteTo) {
  struct Case {
    const char* name;
    bool closeOutput;
  };
  for (const Case& c : {Case{"closed", true}, Case{"read-only", false}}) {
    SCOPED_TRACE(c.name);
    PipePair error = MakePipe();
    UniqueFd readOnly(open("/dev/null", O_RDONLY));
    Child child =
        StartChild({.input = readOnly.get(),
                    .output = readOnly.get(),
                    .error = error.write.get(),
                    .closeOutput = c.closeOutput},
                   [](Report& report) {
                     report.Line(frame::system::OpenConsole() == nullptr ? "none" : "console");
                   });
    error.write.Reset();
    const ChildEnd end = Finish(child, error.read.get());
    EXPECT_TRUE(EndedWithZero(end));
    EXPECT_EQ(end.report, "none\n");
    // One line of text on the standard error stream.
    ASSERT_FALSE(end.output.empty());
    EXPECT_EQ(end.output.find('\n'), end.output.size() - 1) << end.output;
  }
}

TEST(PosixStreamConsoleTest, AReaderThatWentAwayDoesNotEndTheProgram) {
  PipePair in = MakePipe();
  PipePair out = MakePipe();
  out.read.Reset();
  Child child = StartChild({.input = in.read.get(), .output = out.write.get()}, [](Report& report) {
    ConsolePort& console = StartConsole(report);
    const std::uint8_t text[] = {'l', 'o', 's', 't'};
    console.WriteStream(text);
    console.Flush();
    report.Line("went on");
    console.Restore();
  });
  const ChildEnd end = Finish(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "went on\n");
}

// ---- a terminal ---------------------------------------------------------

class PosixTerminalConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { modeBefore_ = ModeText(terminal_.slave.get()); }

  // Starts `body` on the terminal; returns what reached the terminal up to
  // the cursor query, which it answers with `answer` unless that is empty.
  Child StartOnTerminal(const std::function<void(Report&)>& body, const std::string& answer,
                        ChildIo io = {}) {
    io.terminal = &terminal_;
    Child child = StartChild(io, body);
    if (!answer.empty()) {
      EXPECT_TRUE(ReadUntil(terminal_.master.get(), screen_, kCursorQuery)) << screen_;
      WriteString(terminal_.master.get(), answer);
    }
    return child;
  }

  ChildEnd FinishOnTerminal(Child& child) {
    ChildEnd end = Finish(child, terminal_.master.get(), screen_);
    const std::size_t query = end.output.find(kCursorQuery);
    afterQuery_ = query == std::string::npos ? "" : end.output.substr(query + kCursorQuery.size());
    return end;
  }

  void TypeWhenReady(Child& child, const std::string& keys) {
    std::string seen;
    EXPECT_TRUE(ReadUntil(child.report.get(), seen, "ready\n"));
    reportSoFar_ += seen;
    WriteString(terminal_.master.get(), keys);
  }

  PseudoTerminal terminal_ = OpenPseudoTerminal();
  std::string modeBefore_;
  std::string screen_;
  std::string afterQuery_;   // what reached the terminal after the cursor query
  std::string reportSoFar_;  // report lines read before the child ended
};

TEST_F(PosixTerminalConsoleTest, StartsWithSizeAndCursorAndKeepsKeysTypedAroundTheAnswer) {
  // Typed before the program started, while the terminal was still cooked.
  WriteString(terminal_.master.get(), "k");
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsoleStart start;
        ConsolePort& console = StartConsole(report, &start);
        report.Line(Describe(start));
        report.Line(RawModeText(0));
        report.Line(Lines(TakeEvents(console, 3)));
        console.Restore();
      },
      "q\x1b[7;9Rz");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report,
            "screen size=100x30 cursor=9,7 rows-from-output-start\n"
            "isig vquit=0 vsusp=0 vmin=0 vtime=0\n"
            "key vk=4B ch=107\nkey vk=51 ch=113\nkey vk=5A ch=122\n\n");
  // The keypad mode is set before the query; nothing typed is echoed, and
  // the keypad mode is reset at the end.
  EXPECT_NE(end.output.find(kKeypadOn + kProtocolQuery + kCursorQuery), std::string::npos)
      << end.output;
  EXPECT_EQ(afterQuery_, kKeypadOff);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, WithoutAnAnswerTheCursorIsUnknownAfterAShortWait) {
  Child child = StartOnTerminal(
      [](Report& report) {
        const auto before = std::chrono::steady_clock::now();
        ConsoleStart start;
        ConsolePort& console = StartConsole(report, &start);
        const auto took = std::chrono::steady_clock::now() - before;
        report.Line(Describe(start));
        report.Line(took >= 300ms && took < 2s ? "waited briefly" : "waited wrongly");
        console.Restore();
      },
      "");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "screen size=100x30 cursor=? rows-from-output-start\nwaited briefly\n");
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, RestoreIsSafeToRepeat) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        console.Restore();
        report.Line(RawModeText(0));
        console.Restore();
      },
      "\x1b[1;1R");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report.find("icanon echo iexten isig"), 0u) << end.report;
  EXPECT_EQ(afterQuery_, kKeypadOff);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, PlacesTheCursorOnlyWhenItStandsElsewhere) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        auto draw = [&](CellPosition at, const char* text) {
          console.DrawRun(at, std::span(reinterpret_cast<const std::uint8_t*>(text),
                                        std::char_traits<char>::length(text)));
        };
        draw({5, 3}, "Hi");  // where the terminal reported its cursor
        draw({7, 3}, "!");
        console.PlaceCursor({8, 3});
        console.PlaceCursor({1, 4});
        draw({99, 4}, "ab");  // ends in the last column: the terminal waits to wrap
        draw({1, 5}, "c");
        console.ScrollUp();
        console.PlaceCursor({2, 30});
        console.Flush();
        console.Restore();
      },
      "\x1b[3;5R");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(afterQuery_, "Hi!\x1b[4;1H\x1b[4;99Hab\x1b[5;1Hc\x1b[30;1H\n\x1b[30;2H" + kKeypadOff);
}

struct GlyphCase {
  const char* locale;
  std::string expected;
  friend void PrintTo(const GlyphCase& c, std::ostream* out) { *out << c.locale; }
};

class PosixTerminalGlyphTest : public PosixTerminalConsoleTest,
                               public ::testing::WithParamInterface<GlyphCase> {};

TEST_P(PosixTerminalGlyphTest, DrawsCodePage437InTheLocalesCharacters) {
  const GlyphCase& c = GetParam();
  locale_t probe = newlocale(LC_CTYPE_MASK, c.locale, nullptr);
  if (probe == nullptr) GTEST_SKIP() << "no locale " << c.locale;
  freelocale(probe);
  Child child = StartOnTerminal(
      [&](Report& report) {
        setenv("LC_ALL", c.locale, 1);
        ConsolePort& console = StartConsole(report);
        const std::uint8_t codes[] = {'a', 1, 27, 127, 128, 155, 255, '~'};
        console.DrawRun({1, 1}, codes);
        console.Flush();
        console.Restore();
      },
      "\x1b[1;1R");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(afterQuery_, c.expected + kKeypadOff);
}

INSTANTIATE_TEST_SUITE_P(
    Posix, PosixTerminalGlyphTest,
    ::testing::Values(
        // a, smiling face, left arrow, house, C cedilla, cent, no-break space, ~
        GlyphCase{"C.UTF-8", "a\u263A\u2190\u2302\u00C7\u00A2\u00A0~"},
        GlyphCase{"C", "a??????~"}));

TEST_F(PosixTerminalConsoleTest, NoCodeReachesTheTerminalAsAControl) {
  for (const char* locale : {"C.UTF-8", "C"}) {
    SCOPED_TRACE(locale);
    screen_.clear();
    Child child = StartOnTerminal(
        [&](Report& report) {
          setenv("LC_ALL", locale, 1);
          ConsolePort& console = StartConsole(report);
          std::vector<std::uint8_t> codes;
          for (int code = 0; code < 256; ++code) codes.push_back(static_cast<std::uint8_t>(code));
          for (int row = 1; row <= 4; ++row) {
            console.DrawRun({1, row},
                            std::span(codes).subspan(static_cast<std::size_t>(row - 1) * 64, 64));
          }
          console.Flush();
          console.Restore();
        },
        "\x1b[1;1R");
    const ChildEnd end = FinishOnTerminal(child);
    ASSERT_TRUE(EndedWithZero(end));
    ASSERT_GE(afterQuery_.size(), kKeypadOff.size());
    // Without the cursor placements and the final keypad reset, only glyphs are left.
    const std::string glyphs =
        std::regex_replace(afterQuery_.substr(0, afterQuery_.size() - kKeypadOff.size()),
                           std::regex("\x1b\\[[0-9]+;[0-9]+H"), "");
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
      const auto byte = static_cast<unsigned char>(glyphs[i]);
      ASSERT_FALSE(byte < 0x20 || byte == 0x7F) << "control byte " << int{byte} << " at " << i;
      // The second byte of a UTF-8 sequence for U+0080..U+009F (C1 controls).
      ASSERT_FALSE(byte == 0xC2 && i + 1 < glyphs.size() &&
                   static_cast<unsigned char>(glyphs[i + 1]) < 0xA0)
          << "C1 control at " << i;
    }
    std::string printable;
    for (char c = ' '; c <= '~'; ++c) printable += c;
    if (std::string(locale) == "C") {
      EXPECT_EQ(glyphs, std::string(32, '?') + printable + std::string(129, '?'));
    } else {
      EXPECT_NE(glyphs.find(printable), std::string::npos) << "printable ASCII passes unchanged";
    }
  }
}

TEST_F(PosixTerminalConsoleTest, ALoneEscapeWaitsBrieflyWhileASplitSequenceDecodesWhole) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        report.Line(Lines(TakeEvents(console, 3)));
        console.Restore();
      },
      "\x1b[1;1R");
  TypeWhenReady(child, "\x1b");
  // Well past the gap that ends a lone Escape; the rest of a sequence
  // that a slow link splits comes well within it.
  std::this_thread::sleep_for(400ms);
  WriteString(terminal_.master.get(), "\x1b[");
  std::this_thread::sleep_for(5ms);
  WriteString(terminal_.master.get(), "Ax");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(reportSoFar_ + end.report,
            "ready\nkey vk=1B ch=27\nkey vk=26 ch=0\nkey vk=58 ch=120\n\n");
}

TEST_F(PosixTerminalConsoleTest, ControlBackslashAndControlZAreKeys) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        report.Line(Lines(TakeEvents(console, 2)));
        console.Restore();
      },
      "\x1b[1;1R");
  TypeWhenReady(child, "\x1c\x1a");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end)) << "status " << end.status;
  EXPECT_EQ(end.report, "key vk=DC ch=28\nkey vk=5A ch=26\n\n");
}

TEST_F(PosixTerminalConsoleTest, AHangUpEndsTheInput) {
  Child child = StartOnTerminal(
      [](Report& report) {
        signal(SIGHUP, SIG_IGN);  // the hang-up must end the input, not the test's child
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        report.Line(Lines(TakeEvents(console, 3)));
        console.Restore();
      },
      "\x1b[1;1R");
  std::string seen;
  EXPECT_TRUE(ReadUntil(child.report.get(), seen, "ready\n"));
  terminal_.master.Reset();
  const ChildEnd end = Finish(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(seen + end.report, "ready\nend\nend\nend\n\n");
}

TEST_F(PosixTerminalConsoleTest, ControlCEndsTheProgramWithTheTerminalPutBack) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        TakeEvents(console, 1, 5000);
        report.Line("not interrupted");
      },
      "\x1b[1;1R");
  TypeWhenReady(child, "\x03");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedBySignal(end, SIGINT)) << "status " << end.status;
  EXPECT_EQ(end.report, "");
  EXPECT_EQ(afterQuery_, kKeypadOff);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, InterruptionsEndTheProgramWithTheTerminalPutBack) {
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(signalNumber);
    screen_.clear();
    Child child = StartOnTerminal(
        [&](Report& report) {
          const struct rlimit noCore { 0, 0 };
          setrlimit(RLIMIT_CORE, &noCore);
          StartConsole(report);
          kill(getpid(), signalNumber);
          report.Line("not interrupted");
        },
        "\x1b[1;1R");
    const ChildEnd end = FinishOnTerminal(child);
    EXPECT_TRUE(EndedBySignal(end, signalNumber)) << "status " << end.status;
    EXPECT_EQ(end.report, "");
    EXPECT_EQ(afterQuery_, kKeypadOff);
    EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
  }
}

TEST_F(PosixTerminalConsoleTest, AHeldInterruptionWaitsForTheRelease) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        console.HoldInterruptions(true);
        console.HoldInterruptions(true);
        kill(getpid(), SIGTERM);
        report.Line("held");
        console.HoldInterruptions(false);
        report.Line("still held by the outer hold");
        console.HoldInterruptions(false);
        report.Line("not interrupted");
      },
      "\x1b[1;1R");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedBySignal(end, SIGTERM)) << "status " << end.status;
  EXPECT_EQ(end.report, "held\nstill held by the outer hold\n");
  EXPECT_EQ(afterQuery_, kKeypadOff);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, ABackgroundJobWaitingForTheTerminalEndsOnRequest) {
  Child child = StartOnTerminal(
      [](Report& report) {
        const pid_t job = fork();
        if (job == 0) {
          setpgid(0, 0);  // a job of the terminal's session, not in the foreground
          StartConsole(report);
          report.Line("started in the background");
          _exit(0);
        }
        setpgid(job, job);
        int status = 0;
        waitpid(job, &status, WUNTRACED);
        report.Line(WIFSTOPPED(status) ? "stopped by " + std::to_string(WSTOPSIG(status))
                                       : "not stopped");
        // What a shell's "kill %1" does.
        kill(job, SIGTERM);
        kill(job, SIGCONT);
        bool ended = false;
        for (int i = 0; i < 300 && !ended; ++i) {
          ended = waitpid(job, &status, WNOHANG) == job;
          if (!ended) usleep(10000);
        }
        if (!ended) kill(job, SIGKILL);
        report.Line(ended && WIFSIGNALED(status) ? "ended by " + std::to_string(WTERMSIG(status))
                                                 : "still waiting");
      },
      "");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "stopped by " + std::to_string(SIGTTOU) + "\nended by " +
                            std::to_string(SIGTERM) + "\n");
  EXPECT_EQ(end.output, "");
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, ATerminalWithKeysFromAPipe) {
  PipePair in = MakePipe();
  WriteString(in.write.get(), "p");
  in.write.Reset();
  ChildIo io;
  io.input = in.read.get();
  Child child = StartOnTerminal(
      [](Report& report) {
        const auto openFiles = [] {
          int count = 0;
          for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
          return count;
        };
        const int filesBefore = openFiles();
        ConsoleStart start;
        ConsolePort& console = StartConsole(report, &start);
        report.Line(Describe(start));
        report.Line(RawModeText(1));
        report.Line(Lines(TakeEvents(console, 2)));
        console.Restore();
        report.Line(openFiles() == filesBefore ? "files closed" : "a file left open");
      },
      "t\x1b[2;3R", io);
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  // The key typed at the terminal is neither echoed nor taken as input.
  EXPECT_EQ(end.report,
            "screen size=100x30 cursor=3,2 rows-from-output-start\n"
            "isig vquit=0 vsusp=0 vmin=0 vtime=0\n"
            "byte 112\nend\n\n"
            "files closed\n");
  EXPECT_EQ(afterQuery_, kKeypadOff);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, KeysFromATerminalWithOutputToAPipe) {
  PipePair out = MakePipe();
  ChildIo io;
  io.output = out.write.get();
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsoleStart start;
        ConsolePort& console = StartConsole(report, &start);
        report.Line(Describe(start));
        report.Line(RawModeText(0));
        report.Line("ready");
        report.Line(Lines(TakeEvents(console, 1)));
        console.Restore();
      },
      "", io);
  out.write.Reset();
  TypeWhenReady(child, "w");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(reportSoFar_ + end.report,
            "stream size=? cursor=?\n"
            "isig vquit=0 vsusp=0 vmin=0 vtime=0\n"
            "ready\nkey vk=57 ch=119\n\n");
  // No query and no keypad mode on a terminal that is not written to.
  EXPECT_EQ(end.output, "");
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

// The processor time the calling process has used.
std::chrono::microseconds CpuTime() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const auto micros = [](const struct timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// Waits as the key rules do, and tells whether the wait cost (almost) no
// processor time while it lasted at least `atLeast`.
void WaitForOneEventIdly(ConsolePort& console, Report& report, std::chrono::milliseconds atLeast) {
  const auto cpuBefore = CpuTime();
  const auto before = std::chrono::steady_clock::now();
  ConsoleEvent event;
  while (!console.TakeEvent(event)) console.WaitForInput();
  const auto waited = std::chrono::steady_clock::now() - before;
  const auto cpu = CpuTime() - cpuBefore;
  report.Line(Describe(event));
  report.Line(waited >= atLeast ? "waited" : "did not wait");
  // A wait that spins uses about as much processor time as it lasts.
  report.Line(cpu * 10 < waited ? "idle" : "busy: " + std::to_string(cpu.count()) + " us");
}

TEST_F(PosixTerminalConsoleTest, WaitingForAKeyIsIdleAndEndsWhenTheKeyComes) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        WaitForOneEventIdly(console, report, 400ms);
        console.Restore();
      },
      "\x1b[1;1R");
  std::string seen;
  EXPECT_TRUE(ReadUntil(child.report.get(), seen, "ready\n"));
  std::this_thread::sleep_for(600ms);
  WriteString(terminal_.master.get(), "k");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(seen + end.report, "ready\nkey vk=4B ch=107\nwaited\nidle\n");
}

TEST(PosixStreamConsoleTest, WaitingForAByteIsIdleAndEndsWhenTheByteComes) {
  PipePair in = MakePipe();
  PipePair out = MakePipe();
  Child child = StartChild({.input = in.read.get(), .output = out.write.get()}, [](Report& report) {
    ConsolePort& console = StartConsole(report);
    report.Line("ready");
    WaitForOneEventIdly(console, report, 400ms);
    // At the end of the input a wait returns at once.
    const auto before = std::chrono::steady_clock::now();
    console.WaitForInput();
    ConsoleEvent event;
    report.Line(console.TakeEvent(event) ? Describe(event) : "none");
    report.Line(std::chrono::steady_clock::now() - before < 1s ? "at once" : "after a wait");
  });
  std::string seen;
  EXPECT_TRUE(ReadUntil(child.report.get(), seen, "ready\n"));
  std::this_thread::sleep_for(600ms);
  WriteString(in.write.get(), "q");
  in.write.Reset();
  const ChildEnd end = Finish(child, out.read.get());
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(seen + end.report, "ready\nbyte 113\nwaited\nidle\nend\nat once\n");
}

// Keys typed after the last one the program takes stay in the terminal,
// for the shell.
TEST_F(PosixTerminalConsoleTest, OnlyTheBytesOfTheKeysTakenAreRead) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        report.Line(Lines(TakeEvents(console, 2)));
        std::this_thread::sleep_for(200ms);  // more than the gap of a sequence
        int left = -1;
        ioctl(0, FIONREAD, &left);
        report.Line("left " + std::to_string(left));
        console.Restore();
      },
      "\x1b[1;1R");
  TypeWhenReady(child, "a\x1b[Bbcd\x1b[A");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(reportSoFar_ + end.report, "ready\nkey vk=41 ch=97\nkey vk=28 ch=0\n\nleft 6\n");
}

TEST_F(PosixTerminalConsoleTest, ANewWindowSizeIsReadAfterAResize) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        frame::ScreenSize size;
        report.Line(console.TakeNewSize(size) ? "resized at once" : "ready");
        bool resized = false;
        for (int i = 0; i < 300 && !resized; ++i) {
          resized = console.TakeNewSize(size);
          if (!resized) usleep(10000);
        }
        report.Line(resized ? std::to_string(size.columns) + "x" + std::to_string(size.rows)
                            : "no resize seen");
        report.Line(console.TakeNewSize(size) ? "told twice" : "told once");
        console.Restore();
      },
      "\x1b[1;1R");
  std::string seen;
  EXPECT_TRUE(ReadUntil(child.report.get(), seen, "ready\n"));
  struct winsize smaller {};
  smaller.ws_col = 60;
  smaller.ws_row = 12;
  EXPECT_EQ(ioctl(terminal_.slave.get(), TIOCSWINSZ, &smaller), 0);  // signals SIGWINCH
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(seen + end.report, "ready\n60x12\ntold once\n");
}

// Called in a child that plays the shell (with SIGTTOU ignored): starts the
// console in a job of its own in the foreground, which reports one event
// and ends; returns once the console has started.
pid_t StartConsoleAsForegroundJob(Report& report) {
  PipePair started = MakePipe();
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    while (tcgetpgrp(0) != getpgrp()) usleep(1000);
    signal(SIGTTOU, SIG_DFL);
    ConsolePort& console = StartConsole(report);
    WriteString(started.write.get(), "s");
    report.Line(Lines(TakeEvents(console, 1, 8000)));
    console.Restore();
    _exit(0);
  }
  setpgid(job, job);
  tcsetpgrp(0, job);
  char byte = 0;
  if (read(started.read.get(), &byte, 1) != 1) report.Line("job did not start");
  return job;
}

// A stop from outside puts the terminal back for the shell; going on in
// the background leaves it so; `fg` sets raw mode and the keypad again,
// and keys then arrive one by one, unechoed.
TEST_F(PosixTerminalConsoleTest, AStopPutsTheTerminalBackAndFgSetsItUpAgain) {
  Child child = StartOnTerminal(
      [](Report& report) {
        // This child plays the shell; the program runs as its job.
        signal(SIGTTOU, SIG_IGN);
        const std::string cooked = ModeText(0);
        const pid_t job = StartConsoleAsForegroundJob(report);
        const auto mode = [&] {
          const std::string now = ModeText(0);
          return now == cooked ? std::string("cooked")
                 : now.find("l=") != std::string::npos &&
                         RawModeText(0).find("icanon") == std::string::npos
                     ? std::string("raw")
                     : std::string("other");
        };
        const auto awaitMode = [&](const std::string& wanted) {
          for (int i = 0; i < 200 && mode() != wanted; ++i) usleep(10000);
          return mode();
        };
        report.Line("started " + mode());
        int status = 0;
        kill(job, SIGTSTP);
        waitpid(job, &status, WUNTRACED);
        report.Line(WIFSTOPPED(status) ? "stopped by " + std::to_string(WSTOPSIG(status))
                                       : "not stopped");
        tcsetpgrp(0, getpgrp());  // the shell takes the terminal
        report.Line("stopped " + mode());
        kill(job, SIGCONT);  // bg
        usleep(200000);
        report.Line("background " + mode());
        tcsetpgrp(0, job);  // fg
        kill(job, SIGCONT);
        report.Line("foreground " + awaitMode("raw"));
        report.Line("ready");
        waitpid(job, &status, 0);
        report.Line(WIFEXITED(status) ? "job ended " + std::to_string(WEXITSTATUS(status))
                                      : "job killed");
        report.Line("after " + mode());
      },
      "\x1b[1;1R");
  TypeWhenReady(child, "k");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(reportSoFar_ + end.report,
            "started raw\nstopped by " + std::to_string(SIGTSTP) +
                "\nstopped cooked\nbackground cooked\nforeground raw\nready\n"
                "key vk=4B ch=107\n\njob ended 0\nafter cooked\n");
  EXPECT_EQ(afterQuery_, kKeypadOff + kKeypadOn + kKeypadOff);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

// Closed standard streams are opened on the null device, so that the file a
// program opens next never takes their place; a closed standard output
// still reads as nothing to write to.
TEST(PosixProcessTest, ClosedStandardStreamsAreOpenedOnTheNullDevice) {
  PipePair report = MakePipe();
  const pid_t pid = fork();
  if (pid == 0) {
    Report out(report.write.get());
    close(0);
    close(1);
    close(2);
    frame::system::OpenClosedStandardStreams();
    struct stat null {};
    stat("/dev/null", &null);
    std::string seen;
    for (int fd = 0; fd < 3; ++fd) {
      struct stat status {};
      const bool isNull =
          fstat(fd, &status) == 0 && status.st_rdev == null.st_rdev && S_ISCHR(status.st_mode);
      const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
      seen += std::to_string(fd) + (isNull ? " null " : " other ") +
              (mode == O_RDONLY   ? "r"
               : mode == O_WRONLY ? "w"
                                  : "rw") +
              "\n";
    }
    const int next = open("/proc/self/exe", O_RDONLY);
    seen += "next " + std::string(next >= 3 ? "above" : "standard") + "\n";
    seen += frame::system::OpenConsole() == nullptr ? "no console\n" : "console\n";
    out.Line(seen);
    _exit(0);
  }
  report.write.Reset();
  std::string seen;
  ReadUntil(report.read.get(), seen, "console\n", 5000);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(seen, "0 null r\n1 null r\n2 null w\nnext above\nno console\n\n");
}

// ---- terminal families and the keyboard-enhancement protocol -------------

// Reads key codes through the frame's key rules on the real console until
// `count` have come, and reports them.
void ReportCodes(ConsolePort& console, Report& report, std::size_t count) {
  testing_support::FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  std::string codes;
  for (std::size_t i = 0; i < count; ++i) codes += std::to_string(frame::ReadKeyCode()) + " ";
  report.Line(codes);
}

TEST_F(PosixTerminalConsoleTest, TermDecidesTheKeypadModeAndWhatTheKeysMean) {
  struct Case {
    const char* term;
    std::string keys;
    std::size_t count;
    std::string codes;
    bool keypad;
  };
  const std::vector<Case> cases = {
      // ESC O Q: F2 on xterm, the keypad's / on the Linux console and PuTTY.
      {"xterm-256color", "\x1bOQ\x1bOA", 4, "0 60 0 72 ", true},
      {"linux", "\x1bOQ\x1b[25~", 4, "0 53 0 86 ", false},
      {"putty-256color", "\x1bOQ\x1bOA", 4, "0 53 0 141 ", false},
      {"rxvt-unicode-256color", "\x1b[7$a\x1bOd", 5, "0 71 97 0 115 ", false},
      {"tmux-256color", "\x1bOP\x1b[1;5D", 4, "0 59 0 115 ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.term);
    screen_.clear();
    reportSoFar_.clear();
    ChildIo io;
    io.term = c.term;
    const std::size_t count = c.count;
    Child child = StartOnTerminal(
        [count](Report& report) {
          ConsolePort& console = StartConsole(report);
          report.Line("ready");
          ReportCodes(console, report, count);
          console.Restore();
        },
        "\x1b[1;1R", io);
    TypeWhenReady(child, c.keys);
    const ChildEnd end = FinishOnTerminal(child);
    EXPECT_TRUE(EndedWithZero(end));
    EXPECT_EQ(end.report, c.codes + "\n");
    EXPECT_EQ(end.output.find(kKeypadOn) != std::string::npos, c.keypad) << end.output;
    EXPECT_EQ(afterQuery_, c.keypad ? kKeypadOff : "");
    EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
  }
}

// A terminal that speaks the protocol: it answers the query before the
// cursor report, and once the flags are pushed it sends every key as a
// report, releases and modifier keys included.
TEST_F(PosixTerminalConsoleTest, AnAnsweringTerminalGetsTheProtocolAndItsReportsGiveConsoleCodes) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        ReportCodes(console, report, 5);
        console.Restore();
      },
      "\x1b[?0u\x1b[1;1R");
  // a; Shift+a with its text; F1 pressed and released; Alt held with
  // keypad 6 and 5, then released: 65.
  TypeWhenReady(child,
                "\x1b[97u\x1b[97;1:3u\x1b[57441;2u\x1b[97;2;65u\x1b[57441;1:3u"
                "\x1b[1;1:1P\x1b[1;1:3P"
                "\x1b[57443;3u\x1b[57405;131u\x1b[57405;131:3u\x1b[57404;131u"
                "\x1b[57404;131:3u\x1b[57443;129:3u");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "97 65 0 59 65 \n");
  EXPECT_EQ(afterQuery_, kProtocolPush + kKeypadOff + kProtocolPop);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, ASilentTerminalGetsNoProtocol) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        ReportCodes(console, report, 2);
        console.Restore();
      },
      "\x1b[1;1R");
  TypeWhenReady(child, "a\x1bOP");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "97 0 \n");
  EXPECT_NE(end.output.find(kProtocolQuery), std::string::npos);
  EXPECT_EQ(afterQuery_, kKeypadOff);
}

TEST_F(PosixTerminalConsoleTest, TheProtocolIsPoppedWhenASignalEndsTheProgram) {
  for (int signalNumber : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    screen_.clear();
    Child child = StartOnTerminal(
        [&](Report& report) {
          StartConsole(report);
          kill(getpid(), signalNumber);
          report.Line("not interrupted");
        },
        "\x1b[?0u\x1b[1;1R");
    const ChildEnd end = FinishOnTerminal(child);
    EXPECT_TRUE(EndedBySignal(end, signalNumber)) << "status " << end.status;
    EXPECT_EQ(afterQuery_, kProtocolPush + kKeypadOff + kProtocolPop);
    EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
  }
}

TEST_F(PosixTerminalConsoleTest, ControlCReportedAsAKeyStillInterrupts) {
  Child child = StartOnTerminal(
      [](Report& report) {
        ConsolePort& console = StartConsole(report);
        report.Line("ready");
        TakeEvents(console, 1, 5000);
        report.Line("not interrupted");
      },
      "\x1b[?0u\x1b[1;1R");
  TypeWhenReady(child, "\x1b[99;5u");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedBySignal(end, SIGINT)) << "status " << end.status;
  EXPECT_EQ(end.report, "");
  EXPECT_EQ(afterQuery_, kProtocolPush + kKeypadOff + kProtocolPop);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

TEST_F(PosixTerminalConsoleTest, AStopPopsTheProtocolAndFgPushesItAgain) {
  Child child = StartOnTerminal(
      [](Report& report) {
        signal(SIGTTOU, SIG_IGN);
        const pid_t job = StartConsoleAsForegroundJob(report);
        int status = 0;
        kill(job, SIGTSTP);
        waitpid(job, &status, WUNTRACED);
        report.Line(WIFSTOPPED(status) ? "stopped" : "not stopped");
        tcsetpgrp(0, getpgrp());
        usleep(100000);
        tcsetpgrp(0, job);  // fg
        kill(job, SIGCONT);
        usleep(200000);
        report.Line("ready");
        waitpid(job, &status, 0);
        report.Line(WIFEXITED(status) ? "job ended " + std::to_string(WEXITSTATUS(status))
                                      : "job killed");
      },
      "\x1b[?0u\x1b[1;1R");
  TypeWhenReady(child, "\x1b[107u");
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(reportSoFar_ + end.report, "stopped\nready\nkey vk=4B ch=107\n\njob ended 0\n");
  EXPECT_EQ(afterQuery_, kProtocolPush + kKeypadOff + kProtocolPop + kKeypadOn + kProtocolPush +
                             kKeypadOff + kProtocolPop);
  EXPECT_EQ(ModeText(terminal_.slave.get()), modeBefore_);
}

// A program that leads its session on its terminal was started in a
// window of its own; one started by a shell (here: a child of the session
// leader) was not.
TEST_F(PosixTerminalConsoleTest, OwnsTheConsoleOnlyAsTheLeaderOfItsTerminalsSession) {
  Child child = StartOnTerminal(
      [](Report& report) {
        const pid_t job = fork();
        if (job == 0) {
          ConsolePort& console = StartConsole(report);
          report.Line(console.OwnsConsole() ? "started by a shell: own"
                                            : "started by a shell: shared");
          console.Restore();
          _exit(0);
        }
        int status = 0;
        waitpid(job, &status, 0);
        ConsolePort& console = StartConsole(report);
        report.Line(console.OwnsConsole() ? "session leader: own" : "session leader: shared");
        console.Restore();
      },
      "\x1b[1;1R");
  // The second start's query goes unanswered: it waits briefly.
  const ChildEnd end = FinishOnTerminal(child);
  EXPECT_TRUE(EndedWithZero(end));
  EXPECT_EQ(end.report, "started by a shell: shared\nsession leader: own\n");
}

TEST(PosixConsoleTest, CodeOffsetsLieWithinTheExecutable) {
  static const char kMarker[] = "marker";
  PipePair out = MakePipe();
  PipePair in = MakePipe();
  Child child = StartChild({.input = in.read.get(), .output = out.write.get()}, [](Report& report) {
    ConsolePort* console = frame::system::OpenConsole();
    report.Line(std::to_string(console != nullptr ? console->CodeOffset(kMarker) : 0));
  });
  const ChildEnd end = Finish(child);
  ASSERT_TRUE(EndedWithZero(end));
  struct stat image {};
  ASSERT_EQ(stat("/proc/self/exe", &image), 0);
  const unsigned long offset = std::stoul(end.report);
  EXPECT_GT(offset, 0u);
  EXPECT_LT(offset, static_cast<unsigned long>(image.st_size));
}

}  // namespace
