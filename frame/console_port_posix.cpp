// The console of a POSIX system. This file holds only POSIX code.
//
// Output goes to a terminal as cursor placements and glyphs, or to a byte
// stream (a pipe, a file) exactly as the frame hands it over. Input comes
// from a terminal in raw mode, decoded into key presses, or from a byte
// stream, one byte per event. Output and input are chosen independently.
// SIGINT, SIGTERM, SIGHUP and SIGQUIT put the terminal back before they end
// the program, and wait while the frame holds interruptions. A stop
// (SIGTSTP) puts the terminal back and SIGCONT sets it up again; SIGWINCH
// has the screen's size read again. Waits for input block in poll(2).
//
// TERM names the terminal's family, which decides what some key sequences
// mean and whether the keypad is put in application mode. A terminal that
// answers the keyboard-enhancement query at start-up has the protocol
// switched on (and off again on every way out, and over a stop), so that
// it reports presses, repeats and releases of every key.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame/stream_console.h"
#include "frame/system_ports.h"
#include "frame/terminal_decoder.h"
#include "frame/terminal_glyphs.h"

// The start of the executable's image, defined by the linker.
extern "C" const char __executable_start[];

namespace frame {
namespace {

constexpr int kStdin = 0;
constexpr int kStdout = 1;
constexpr int kStderr = 2;

constexpr int kCursorReplyWaitMs = 500;  // how long a terminal may take to report its cursor
// Quiet time that ends an escape sequence: long enough that a slow remote
// link does not split one, short enough that a lone Escape feels at once.
constexpr std::int64_t kSequenceGapMs = 100;

constexpr char kKeypadOn[] = "\x1b=";
constexpr char kKeypadOff[] = "\x1b>";
constexpr char kCursorQuery[] = "\x1b[6n";
// The keyboard-enhancement protocol: the query, and the push of the flags
// disambiguate (1), event types (2), every key as an escape code (8) and
// the text a key types (16), and their pop.
constexpr char kProtocolQuery[] = "\x1b[?u";
constexpr char kProtocolPush[] = "\x1b[>27u";
constexpr char kProtocolPop[] = "\x1b[<u";

// ---- what the signal handler uses -------------------------------------
// Written before the handler may look at it, and read there with
// async-signal-safe calls only.

// Where gRawFd stands: its own mode, being switched to raw mode, or in raw
// mode; gSavedTermios is the mode to put back.
enum RawState : sig_atomic_t { kOwnMode, kSwitching, kRaw };
volatile sig_atomic_t gRawState = kOwnMode;
int gRawFd = -1;
struct termios gSavedTermios {};
volatile sig_atomic_t gKeypadSet = 0;    // standard output is in application keypad mode
volatile sig_atomic_t gProtocolSet = 0;  // the keyboard-enhancement flags are pushed
struct termios gRawTermios {};           // the raw mode, to be set again after a stop
// What a stop put back, to be set again when the program goes on.
volatile sig_atomic_t gRawToResume = 0;
volatile sig_atomic_t gKeypadToResume = 0;
volatile sig_atomic_t gProtocolToResume = 0;
volatile sig_atomic_t gResized = 0;  // the window's size changed since it was last read
volatile sig_atomic_t gHoldDepth = 0;
volatile sig_atomic_t gHeldSignal = 0;

constexpr std::array<int, 4> kInterruptions = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, 4> gOldActions{};
std::array<bool, 4> gHandled{};
struct sigaction gOldStop {
}, gOldContinue{}, gOldResize{};
bool gStopHandled = false;
bool gContinueHandled = false;
bool gResizeHandled = false;

sigset_t InterruptionSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterruptions) sigaddset(&set, signal);
  return set;
}

// Puts the terminal back as it was found. Async-signal-safe. Called with
// SIGTTOU blocked, so that it never stops a background job.
void PutTerminalBack() {
  // A switch under way has taken effect only in the foreground: in the
  // background it waits for the job to be brought to the foreground.
  if (gRawState == kRaw || (gRawState == kSwitching && tcgetpgrp(gRawFd) == getpgrp())) {
    tcsetattr(gRawFd, TCSANOW, &gSavedTermios);
  }
  gRawState = kOwnMode;
  if (gKeypadSet != 0) {
    if (write(kStdout, kKeypadOff, sizeof kKeypadOff - 1) < 0) {
      // Nothing more can be done for a terminal that refuses it.
    }
    gKeypadSet = 0;
  }
  if (gProtocolSet != 0) {
    if (write(kStdout, kProtocolPop, sizeof kProtocolPop - 1) < 0) {
      // As above.
    }
    gProtocolSet = 0;
  }
}

// Ends the program by `signal` as if no handler had been installed, with
// the terminal put back. Async-signal-safe.
void EndBySignal(int signal) {
  PutTerminalBack();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);  // inside the handler it is delivered as the handler returns
}

void OnInterruption(int signal) {
  if (gHoldDepth > 0) {
    gHeldSignal = signal;
    return;
  }
  const int savedErrno = errno;
  EndBySignal(signal);
  errno = savedErrno;
}

bool InForeground() { return gRawFd >= 0 && tcgetpgrp(gRawFd) == getpgrp(); }

// Sets raw mode and the keypad mode again after a stop, once the program is
// in the foreground; in the background it waits for the next SIGCONT
// (which `fg` sends). Async-signal-safe.
void ResumeTerminal() {
  if (gRawToResume != 0 && InForeground() && tcsetattr(gRawFd, TCSANOW, &gRawTermios) == 0) {
    gRawToResume = 0;
    gRawState = kRaw;
  }
  if (gKeypadToResume != 0 && gRawToResume == 0) {
    gKeypadToResume = 0;
    gKeypadSet = 1;
    if (write(kStdout, kKeypadOn, sizeof kKeypadOn - 1) < 0) {
      // A terminal that refuses it keeps its numeric keypad.
    }
  }
  if (gProtocolToResume != 0 && gRawToResume == 0) {
    gProtocolToResume = 0;
    gProtocolSet = 1;
    if (write(kStdout, kProtocolPush, sizeof kProtocolPush - 1) < 0) {
      // A terminal that refuses it sends its keys the usual way.
    }
  }
}

// A stop from outside (SIGTSTP): the terminal is put back before the
// program stops, and set up again when it goes on.
void OnStop(int /*signal*/) {
  const int savedErrno = errno;
  const bool wasRaw = gRawState == kRaw;
  const bool hadKeypad = gKeypadSet != 0;
  const bool hadProtocol = gProtocolSet != 0;
  PutTerminalBack();
  gRawToResume = wasRaw ? 1 : 0;
  gKeypadToResume = hadKeypad ? 1 : 0;
  gProtocolToResume = hadProtocol ? 1 : 0;
  struct sigaction stop {};
  struct sigaction mine {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, &mine);
  sigset_t tstp;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  sigset_t previous;
  sigprocmask(SIG_UNBLOCK, &tstp, &previous);
  raise(SIGTSTP);  // the program stops here, and goes on after SIGCONT
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  sigaction(SIGTSTP, &mine, nullptr);
  ResumeTerminal();
  errno = savedErrno;
}

void OnContinue(int /*signal*/) {
  const int savedErrno = errno;
  // A stop that this program did not see (SIGSTOP, SIGTTIN) may have let
  // the shell change the terminal's mode meanwhile.
  if (gRawState == kRaw && gRawToResume == 0) gRawToResume = 1;
  if (gKeypadSet != 0 && gKeypadToResume == 0) gKeypadToResume = 1;
  if (gProtocolSet != 0 && gProtocolToResume == 0) gProtocolToResume = 1;
  ResumeTerminal();
  errno = savedErrno;
}

void OnResize(int /*signal*/) { gResized = 1; }

void InstallInterruptionHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterruption;
  action.sa_mask = InterruptionSet();  // one interruption at a time
  sigaddset(&action.sa_mask, SIGTTOU);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kInterruptions.size(); ++i) {
    struct sigaction old {};
    sigaction(kInterruptions[i], nullptr, &old);
    // A signal that the program was started with ignored stays ignored.
    if (old.sa_handler == SIG_IGN) continue;
    gHandled[i] = sigaction(kInterruptions[i], &action, &gOldActions[i]) == 0;
  }
  // Job control and the window's size.
  struct sigaction other {};
  other.sa_mask = InterruptionSet();
  sigaddset(&other.sa_mask, SIGTTOU);
  other.sa_flags = SA_RESTART;
  other.sa_handler = OnStop;
  struct sigaction old {};
  sigaction(SIGTSTP, nullptr, &old);
  if (old.sa_handler != SIG_IGN) gStopHandled = sigaction(SIGTSTP, &other, &gOldStop) == 0;
  other.sa_handler = OnContinue;
  gContinueHandled = sigaction(SIGCONT, &other, &gOldContinue) == 0;
  other.sa_handler = OnResize;
  gResizeHandled = sigaction(SIGWINCH, &other, &gOldResize) == 0;
  // A reader that goes away must not end the program: the write fails and
  // that output is lost.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void RemoveInterruptionHandlers() {
  for (std::size_t i = 0; i < kInterruptions.size(); ++i) {
    if (gHandled[i]) sigaction(kInterruptions[i], &gOldActions[i], nullptr);
    gHandled[i] = false;
  }
  if (gStopHandled) sigaction(SIGTSTP, &gOldStop, nullptr);
  if (gContinueHandled) sigaction(SIGCONT, &gOldContinue, nullptr);
  if (gResizeHandled) sigaction(SIGWINCH, &gOldResize, nullptr);
  gStopHandled = gContinueHandled = gResizeHandled = false;
  gRawToResume = 0;
  gKeypadToResume = 0;
  gProtocolToResume = 0;
}

// ---- time, reading and writing -------------------------------------------

std::int64_t NowMs() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// A descriptor as the sink of output.
class DescriptorSink final : public ByteSink {
 public:
  explicit DescriptorSink(int fd) : fd_(fd) {}
  long WriteSome(std::span<const std::uint8_t> bytes) override {
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    if (written > 0) return static_cast<long>(written);
    if (written < 0 && errno == EINTR) return 0;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd ready {
        fd_, POLLOUT, 0
      };
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
      return 0;
    }
    return -1;
  }

 private:
  int fd_;
};

// Appends the next byte of `fd` to `into`, waiting at most `timeoutMs` (-1:
// without limit) for it to arrive. One byte at a time, so that the bytes no
// key needs stay for whoever reads the input next. False at the end of the
// input (end of file, hang-up, error).
bool ReadWaiting(int fd, int timeoutMs, std::vector<std::uint8_t>& into) {
  struct pollfd ready {
    fd, POLLIN, 0
  };
  const int count = poll(&ready, 1, timeoutMs);
  if (count < 0) return errno == EINTR || errno == EAGAIN || errno == ENOMEM;
  if (count == 0) return true;
  if ((ready.revents & POLLNVAL) != 0) return false;
  std::uint8_t byte = 0;
  const ssize_t got = read(fd, &byte, 1);
  if (got > 0) {
    into.push_back(byte);
    return true;
  }
  // poll reported the file ready, so no bytes means end of file or hang-up.
  if (got == 0) return false;
  return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
}

// Standard input as the source of a byte stream.
class StandardInputSource final : public ByteSource {
 public:
  bool Read(std::vector<std::uint8_t>& into, bool wait) override {
    return ReadWaiting(kStdin, wait ? -1 : 0, into);
  }
};

// Whether the user's locale encodes characters as UTF-8. The program's own
// locale is left as it was.
bool LocaleIsUtf8() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string previous = current != nullptr ? current : "C";
  bool utf8 = false;
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    const char* codeset = nl_langinfo(CODESET);
    utf8 = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
  }
  std::setlocale(LC_CTYPE, previous.c_str());
  return utf8;
}

void AppendNumber(StreamOutput& out, int value) {
  std::array<char, 16> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.Append(std::string_view(digits.data(), static_cast<std::size_t>(result.ptr - digits.data())));
}

// ---- the console ------------------------------------------------------

class PosixConsole final : public ConsolePort {
 public:
  PosixConsole(bool outputIsTerminal, bool inputIsTerminal)
      : outputTerminal_(outputIsTerminal), inputTerminal_(inputIsTerminal) {}
  ~PosixConsole() override { Restore(); }
  PosixConsole(const PosixConsole&) = delete;
  PosixConsole& operator=(const PosixConsole&) = delete;

  ConsoleStart Start() override {
    ConsoleStart start;
    start.kind = outputTerminal_ ? ConsoleKind::kScreen : ConsoleKind::kStream;
    if (started_) return start;
    started_ = true;
    InstallInterruptionHandlers();
    utf8_ = LocaleIsUtf8();
    const char* term = std::getenv("TERM");
    family_ = FamilyOfTerm(term != nullptr ? term : "");

    // Raw mode on the terminal the keys are typed at, so that they do not
    // echo and arrive one by one.
    if (inputTerminal_) {
      ttyFd_ = kStdin;
    } else if (outputTerminal_) {
      ttyFd_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
      ttyOpened_ = ttyFd_ >= 0;
    }
    const bool raw = ttyFd_ >= 0 && EnterRawMode();
    // A program that leads its own session on this terminal was started in
    // a terminal window of its own, which closes when it ends.
    ownTerminal_ = ttyFd_ >= 0 && getsid(0) == getpid() && tcgetsid(ttyFd_) == getpid();
    if (!outputTerminal_) return start;

    start.rowsFromOutputStart = true;
    glyphs_ = GlyphTable(utf8_);
    struct winsize window {};
    if (ioctl(kStdout, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
      sizeKnown_ = true;
      size_ = {window.ws_col, window.ws_row};
      start.sizeKnown = true;
      start.size = size_;
    }
    // Where the application keypad would hide keys (its Num-Lock-off keys
    // sending the digits' forms), the keypad stays numeric.
    if (ApplicationKeypadFits(family_)) {
      gKeypadSet = 1;
      out_.Append(kKeypadOn);
    }
    // The enhancement query goes before the cursor query: a terminal that
    // knows it answers first, one that does not answers only the second.
    const bool askProtocol = raw && inputTerminal_;
    if (askProtocol) out_.Append(kProtocolQuery);
    if (raw) out_.Append(kCursorQuery);
    Flush();
    if (raw && AwaitCursorReport(start.cursor)) {
      start.cursorKnown = true;
      cursorKnown_ = true;
      cursor_ = start.cursor;
    }
    if (askProtocol && protocolAnswered_) {
      // Set first, so that an interruption from here on pops it.
      gProtocolSet = 1;
      std::atomic_signal_fence(std::memory_order_seq_cst);
      out_.Append(kProtocolPush);
      Flush();
    }
    return start;
  }

  void DrawRun(CellPosition first, std::span<const std::uint8_t> glyphs) override {
    if (!outputTerminal_ || glyphs.empty()) return;
    MoveTo(first);
    for (std::uint8_t code : glyphs) out_.Append(glyphs_[code]);
    const int next = first.column + static_cast<int>(glyphs.size());
    // Past the last column the terminal waits to wrap; where it stands then
    // differs from one terminal to another.
    cursorKnown_ = sizeKnown_ && next <= size_.columns;
    cursor_ = {next, first.row};
  }

  void ScrollUp() override {
    if (!outputTerminal_) return;
    // A line feed on the last row scrolls the whole screen.
    out_.Append("\x1b[");
    AppendNumber(out_, sizeKnown_ ? size_.rows : 999);
    out_.Append(";1H\n");
    cursorKnown_ = false;
  }

  void PlaceCursor(CellPosition at) override {
    if (outputTerminal_) MoveTo(at);
  }

  void WriteStream(std::span<const std::uint8_t> bytes) override {
    // A terminal is only ever sent glyphs and the sequences made here.
    if (outputTerminal_) return;
    out_.Append(bytes);
  }

  void Flush() override {
    DescriptorSink sink(kStdout);
    out_.Flush(sink);
  }

  bool TakeEvent(ConsoleEvent& event) override {
    return inputTerminal_ ? TakeTerminalEvent(event) : streamIn_.Take(stdinSource_, event);
  }

  void WaitForInput() override {
    if (!inputTerminal_) {
      streamIn_.Wait(stdinSource_);
      return;
    }
    if (inputEnded_) return;
    // An incomplete sequence waits for its rest only until the gap has
    // passed; then it is taken as what it is.
    int timeoutMs = -1;
    if (!pending_.empty()) {
      timeoutMs = static_cast<int>(
          std::clamp<std::int64_t>(kSequenceGapMs - (NowMs() - lastByteMs_), 0, kSequenceGapMs));
    }
    struct pollfd ready {
      kStdin, POLLIN, 0
    };
    poll(&ready, 1, timeoutMs);  // a signal ends the wait early; the caller looks again
  }

  bool TakeNewSize(ScreenSize& size) override {
    if (!outputTerminal_ || gResized == 0) return false;
    gResized = 0;
    struct winsize window {};
    if (ioctl(kStdout, TIOCGWINSZ, &window) != 0 || window.ws_col == 0 || window.ws_row == 0) {
      return false;
    }
    const ScreenSize now{window.ws_col, window.ws_row};
    // The terminal may have moved its cursor while it reflowed the screen.
    cursorKnown_ = false;
    if (sizeKnown_ && now == size_) return false;
    sizeKnown_ = true;
    size_ = now;
    size = now;
    return true;
  }

  void HoldInterruptions(bool hold) override {
    if (hold) {
      gHoldDepth = gHoldDepth + 1;
      return;
    }
    if (gHoldDepth > 0) gHoldDepth = gHoldDepth - 1;
    if (gHoldDepth == 0 && gHeldSignal != 0) {
      const int signal = gHeldSignal;
      gHeldSignal = 0;
      Flush();
      EndBySignal(signal);
    }
  }

  void Restore() override {
    if (!started_ || restored_) return;
    restored_ = true;
    Flush();
    sigset_t blocked = InterruptionSet();
    sigaddset(&blocked, SIGTTOU);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    PutTerminalBack();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (ttyOpened_) close(ttyFd_);
    ttyFd_ = -1;
    ttyOpened_ = false;
    RemoveInterruptionHandlers();
  }

  bool OwnsConsole() const override { return ownTerminal_; }

  std::uint32_t CodeOffset(const void* address) const override {
    const auto offset = reinterpret_cast<std::uintptr_t>(address) -
                        reinterpret_cast<std::uintptr_t>(__executable_start);
    return static_cast<std::uint32_t>(offset);
  }

 private:
  bool EnterRawMode() {
    struct termios old {};
    if (tcgetattr(ttyFd_, &old) != 0) return false;
    struct termios raw = old;
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    // ISIG stays: Ctrl+C interrupts the program. Ctrl+\ and Ctrl+Z are keys.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    raw.c_cc[VQUIT] = static_cast<cc_t>(_POSIX_VDISABLE);
    raw.c_cc[VSUSP] = static_cast<cc_t>(_POSIX_VDISABLE);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    // The mode to put back is recorded first, so that an interruption
    // during the switch puts it back too; it counts once the switch worked.
    gRawFd = ttyFd_;
    gSavedTermios = old;
    gRawTermios = raw;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gRawState = kSwitching;
    // TCSANOW: keys typed before the start stay waiting.
    const bool switched = tcsetattr(ttyFd_, TCSANOW, &raw) == 0;
    gRawState = switched ? kRaw : kOwnMode;
    if (!switched && ttyOpened_) {
      close(ttyFd_);
      ttyFd_ = -1;
      ttyOpened_ = false;
    }
    return switched;
  }

  // Reads the terminal's answer to the cursor query. Keys typed before or
  // after it are kept when the keys come from this terminal.
  bool AwaitCursorReport(CellPosition& cursor) {
    std::vector<std::uint8_t> got;
    const std::int64_t deadline = NowMs() + kCursorReplyWaitMs;
    bool found = false;
    for (;;) {
      if (const auto answer = FindKeyboardFlagsReport(got)) {
        const auto at = got.begin() + static_cast<std::ptrdiff_t>(answer->offset);
        got.erase(at, at + static_cast<std::ptrdiff_t>(answer->length));
        protocolAnswered_ = true;
        continue;
      }
      if (const auto report = FindCursorReport(got)) {
        cursor = report->position;
        const auto at = got.begin() + static_cast<std::ptrdiff_t>(report->offset);
        got.erase(at, at + static_cast<std::ptrdiff_t>(report->length));
        found = true;
        break;
      }
      const std::int64_t left = deadline - NowMs();
      if (left <= 0 || !ReadWaiting(ttyFd_, static_cast<int>(left), got)) break;
    }
    if (inputTerminal_) {
      pending_ = std::move(got);
      lastByteMs_ = NowMs();
      reportOutstanding_ = !found;
    }
    return found;
  }

  void MoveTo(CellPosition at) {
    if (cursorKnown_ && cursor_ == at) return;
    out_.Append("\x1b[");
    AppendNumber(out_, at.row);
    out_.Append(";");
    AppendNumber(out_, at.column);
    out_.Append("H");
    cursorKnown_ = true;
    cursor_ = at;
  }

  // Ctrl+C pressed (or repeated), without Alt, while the enhancement
  // protocol is on; without it, the terminal itself turns Ctrl+C into
  // SIGINT.
  static bool IsInterruptKey(const ConsoleEvent& event) {
    return gProtocolSet != 0 && event.kind == ConsoleEventKind::kKey && event.pressed &&
           event.virtualKey == 'C' && (event.modifiers & keystate::kAnyCtrl) != 0 &&
           (event.modifiers & keystate::kAnyAlt) == 0;
  }

  void DropPending(std::size_t count) {
    count = std::clamp<std::size_t>(count, 1, pending_.size());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
  }

  // Decodes what has been read; false when it is empty or an incomplete
  // sequence that may still complete.
  bool DecodePending(ConsoleEvent& event) {
    while (!pending_.empty()) {
      if (reportOutstanding_) {
        // A late answer to the cursor query is not a key.
        const auto report = FindCursorReport(pending_);
        if (report && report->offset == 0) {
          DropPending(report->length);
          reportOutstanding_ = false;
          continue;
        }
      }
      const bool moreMayFollow = !inputEnded_ && NowMs() - lastByteMs_ < kSequenceGapMs;
      const DecodeResult result = DecodeTerminalInput(pending_, moreMayFollow, utf8_, family_);
      if (result.status == DecodeStatus::kEvent) {
        DropPending(result.consumed);
        if (IsInterruptKey(result.event)) {
          // The terminal reports Ctrl+C as a key once the enhancement
          // protocol is on: it interrupts the program all the same, as
          // the terminal's own Ctrl+C does.
          kill(0, SIGINT);
          continue;
        }
        event = result.event;
        return true;
      }
      if (result.status == DecodeStatus::kNeedMore && moreMayFollow) return false;
      // Discarded bytes, or the first byte of a sequence that can no longer
      // complete.
      DropPending(result.status == DecodeStatus::kDiscard ? result.consumed : 1);
    }
    return false;
  }

  // Reads from the terminal only the bytes the next key needs: one, and
  // more only while a sequence is incomplete, so that keys typed after the
  // last one the program takes are left for the shell.
  bool TakeTerminalEvent(ConsoleEvent& event) {
    for (;;) {
      if (DecodePending(event)) return true;
      if (inputEnded_) {
        event = EndOfInput();
        return true;
      }
      const std::size_t before = pending_.size();
      inputEnded_ = !ReadWaiting(kStdin, 0, pending_);
      if (pending_.size() != before) {
        lastByteMs_ = NowMs();
      } else if (!inputEnded_) {
        return false;
      }
    }
  }

  const bool outputTerminal_;
  const bool inputTerminal_;
  bool started_ = false;
  bool restored_ = false;

  // Output.
  StreamOutput out_;  // everything since the last Flush
  std::array<std::string, 256> glyphs_;
  bool sizeKnown_ = false;
  ScreenSize size_;
  bool cursorKnown_ = false;  // the terminal's cursor stands on cursor_
  CellPosition cursor_;

  // Input.
  int ttyFd_ = -1;          // the terminal in raw mode, if any
  bool ttyOpened_ = false;  // ttyFd_ was opened here and is closed on Restore
  bool utf8_ = false;
  std::vector<std::uint8_t> pending_;  // terminal: read, not yet decoded
  StandardInputSource stdinSource_;
  StreamInput streamIn_;  // standard input that is not a terminal
  std::int64_t lastByteMs_ = 0;
  bool inputEnded_ = false;
  bool reportOutstanding_ = false;  // the cursor report may still come among the keys
  bool protocolAnswered_ = false;   // the terminal answered the enhancement query
  TerminalFamily family_ = TerminalFamily::kXterm;
  bool ownTerminal_ = false;  // the program leads its session on its terminal
};

PosixConsole* gConsole = nullptr;

void RestoreAtExit() {
  if (gConsole != nullptr) gConsole->Restore();
}

}  // namespace

ConsolePort* system::OpenConsole() {
  const int flags = fcntl(kStdout, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
    std::string message(kNoConsoleMessage);
    message += '\n';
    if (write(kStderr, message.data(), message.size()) < 0) {
      // Nowhere else to say it.
    }
    return nullptr;
  }
  static PosixConsole console(isatty(kStdout) == 1, isatty(kStdin) == 1);
  if (gConsole == nullptr) {
    gConsole = &console;
    // Registered after the console was made, so it runs before its destructor.
    std::atexit(RestoreAtExit);
  }
  return &console;
}

}  // namespace frame
