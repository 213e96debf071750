// Script import benchmark: the large image's script is imported unchanged and with every tenth
// question edited (a one-of's "*" moved, a checkbox flipped), at each scale, each import in a
// fresh process so that its peak memory is its own. Prints compute time (parse, walk, checks and
// commit, the database parse included), peak memory and their growth.
//
//   kestrel-bench-import [--scales N[,N...]] [--runs N]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/firmware_access.h"
#include "firmware/mailbox.h"
#include "hii/hii_database.h"
#include "hii/strings.h"
#include "script/export.h"
#include "script/import.h"
#include "devtools/bench/bench_options.h"
#include "devtools/bench/child_process.h"
#include "devtools/hiibuild/generators.h"

namespace {

struct Measurement {
  double seconds = 0;
  long peakKiB = 0;
};

// Runs in its own process: export (mode "export") or import (mode "import") of `script` over the
// image at hiiPath and the variables under KESTREL_SYSFS_FIRMWARE. Prints "status seconds".
int Child(const std::string& mode, const std::string& hiiPath, const std::string& script) {
  std::optional<std::vector<uint8_t>> image = kes::ReadWholeFile(hiiPath);
  if (!image) return 2;
  kes::RunState run;
  run.switches.Set(mode == "export" ? kes::Switch::O : kes::Switch::I);
  run.switches.Set(kes::Switch::S);
  run.switches.Set(kes::Switch::Q);
  run.options.ScriptFileName = kes::ToWide(script);
  run.options.HiiCrc32 = kes::CalculateCrc32(*image);
  kes::FirmwareAccess firmware;
  // Compute time of this process: the figure a loaded machine changes least.
  auto cpuSeconds = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
  };
  double start = cpuSeconds();
  const kes::HiiDatabase database(*image);
  if (database.Format() != kes::HiiFormat::Uefi) return 2;
  const kes::StringLookup strings(database, kes::StringOptions::FromRun(run));
  const kes::SetupContext setup{run, firmware, database, strings, nullptr};
  kes::Status status;
  kes::ConsoleCapture quiet;  // the import's warnings are not what is measured
  if (mode == "export") {
    std::FILE* out = std::fopen(script.c_str(), "w");
    if (!out) return 2;
    kes::WriteScriptHeader(out, run.options.ScriptFileName);
    kes::WriteChecksumLine(out, run.options.HiiCrc32);
    status = kes::ExportScriptTo(setup, out, nullptr, false);
    std::fclose(out);
  } else {
    run.options.ScriptFile.reset(std::fopen(script.c_str(), "r"));
    kes::ScriptEntryList entries;
    status = kes::ParseScriptFile(run, entries);
    if (status == 0) status = kes::ImportScript(setup, entries);
  }
  double seconds = cpuSeconds() - start;
  std::printf("%u %.6f\n", status, seconds);
  return status == 0 ? 0 : 1;
}

std::optional<Measurement> RunChild(const std::string& mode, const std::string& hiiPath, const std::string& script) {
  auto child = kes::bench::RunChild({"/proc/self/exe", "--child", mode, hiiPath, script});
  if (!child) return std::nullopt;
  Measurement m;
  unsigned childStatus = 1;
  if (std::sscanf(child->out.c_str(), "%u %lf", &childStatus, &m.seconds) != 2 || childStatus != 0) {
    std::fprintf(stderr, "%s failed (status %u)\n", mode.c_str(), childStatus);
    return std::nullopt;
  }
  m.peakKiB = child->usage.ru_maxrss;
  return m;
}

// Every tenth question block edited: a one-of's "*" moves to the next option, a checkbox flips.
std::string EditEveryTenth(const std::string& script, size_t& edited) {
  std::string out = script;
  size_t block = 0;
  for (size_t at = out.find("\nSetup Question\t= "); at != std::string::npos;
       at = out.find("\nSetup Question\t= ", at + 1)) {
    if (block++ % 10 != 0) continue;
    size_t end = out.find("\n\n", at + 1);
    if (end == std::string::npos) end = out.size();
    size_t star = out.find("*[", at);
    if (star != std::string::npos && star < end) {
      size_t next = out.find("\n         [", star);
      size_t first = out.find("=[", at);
      size_t target = next != std::string::npos && next < end ? next + 10 : first != std::string::npos && first < end ? first + 1 : std::string::npos;
      if (target == std::string::npos) continue;
      out.erase(star, 1);
      if (target > star) --target;
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(target), '*');
      ++edited;
      continue;
    }
    size_t box = out.find("Value\t=0\t// Enabled", at);
    if (box != std::string::npos && box < end) {
      out[box + 7] = '1';
      ++edited;
    }
  }
  return out;
}

bool Measure(const std::string& dir, unsigned scale, int runs, std::vector<double>& times, bool& withinMemory) {
  kes::hiibuild::LargeImage image = kes::hiibuild::BuildLargeImage(scale);
  std::string hiiPath = dir + "/hii.bin";
  std::string efivars = dir + "/firmware/efi/efivars";
  if (kes::WriteFile(hiiPath, image.hii) != 0) return false;
  auto resetVariables = [&] {
    std::error_code ec;
    std::filesystem::remove_all(efivars, ec);
    std::string error = kes::hiibuild::WriteVariableFiles(efivars, image.variables);
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty();
  };
  if (!resetVariables()) return false;
  std::string script = dir + "/script.txt", edited = dir + "/edited.txt";
  if (!RunChild("export", hiiPath, script)) return false;
  std::optional<std::vector<uint8_t>> text = kes::ReadWholeFile(script);
  if (!text) return false;
  size_t editedCount = 0;
  std::string editedText = EditEveryTenth(std::string(text->begin(), text->end()), editedCount);
  if (kes::WriteFile(edited, std::vector<uint8_t>(editedText.begin(), editedText.end())) != 0) return false;

  Measurement best[2];
  for (int which = 0; which < 2; ++which) {
    for (int r = 0; r < runs; ++r) {
      if (!resetVariables()) return false;
      auto m = RunChild("import", hiiPath, which == 0 ? script : edited);
      if (!m) return false;
      if (r == 0 || m->seconds < best[which].seconds) best[which] = *m;
    }
  }
  double limitKiB = (4.0 * image.hii.size() + text->size()) / 1024.0;
  withinMemory = withinMemory && best[0].peakKiB < limitKiB && best[1].peakKiB < limitKiB;
  times.push_back(best[1].seconds);
  std::printf("%-6u %10.2f %10zu %10.2f %9zu %12.3f %12.3f %10.1f %12.2f\n", scale, image.hii.size() / 1048576.0,
              image.questions, text->size() / 1048576.0, editedCount, best[0].seconds, best[1].seconds,
              std::max(best[0].peakKiB, best[1].peakKiB) / 1024.0,
              std::max(best[0].peakKiB, best[1].peakKiB) / limitKiB);
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: kestrel-bench-import [--scales N[,N...]] [--runs N]   (scales from 1 to 64)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3], argv[4]);
  std::vector<unsigned> scales{1, 4};
  int runs = 3;
  if (!kes::bench::ParseScalesAndRuns(argc, argv, 1, scales, runs)) return Usage();
  char pattern[] = "/tmp/kestrel-bench-import-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  std::string dir = pattern;
  setenv("KESTREL_SYSFS_FIRMWARE", (dir + "/firmware").c_str(), 1);

  std::printf("%-6s %10s %10s %10s %9s %12s %12s %10s %12s\n", "scale", "hii(MB)", "questions", "script(MB)",
              "edited", "unchanged(s)", "edited(s)", "peak(MB)", "peak/limit");
  std::vector<double> times;
  bool withinMemory = true, ok = true;
  for (unsigned scale : scales)
    if (!(ok = Measure(dir, scale, runs, times, withinMemory))) break;
  if (ok && times.size() >= 2 && times[0] > 0)
    std::printf("time ratio %ux/%ux (edited): %.2f (target <= %.1f)\n", scales.back(), scales.front(),
                times.back() / times.front(), 4.5 * scales.back() / 4.0 / scales.front());
  if (ok) std::printf("peak memory within 4 x HII + script: %s\n", withinMemory ? "yes" : "no");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
