// Script export benchmark: generates large HII images (scale 1 and 4), and for each runs the
// export in a fresh child process (so that its peak memory is its own), reporting the export
// time and peak resident memory against the targets:
//   - the 4x export costs at most 4.5 times the 1x export,
//   - peak memory stays under four times the HII database size plus the script size.
// Usage: kestrel-bench-export [--scales 1,4] [--runs 3]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/run_state.h"
#include "base/text.h"
#include "firmware/firmware_access.h"
#include "hii/hii_database.h"
#include "hii/strings.h"
#include "script/export.h"
#include "tools/hiibuild/generators.h"

namespace {

struct Measurement {
  double seconds = 0;
  long peakKiB = 0;
  long baselineKiB = 0;
  size_t scriptBytes = 0;
};

long CurrentPeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The export itself, in a process of its own (started by RunExport) so that its peak memory
// is not inflated by the generator's.
int ExportChild(const std::string& hiiPath, const std::string& scriptPath) {
  long baseline = CurrentPeakKiB();
  std::optional<std::vector<uint8_t>> image = kes::ReadWholeFile(hiiPath);
  if (!image) return 2;
  kes::RunState run;
  run.switches.Set(kes::Switch::O);
  run.switches.Set(kes::Switch::S);
  run.switches.Set(kes::Switch::Q);
  kes::FirmwareAccess firmware;
  std::FILE* out = std::fopen(scriptPath.c_str(), "w+");
  if (!out) return 2;
  auto start = std::chrono::steady_clock::now();
  // An image the tool does not take as package lists would export nothing and time nothing.
  const kes::HiiDatabase database(*image);
  if (database.Format() != kes::HiiFormat::Uefi) {
    std::fclose(out);
    return 2;
  }
  const kes::StringLookup strings(database, kes::StringOptions::FromRun(run));
  const kes::SetupContext setup{run, firmware, database, strings, nullptr};
  kes::Status status = kes::ExportScriptTo(setup, out, nullptr, false);
  std::fclose(out);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%u %.6f %ld\n", status, seconds, baseline);
  return status == 0 ? 0 : 1;
}

// nullopt when the child could not be started or its export failed.
std::optional<Measurement> RunExport(const char* self, const std::string& hiiPath, const std::string& scriptPath) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execl(self, self, "--export-child", hiiPath.c_str(), scriptPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char buffer[128] = {};
  ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measurement m;
  unsigned exportStatus = 1;
  if (n <= 0 || std::sscanf(buffer, "%u %lf %ld", &exportStatus, &m.seconds, &m.baselineKiB) != 3 ||
      exportStatus != 0) {
    std::fprintf(stderr, "export failed (status %u)\n", exportStatus);
    return std::nullopt;
  }
  m.peakKiB = usage.ru_maxrss;
  struct stat st {};
  if (stat(scriptPath.c_str(), &st) == 0) m.scriptBytes = static_cast<size_t>(st.st_size);
  return m;
}

// "1,4" -> {1, 4}; nullopt unless every entry is a scale from 1 to 64.
std::optional<std::vector<unsigned>> ParseScales(std::string_view text) {
  std::vector<unsigned> scales;
  while (true) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    if (item.empty() || item.size() > 2 || item.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    unsigned scale = static_cast<unsigned>(std::stoul(std::string(item)));
    if (scale < 1 || scale > 64) return std::nullopt;
    scales.push_back(scale);
    if (comma == std::string_view::npos) return scales;
    text.remove_prefix(comma + 1);
  }
}

int Usage() {
  std::fprintf(stderr, "usage: kestrel-bench-export [--scales N[,N...]] [--runs N]   (scales from 1 to 64)\n");
  return 2;
}

// Generates the image of one scale into dir (hii.bin and the efivars of dir/firmware), exports it
// `runs` times and prints its row. False when a step failed (already reported).
bool MeasureScale(const std::string& dir, unsigned scale, int runs, std::vector<double>& times, bool& withinMemory) {
  kes::hiibuild::LargeImage image = kes::hiibuild::BuildLargeImage(scale);
  std::string hiiPath = dir + "/hii.bin";
  std::string efivars = dir + "/firmware/efi/efivars";
  if (kes::WriteFile(hiiPath, image.hii) != 0) return false;
  std::error_code ec;
  std::filesystem::remove_all(efivars, ec);
  std::string error = kes::hiibuild::WriteVariableFiles(efivars, image.variables);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  Measurement best;
  for (int r = 0; r < runs; ++r) {
    std::optional<Measurement> m = RunExport("/proc/self/exe", hiiPath, dir + "/script.txt");
    if (!m) return false;
    if (r == 0 || m->seconds < best.seconds) best = *m;
  }
  double hiiMB = image.hii.size() / 1048576.0;
  double limitKiB = (4.0 * image.hii.size() + best.scriptBytes) / 1024.0;
  withinMemory = withinMemory && best.peakKiB < limitKiB;
  times.push_back(best.seconds);
  std::printf("%-6u %10.2f %10zu %8zu %12.3f %10.1f %10.2f %12.2f\n", scale, hiiMB, image.questions,
              image.stringsPerLanguage, best.seconds, best.peakKiB / 1024.0, best.scriptBytes / 1048576.0,
              best.peakKiB / limitKiB);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--export-child") return ExportChild(argv[2], argv[3]);
  std::vector<unsigned> scales{1, 4};
  int runs = 3;
  for (int i = 1; i < argc; i += 2) {
    std::string_view flag = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string_view value = argv[i + 1];
    if (flag == "--runs") {
      if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return Usage();
      }
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (flag == "--scales") {
      auto parsed = ParseScales(value);
      if (!parsed) return Usage();
      scales = *parsed;
    } else {
      return Usage();
    }
  }
  char pattern[] = "/tmp/kestrel-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  std::string dir = pattern;
  setenv("KESTREL_SYSFS_FIRMWARE", (dir + "/firmware").c_str(), 1);

  std::printf("%-6s %10s %10s %8s %12s %10s %10s %12s\n", "scale", "hii(MB)", "questions", "strings", "export(s)",
              "peak(MB)", "script(MB)", "peak/limit");
  std::vector<double> times;
  bool withinMemory = true;
  bool ok = true;
  for (unsigned scale : scales) {
    if (!(ok = MeasureScale(dir, scale, runs, times, withinMemory))) break;
  }
  if (ok && times.size() >= 2 && times[0] > 0) {
    double ratio = times.back() / times.front();
    std::printf("time ratio %ux/%ux: %.2f (target <= %.1f)\n", scales.back(), scales.front(), ratio,
                4.5 * scales.back() / 4.0 / scales.front());
  }
  if (ok) std::printf("peak memory within 4 x HII + script: %s\n", withinMemory ? "yes" : "no");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
