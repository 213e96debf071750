// Script export benchmark: generates large HII images (scale 1 and 4), and for each runs the
// export in a fresh child process (so that its peak memory is its own), reporting the export
// time, its CPU time and peak resident memory against the targets:
//   - plain image, /o /s: the 4x export costs at most 4.5 times the 1x export, and peak memory
//     stays under four times the HII database size plus the script size;
//   - conditions image, /o /s /sp /g /ce with condition evaluation initialised: the 1x export
//     computes in under 0.5 s and the 4x export costs at most 4.5 times the 1x export;
//   - nested image (one question under N nested suppress-if scopes, N = 80,000 by default),
//     /o /s /sp /g /ce: well under a second;
//   - older-layout image (20,000 questions in 100 data tables at scale 1), /o /s: the 4x export
//     costs at most 4.5 times the 1x export.
// Each figure is the best of --runs runs (5), the scales of a variant taking turns run after run.
// Usage: kestrel-bench-export [--scales 1,4] [--runs 5] [--variants plain,conditions,nested,older]
//                             [--depth N]
//
// With --emulator (scale 1 unless --scales is given) it measures the export end to end instead:
// the built KESLNX_64 reads the HII database and the variables through the mailbox of a mounted
// kestrel-fwemu serving the generated image, and the time of the whole run is reported against
// the target of 5 s at scale 1. An extra, untimed run with the emulator's request log checks
// that the mailbox round trips are one size query plus one request per 876 bytes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/run_state.h"
#include "base/text.h"
#include "firmware/firmware_access.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/older_layout.h"
#include "hii/strings.h"
#include "script/export.h"
#include "devtools/bench/bench_options.h"
#include "devtools/bench/child_process.h"
#include "devtools/hiibuild/generators.h"

extern char** environ;

namespace {

// Which image is exported, and how.
enum class Variant { Plain, Conditions, Nested, Older };

const char* VariantName(Variant v) {
  switch (v) {
    case Variant::Plain: return "plain";
    case Variant::Conditions: return "conditions";
    case Variant::Nested: return "nested";
    case Variant::Older: return "older";
  }
  return "";
}

std::optional<Variant> ParseVariant(std::string_view text) {
  for (Variant v : {Variant::Plain, Variant::Conditions, Variant::Nested, Variant::Older})
    if (text == VariantName(v)) return v;
  return std::nullopt;
}

struct Measurement {
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKiB = 0;
  size_t scriptBytes = 0;
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Peak resident memory of this process since its exec (VmHWM), in KiB; 0 when unknown. The
// rusage peak of a forked child also counts the parent's memory it shared before the exec, which
// after a large image is more than the export's own.
long OwnPeakKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long peak = 0;
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &peak) == 1) break;
  }
  std::fclose(status);
  return peak;
}

// The export itself, in a process of its own (started by RunExport) so that its peak memory
// is not inflated by the generator's. With conditions, the evaluator is initialised as the
// driver does before an export, and its initialisation is timed with the export.
int ExportChild(Variant variant, const std::string& hiiPath, const std::string& scriptPath,
                const std::string& firmwareRoot) {
  bool conditions = variant == Variant::Conditions || variant == Variant::Nested;
  kes::HiiFormat format = variant == Variant::Older ? kes::HiiFormat::Older : kes::HiiFormat::Uefi;
  std::optional<std::vector<uint8_t>> image = kes::ReadWholeFile(hiiPath);
  if (!image) return 2;
  kes::RunState run;
  for (kes::Switch s : {kes::Switch::O, kes::Switch::S, kes::Switch::Q}) run.switches.Set(s);
  if (conditions) {
    for (kes::Switch s : {kes::Switch::Sp, kes::Switch::G, kes::Switch::Ce}) run.switches.Set(s);
  }
  kes::FirmwareAccess firmware(firmwareRoot, true);
  std::FILE* out = std::fopen(scriptPath.c_str(), "w+");
  if (!out) return 2;
  auto start = std::chrono::steady_clock::now();
  double cpuStart = ProcessCpuSeconds();
  // An image the tool does not take in the intended layout would export nothing and time nothing.
  const kes::HiiDatabase database(*image);
  if (database.Format() != format) {
    std::fclose(out);
    return 2;
  }
  kes::StringOptions stringOptions = kes::StringOptions::FromRun(run);
  if (format == kes::HiiFormat::Older) stringOptions.olderLanguage = kes::older::ReadLanguage(firmware);
  const kes::StringLookup strings(database, std::move(stringOptions));
  kes::Evaluator evaluator(database, strings, firmware);
  if (conditions && evaluator.InitializeEvaluation() != kes::efi::kSuccess) {
    std::fclose(out);
    return 2;
  }
  const kes::SetupContext setup{run, firmware, database, strings, conditions ? &evaluator : nullptr};
  kes::Status status = kes::ExportScriptTo(setup, out, nullptr, false);
  std::fclose(out);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = ProcessCpuSeconds() - cpuStart;
  std::printf("%u %.6f %.6f %ld\n", status, seconds, cpu, OwnPeakKiB());
  return status == 0 ? 0 : 1;
}

// nullopt when the child could not be started or its export failed.
std::optional<Measurement> RunExport(const char* self, Variant variant, const std::string& hiiPath,
                                     const std::string& scriptPath, const std::string& firmwareRoot) {
  auto child = kes::bench::RunChild({self, "--export-child", VariantName(variant), hiiPath, scriptPath, firmwareRoot});
  if (!child) return std::nullopt;
  const char* buffer = child->out.c_str();
  const rusage& usage = child->usage;
  Measurement m;
  unsigned exportStatus = 1;
  if (std::sscanf(buffer, "%u %lf %lf %ld", &exportStatus, &m.seconds, &m.cpuSeconds, &m.peakKiB) != 4 ||
      exportStatus != 0) {
    std::fprintf(stderr, "export failed (status %u)\n", exportStatus);
    return std::nullopt;
  }
  if (m.peakKiB <= 0) m.peakKiB = usage.ru_maxrss;
  struct stat st {};
  if (stat(scriptPath.c_str(), &st) == 0) m.scriptBytes = static_cast<size_t>(st.st_size);
  return m;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kestrel-bench-export [--emulator] [--scales N[,N...]] [--runs N] [--variants V[,V...]] [--depth N]\n"
               "       (scales from 1 to 64; variants plain, conditions, nested, older; depth from 1 to 1000000)\n");
  return 2;
}

// "plain,nested" -> {Plain, Nested}; nullopt on an unknown name.
std::optional<std::vector<Variant>> ParseVariants(std::string_view text) {
  std::vector<Variant> variants;
  while (true) {
    size_t comma = text.find(',');
    auto variant = ParseVariant(text.substr(0, comma));
    if (!variant) return std::nullopt;
    variants.push_back(*variant);
    if (comma == std::string_view::npos) return variants;
    text.remove_prefix(comma + 1);
  }
}

kes::hiibuild::LargeImage BuildImage(Variant variant, unsigned scale) {
  switch (variant) {
    case Variant::Plain: return kes::hiibuild::BuildLargeImage(scale);
    case Variant::Conditions: return kes::hiibuild::BuildLargeImage(scale, kes::hiibuild::LargeImageKind::Conditions);
    case Variant::Nested: return kes::hiibuild::BuildNestedConditionsImage(scale);
    case Variant::Older: return kes::hiibuild::BuildLargeOlderImage(scale);
  }
  return {};
}

// The image of one scale (for the nested variant: one depth), written to its own directory
// (hii.bin and the efivars of firmware/).
struct PreparedImage {
  unsigned size = 0;
  std::string dir;
  size_t hiiBytes = 0, questions = 0, strings = 0;
  std::optional<Measurement> best;
};

std::optional<PreparedImage> PrepareImage(const std::string& dir, Variant variant, unsigned size) {
  kes::hiibuild::LargeImage image;
  try {
    image = BuildImage(variant, size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scale %u: %s\n", size, e.what());
    return std::nullopt;
  }
  PreparedImage p;
  p.size = size;
  p.dir = dir + "/" + VariantName(variant) + "-" + std::to_string(size);
  p.hiiBytes = image.hii.size();
  p.questions = image.questions;
  p.strings = image.stringsPerLanguage;
  std::error_code ec;
  std::filesystem::create_directories(p.dir, ec);
  if (ec || kes::WriteFile(p.dir + "/hii.bin", image.hii) != 0) return std::nullopt;
  std::string error = kes::hiibuild::WriteVariableFiles(p.dir + "/firmware/efi/efivars", image.variables);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return std::nullopt;
  }
  return p;
}

// One variant at every scale (the nested variant at its one depth), with its targets: every
// image prepared first, then the scales take turns run after run, so that a slow spell of the
// machine falls on all of them rather than on one scale's runs. False when a step failed.
bool MeasureVariant(const std::string& dir, Variant variant, const std::vector<unsigned>& scales, unsigned depth,
                    int runs) {
  static const char* const kTitles[] = {"plain image, /o /s", "conditions image, /o /s /sp /g /ce",
                                        "nested conditions, /o /s /sp /g /ce", "older-layout image, /o /s"};
  std::printf("\n%s\n", kTitles[static_cast<int>(variant)]);
  std::printf("%-6s %10s %10s %8s %10s %8s %10s %10s %12s\n", variant == Variant::Nested ? "depth" : "scale", "hii(MB)",
              "questions", "strings", "export(s)", "cpu(s)", "peak(MB)", "script(MB)", "peak/limit");
  std::vector<unsigned> sizes = variant == Variant::Nested ? std::vector<unsigned>{depth} : scales;
  std::vector<PreparedImage> images;
  for (unsigned size : sizes) {
    auto p = PrepareImage(dir, variant, size);
    if (!p) return false;
    images.push_back(std::move(*p));
  }
  for (int r = 0; r < runs; ++r) {
    for (PreparedImage& p : images) {
      std::optional<Measurement> m =
          RunExport("/proc/self/exe", variant, p.dir + "/hii.bin", p.dir + "/script.txt", p.dir + "/firmware");
      if (!m) return false;
      if (!p.best || m->seconds < p.best->seconds) p.best = m;
    }
  }
  std::vector<Measurement> results;
  bool withinMemory = true;
  for (const PreparedImage& p : images) {
    const Measurement& best = *p.best;
    double limitKiB = (4.0 * p.hiiBytes + best.scriptBytes) / 1024.0;
    withinMemory = withinMemory && best.peakKiB < limitKiB;
    results.push_back(best);
    std::printf("%-6u %10.2f %10zu %8zu %10.3f %8.3f %10.1f %10.2f %12.2f\n", p.size, p.hiiBytes / 1048576.0,
                p.questions, p.strings, best.seconds, best.cpuSeconds, best.peakKiB / 1024.0,
                best.scriptBytes / 1048576.0, best.peakKiB / limitKiB);
  }
  if (variant == Variant::Nested) {
    std::printf("nested export: %.3f s (target: well under 1 s)\n", results.front().seconds);
    return true;
  }
  if (results.size() >= 2 && results[0].seconds > 0 && results[0].cpuSeconds > 0) {
    // CPU time too: on a shared machine the elapsed time also counts the other processes.
    std::printf("time ratio %ux/%ux: %.2f, CPU time ratio %.2f (target <= %.1f)\n", sizes.back(), sizes.front(),
                results.back().seconds / results.front().seconds, results.back().cpuSeconds / results.front().cpuSeconds,
                4.5 * sizes.back() / 4.0 / sizes.front());
  }
  if (variant == Variant::Plain) std::printf("peak memory within 4 x HII + script: %s\n", withinMemory ? "yes" : "no");
  if (variant == Variant::Conditions && sizes.front() == 1)
    std::printf("1x CPU time: %.3f s (target < 0.5 s)\n", results.front().cpuSeconds);
  return true;
}

// ---- End to end through the firmware emulator. ----

#if defined(KESTREL_BENCH_TOOL_PATH) && defined(KESTREL_BENCH_FWEMU_PATH)
constexpr bool kEmulatorBuilt = true;
constexpr const char* kToolPath = KESTREL_BENCH_TOOL_PATH;
constexpr const char* kEmulatorPath = KESTREL_BENCH_FWEMU_PATH;
#else
constexpr bool kEmulatorBuilt = false;
constexpr const char* kToolPath = "";
constexpr const char* kEmulatorPath = "";
#endif

// Starts argv[0] with standard input from /dev/null and both outputs to outputFile; -1 on failure.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outputFile) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// kestrel-fwemu serving one image on a mount point, unmounted again on destruction.
class MountedEmulator {
 public:
  MountedEmulator(const std::string& image, const std::string& mount, const std::string& log,
                  const std::vector<std::string>& extra = {})
      : mount_(mount) {
    std::filesystem::create_directories(mount);
    std::vector<std::string> args = {kEmulatorPath, "-f"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(image);
    args.push_back(mount);
    pid_ = Spawn(args, log);
    // Mounted once its efivarfs directory shows (the bare mount point is empty).
    for (int i = 0; pid_ > 0 && i < 1500; ++i) {
      if (std::filesystem::is_directory(mount + "/efi/efivars")) {
        up_ = true;
        return;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~MountedEmulator() {
    if (pid_ <= 0) return;
    pid_t unmount = Spawn({"fusermount3", "-u", mount_}, "/dev/null");
    if (unmount <= 0 || WaitFor(unmount) != 0) kill(pid_, SIGTERM);
    WaitFor(pid_);
  }
  MountedEmulator(const MountedEmulator&) = delete;
  MountedEmulator& operator=(const MountedEmulator&) = delete;
  bool up() const { return up_; }

 private:
  std::string mount_;
  pid_t pid_ = -1;
  bool up_ = false;
};

// One run of "KESLNX_64 /o /s SCRIPT /q" against the mount: its wall time, or nullopt when it
// failed (already reported).
std::optional<double> TimeToolExport(const std::string& mount, const std::string& script, const std::string& log) {
  setenv("KESTREL_SYSFS_FIRMWARE", mount.c_str(), 1);
  std::filesystem::remove(script);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = Spawn({kToolPath, "/o", "/s", script, "/q"}, log);
  int status = pid > 0 ? WaitFor(pid) : -1;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::error_code ec;
  if (status != 0 || std::filesystem::file_size(script, ec) == 0) {
    std::fprintf(stderr, "the export through the emulator failed (exit status %d); see %s\n", status, log.c_str());
    return std::nullopt;
  }
  return seconds;
}

size_t CountMailboxRequests(const std::string& requestLog) {
  std::ifstream in(requestLog);
  size_t count = 0;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("mailbox ", 0) == 0) ++count;
  return count;
}

// The row of one scale: best time of `runs` exports, and the round trips of one more, logged run.
bool MeasureThroughEmulator(const std::string& dir, unsigned scale, int runs, bool& withinTarget) {
  kes::hiibuild::LargeImage large = kes::hiibuild::BuildLargeImage(scale);
  const size_t hiiBytes = large.hii.size();
  const std::string image = dir + "/image";
  std::error_code ec;
  std::filesystem::remove_all(image, ec);
  std::string error = kes::hiibuild::WriteEmulatorImage(image, kes::hiibuild::ToEmulatorImage(std::move(large)));
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  const std::string log = dir + "/emulator-run.log";
  const size_t expected = 1 + (hiiBytes + 875) / 876;
  std::optional<double> best;
  {
    MountedEmulator emulator(image, dir + "/mnt", log);
    if (!emulator.up()) {
      std::fprintf(stderr, "kestrel-fwemu did not mount; see %s\n", log.c_str());
      return false;
    }
    for (int r = 0; r < runs; ++r) {
      std::optional<double> t = TimeToolExport(dir + "/mnt", dir + "/script.txt", log);
      if (!t) return false;
      if (!best || *t < *best) best = t;
    }
  }
  size_t counted = 0;
  {
    const std::string requests = dir + "/requests.log";
    MountedEmulator emulator(image, dir + "/mnt", log, {"--request-log", requests});
    if (!emulator.up() || !TimeToolExport(dir + "/mnt", dir + "/script.txt", log)) return false;
    counted = CountMailboxRequests(requests);
  }
  double target = 5.0 * scale;
  withinTarget = withinTarget && *best < target && counted == expected;
  std::printf("%-6u %10.2f %12zu %12zu %12.3f %10.1f\n", scale, hiiBytes / 1048576.0, expected, counted, *best, target);
  return true;
}

int RunThroughEmulator(const std::vector<unsigned>& scales, int runs) {
  if (!kEmulatorBuilt) {
    std::fprintf(stderr, "kestrel-bench-export was built without the emulator (KESTREL_EMULATOR=OFF)\n");
    return 2;
  }
  char pattern[] = "/tmp/kestrel-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  std::string dir = pattern;
  std::printf("End to end through kestrel-fwemu: KESLNX_64 /o /s, best of %d runs\n", runs);
  std::printf("%-6s %10s %12s %12s %12s %10s\n", "scale", "hii(MB)", "round trips", "counted", "export(s)",
              "target(s)");
  bool withinTarget = true;
  bool ok = true;
  for (unsigned scale : scales) {
    if (!(ok = MeasureThroughEmulator(dir, scale, runs, withinTarget))) break;
  }
  if (ok) std::printf("within the target, round trips as expected: %s\n", withinTarget ? "yes" : "no");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--export-child") {
    auto variant = ParseVariant(argv[2]);
    if (!variant) return 2;
    return ExportChild(*variant, argv[3], argv[4], argv[5]);
  }
  std::vector<unsigned> scales{1, 4};
  bool scalesGiven = false;
  bool throughEmulator = false;
  std::vector<Variant> variants{Variant::Plain, Variant::Conditions, Variant::Nested, Variant::Older};
  unsigned depth = 80000;
  int runs = 5;
  for (int i = 1; i < argc; i += 2) {
    std::string_view flag = argv[i];
    if (flag == "--emulator") {
      throughEmulator = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) return Usage();
    std::string_view value = argv[i + 1];
    if (flag == "--runs") {
      auto parsed = kes::bench::ParseCount(value, 999);
      if (!parsed) return Usage();
      runs = static_cast<int>(*parsed);
    } else if (flag == "--scales") {
      auto parsed = kes::bench::ParseScales(value);
      if (!parsed) return Usage();
      scales = *parsed;
      scalesGiven = true;
    } else if (flag == "--variants") {
      auto parsed = ParseVariants(value);
      if (!parsed) return Usage();
      variants = *parsed;
    } else if (flag == "--depth") {
      auto parsed = kes::bench::ParseCount(value, 1000000);
      if (!parsed) return Usage();
      depth = *parsed;
    } else {
      return Usage();
    }
  }
  if (throughEmulator) return RunThroughEmulator(scalesGiven ? scales : std::vector<unsigned>{1}, runs);
  char pattern[] = "/tmp/kestrel-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  std::string dir = pattern;

  bool ok = true;
  for (Variant variant : variants) {
    if (!(ok = MeasureVariant(dir, variant, scales, depth, runs))) break;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
