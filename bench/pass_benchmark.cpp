// Times the file passes on a 32 MiB file in a scratch folder, through the
// system's own file port:
//   plain    a read and write of the file in place, 32 KiB blocks, pread and
//            pwrite, then fsync: the floor that any in-place pass stands on;
//   pelloran the map cell pass with its flush, on random contents;
//   oskebar  the word byte-order pass with its flush;
//   objcopy  objcopy -I binary -O binary --reverse-bytes=4 into a second file.
// Each is run several times on freshly written random contents; the median
// is shown, with the ratios of each pass to the plain rewrite and of oskebar
// to objcopy.
//
// Then whole processes, as a user runs them, on files of 32 MiB and 256 MiB:
// the built pelloran, dravimund and oskebar, each started on the file with
// standard input and output on /dev/null, against the floor run the same
// way: this program started again to do nothing but the plain rewrite.
// Start-up, the open and hold, the pass, the flush and the end are all in
// the figure. On a tmpfs folder the file stays in memory, so the figure is
// the user-space cost against the kernel's copies alone, the harshest case.
//
// Usage: pass_benchmark [scratch folder] [repetitions]
//        pass_benchmark --floor file   (the plain rewrite, as a process)
#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "byteorder/reverse_word_bytes.h"
#include "frame/system_ports.h"
#include "frame/target_file.h"
#include "frame/tool_frame.h"
#include "mapcells/clean_map.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileSize = 33554432;
constexpr std::size_t kBlockSize = 32768;

// A console that shows nothing and always has a key waiting.
class NullConsole final : public frame::ConsolePort {
 public:
  frame::ConsoleStart Start() override {
    frame::ConsoleStart start;
    start.kind = frame::ConsoleKind::kStream;
    return start;
  }
  void DrawRun(frame::CellPosition, std::span<const std::uint8_t>) override {}
  void ScrollUp() override {}
  void PlaceCursor(frame::CellPosition) override {}
  void WriteStream(std::span<const std::uint8_t>) override {}
  void Flush() override {}
  bool TakeEvent(frame::ConsoleEvent& event) override {
    event = frame::ConsoleEvent{};
    event.kind = frame::ConsoleEventKind::kByte;
    event.character = 'k';
    return true;
  }
  void WaitForInput() override {}
  void HoldInterruptions(bool) override {}
  void Restore() override {}
  std::uint32_t CodeOffset(const void*) const override { return 0; }
};

void WriteRandomFile(const fs::path& path, std::uint32_t seed, std::size_t size = kFileSize) {
  std::mt19937 random(seed);
  std::vector<std::uint32_t> words(size / 4);
  for (auto& word : words) word = static_cast<std::uint32_t>(random());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(size));
  out.close();
  // Start every run from the same state: the contents on storage.
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The in-place rewrite with nothing in between: read a block, write it back.
std::optional<double> PlainRewrite(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return std::nullopt;
  std::vector<std::uint8_t> block(kBlockSize);
  const auto begin = Clock::now();
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fd, block.data(), block.size(), offset);
    if (got <= 0) break;
    if (pwrite(fd, block.data(), static_cast<std::size_t>(got), offset) != got) break;
    offset += got;
  }
  fsync(fd);
  const auto end = Clock::now();
  close(fd);
  return Seconds(end - begin);
}

// The time from a process's start to its end, and the processor time it
// took (user and system), which a busy machine disturbs less.
struct ProcessTimes {
  double elapsed;
  double cpu;
};

// A whole process: `program` with `arguments`, standard input and output on
// /dev/null, timed from its start to its end; nothing when it fails.
std::optional<ProcessTimes> WholeProcess(const std::string& program,
                                         const std::vector<std::string>& arguments) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto begin = Clock::now();
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  const double elapsed = Seconds(Clock::now() - begin);
  const auto cpu = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return ProcessTimes{elapsed, cpu(usage.ru_utime) + cpu(usage.ru_stime)};
}

bool IsTmpfs(const fs::path& folder) {
  struct statfs info {};
  return statfs(folder.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// The pass of a tool, run as the tool runs it: the frame opens the file on
// the system's file port, and only the pass and its flush are timed.
std::function<void(frame::TargetFile&)> g_pass;
double g_passSeconds = 0;

void TimedPassAction(std::string_view argument) {
  std::optional<frame::TargetFile> file = frame::OpenTargetOrReport(argument);
  if (!file) return;
  const auto begin = Clock::now();
  g_pass(*file);
  file->FlushToStorage();
  g_passSeconds = Seconds(Clock::now() - begin);
  file->CloseTarget();
}

std::optional<double> ToolPass(const fs::path& path, std::function<void(frame::TargetFile&)> pass) {
  NullConsole console;
  g_pass = std::move(pass);
  g_passSeconds = -1;
  const frame::ToolDefinition tool{"Benchmark", {"usage"}, TimedPassAction};
  const int status =
      frame::RunToolOn(tool, console, frame::system::Files(), {"pass_benchmark", path.string()});
  if (status != 0 || g_passSeconds < 0) return std::nullopt;
  return g_passSeconds;
}

bool HaveObjcopy() {
  const char* pathList = std::getenv("PATH");
  if (pathList == nullptr) return false;
  std::string paths(pathList);
  std::size_t from = 0;
  while (from <= paths.size()) {
    const std::size_t to = std::min(paths.find(':', from), paths.size());
    const fs::path candidate = fs::path(paths.substr(from, to - from)) / "objcopy";
    if (access(candidate.c_str(), X_OK) == 0) return true;
    from = to + 1;
  }
  return false;
}

std::optional<double> Objcopy(const fs::path& in, const fs::path& out) {
  std::string a0 = "objcopy", a1 = "-I", a2 = "binary", a3 = "-O", a4 = "binary",
              a5 = "--reverse-bytes=4", a6 = in.string(), a7 = out.string();
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(),
                  a5.data(), a6.data(), a7.data(), nullptr};
  const auto begin = Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "objcopy", nullptr, nullptr, argv, environ) != 0) return std::nullopt;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return Seconds(Clock::now() - begin);
}

struct Measure {
  const char* name;
  std::function<std::optional<double>()> run;
  std::vector<double> times;
  bool failed = false;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

struct WholeMeasure {
  const char* name;
  std::string program;
  std::vector<double> times;
  std::vector<double> cpuTimes;
  bool failed = false;
};

// Whole processes on a file of `size` bytes, interleaved as above.
void MeasureWholeProcesses(const fs::path& file, std::size_t size, int repetitions) {
  std::vector<WholeMeasure> measures{
      {"floor", fs::read_symlink("/proc/self/exe").string(), {}, {}},
      {"pelloran", CNC64_PELLORAN_PATH, {}, {}},
      {"dravimund", CNC64_DRAVIMUND_PATH, {}, {}},
      {"oskebar", CNC64_OSKEBAR_PATH, {}, {}},
  };
  std::uint32_t seed = 1000;
  for (int r = 0; r < repetitions; ++r) {
    for (WholeMeasure& m : measures) {
      WriteRandomFile(file, seed++, size);
      const auto seconds = &m == &measures.front()
                               ? WholeProcess(m.program, {"--floor", file.string()})
                               : WholeProcess(m.program, {file.string()});
      if (seconds) {
        m.times.push_back(seconds->elapsed);
        m.cpuTimes.push_back(seconds->cpu);
      } else {
        m.failed = true;
      }
    }
  }
  std::printf("whole processes, %zu MiB file, %d repetitions each, median times\n", size >> 20,
              repetitions);
  const WholeMeasure& floor = measures.front();
  for (const WholeMeasure& m : measures) {
    if (m.failed || m.times.empty()) {
      std::printf("  %-9s failed\n", m.name);
      continue;
    }
    const double median = Median(m.times);
    const double cpu = Median(m.cpuTimes);
    if (&m == &floor || floor.failed) {
      std::printf("  %-9s %8.1f ms  (processor %6.1f ms)\n", m.name, median * 1000, cpu * 1000);
    } else {
      std::printf(
          "  %-9s %8.1f ms  (processor %6.1f ms)  %s/floor %.2f, processor %.2f"
          " (goal at most 1.2)\n",
          m.name, median * 1000, cpu * 1000, m.name, median / Median(floor.times),
          cpu / Median(floor.cpuTimes));
    }
  }
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--floor") return PlainRewrite(argv[2]) ? 0 : 1;
  const fs::path base =
      argc > 1 && argv[1][0] != '\0' ? fs::path(argv[1]) : fs::temp_directory_path();
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  std::error_code error;
  const fs::path folder = base / ("pass_benchmark." + std::to_string(getpid()));
  fs::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "pass_benchmark: cannot make %s\n", folder.c_str());
    return 1;
  }
  const fs::path file = folder / "image.bin";
  const fs::path copy = folder / "objcopy.out";

  std::vector<Measure> measures;
  measures.push_back({"plain", [&] { return PlainRewrite(file); }, {}});
  measures.push_back({"pelloran",
                      [&] {
                        return ToolPass(file, [](frame::TargetFile& f) {
                          mapcells::CleanOpenMap(mapcells::kPelloranRule, f);
                        });
                      },
                      {}});
  measures.push_back({"oskebar", [&] { return ToolPass(file, byteorder::ReverseOpenWords); }, {}});
  const bool objcopy = HaveObjcopy();
  if (objcopy) measures.push_back({"objcopy", [&] { return Objcopy(file, copy); }, {}});

  std::printf("file: %zu bytes in %s, %d repetitions each, median times\n", kFileSize,
              folder.c_str(), repetitions);
  std::uint32_t seed = 1;
  // Interleaved, so that a slow spell of the machine falls on every measure.
  for (int r = 0; r < repetitions; ++r) {
    for (Measure& m : measures) {
      WriteRandomFile(file, seed++);
      if (const auto seconds = m.run()) {
        m.times.push_back(*seconds);
      } else {
        m.failed = true;
      }
    }
  }

  auto median = [&](const char* name) -> std::optional<double> {
    for (const Measure& m : measures) {
      if (std::string(m.name) == name && !m.failed && !m.times.empty()) return Median(m.times);
    }
    return std::nullopt;
  };
  for (const Measure& m : measures) {
    if (m.failed || m.times.empty()) {
      std::printf("%-9s failed\n", m.name);
    } else {
      std::printf("%-9s %8.1f ms\n", m.name, Median(m.times) * 1000);
    }
  }
  if (!objcopy) std::printf("objcopy   not found: skipped\n");

  const auto plain = median("plain");
  for (const char* pass : {"pelloran", "oskebar"}) {
    const auto t = median(pass);
    if (plain && t) std::printf("%s/plain   %.2f (goal at most 1.2)\n", pass, *t / *plain);
  }
  const auto oskebar = median("oskebar");
  const auto reference = median("objcopy");
  if (oskebar && reference)
    std::printf("oskebar/objcopy %.2f (goal below 1)\n", *oskebar / *reference);

  std::printf("%s is %s\n", folder.c_str(), IsTmpfs(folder) ? "on tmpfs" : "not on tmpfs");
  for (const std::size_t size : {kFileSize, std::size_t{268435456}}) {
    MeasureWholeProcesses(file, size, repetitions);
  }
  fs::remove_all(folder, error);
  return 0;
}
