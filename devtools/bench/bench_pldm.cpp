// PLDM benchmark: a PLDM file exported (/o /p: tables built and the file written) and imported
// unchanged (/i /p: checksums, decoding, the tables rebuilt, every question matched by keyword and
// checked, the commit finding nothing to write), at each scale, in process. Prints the CPU time of
// each (the HII database parse included) against the targets: 1x under 0.3 s, 4x at most 4.5
// times 1x.
//
// The tables number strings and attributes with 16-bit handles, one per string id of each
// exported package list: the whole large image (78,000 English string ids at scale 1) cannot be
// numbered. Scale N is therefore the first 3 x N package lists of the large image (about 1,000
// questions and 3,900 string ids each), with all of its variables. The scales take turns, run
// after run; each figure is the best of --runs runs.
//
//   kestrel-bench-pldm [--scales N[,N...]] [--runs N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "base/le.h"
#include "devtools/bench/bench_options.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/firmware_access.h"
#include "hii/hii_database.h"
#include "hii/strings.h"
#include "pldm/pldm.h"
#include "devtools/hiibuild/generators.h"

namespace {

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

struct Figures {
  double exportSeconds = 0, importSeconds = 0;
  size_t fileBytes = 0, attributes = 0;
};

// One export and one import over the image, with the variables under `root`.
std::optional<Figures> Measure(const std::vector<uint8_t>& hii, const std::string& root, const std::string& file) {
  Figures f;
  kes::FirmwareAccess firmware(root, true);
  {
    kes::RunState run;
    for (kes::Switch s : {kes::Switch::O, kes::Switch::P, kes::Switch::Q}) run.switches.Set(s);
    run.options.PldmFileName = kes::ToWide(file);
    double start = CpuSeconds();
    const kes::HiiDatabase database(hii);
    const kes::StringLookup strings(database, kes::StringOptions::FromRun(run));
    const kes::SetupContext setup{run, firmware, database, strings, nullptr};
    if (kes::ExportPldm(setup) != 1) return std::nullopt;
    f.exportSeconds = CpuSeconds() - start;
  }
  {
    kes::RunState run;
    for (kes::Switch s : {kes::Switch::I, kes::Switch::P}) run.switches.Set(s);
    double start = CpuSeconds();
    const kes::HiiDatabase database(hii);
    const kes::StringLookup strings(database, kes::StringOptions::FromRun(run));
    const kes::SetupContext setup{run, firmware, database, strings, nullptr};
    kes::ConsoleCapture quiet;
    if (kes::ImportPldm(setup, kes::ToWide(file)) != 0 || run.SystemModified || run.ImportErrors) {
      std::fprintf(stderr, "import failed or changed something (modified %d, errors %d):\n%s", run.SystemModified, run.ImportErrors, quiet.err().substr(0, 3000).c_str());
      return std::nullopt;
    }
    f.importSeconds = CpuSeconds() - start;
  }
  std::error_code ec;
  f.fileBytes = static_cast<size_t>(std::filesystem::file_size(file, ec));
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned> scales{1, 4};
  int runs = 9;
  if (!kes::bench::ParseScalesAndRuns(argc, argv, 1, scales, runs)) {
    std::fprintf(stderr, "usage: kestrel-bench-pldm [--scales N[,N...]] [--runs N]\n");
    return 2;
  }
  char pattern[] = "/tmp/kestrel-bench-pldm-XXXXXX";
  const char* base = mkdtemp(pattern);
  if (!base) return 2;
  const std::string dir = base;
  std::printf("PLDM export (/o /p) and unchanged import (/i /p) of the large image, CPU seconds (best of %d)\n", runs);
  std::printf("%-6s %10s %10s %10s %10s %10s\n", "scale", "hii(MB)", "questions", "file(MB)", "export(s)", "import(s)");
  // Every scale is prepared first; then the scales take turns run after run, so that a slow
  // spell of the machine falls on all of them rather than on one scale's runs.
  struct Prepared {
    unsigned scale = 0;
    std::vector<uint8_t> hii;
    size_t questions = 0;
    std::string root;
    std::optional<Figures> best;
  };
  std::vector<Prepared> prepared;
  bool ok = true;
  kes::hiibuild::LargeImage large = kes::hiibuild::BuildLargeImage(1);
  const size_t perList = large.questions / (large.packageLists ? large.packageLists : 1);
  for (unsigned scale : scales) {
    size_t at = 0, lists = 0;
    while (lists < 3 * scale && at + 20 <= large.hii.size()) {
      size_t length = kes::Le32(kes::Bytes(large.hii), at + 16);
      if (length == 0 || at + length > large.hii.size()) break;
      at += length;
      ++lists;
    }
    if (lists < 3 * scale) {
      std::fprintf(stderr, "scale %u needs %u package lists, the large image has %zu\n", scale, 3 * scale, lists);
      ok = false;
      break;
    }
    Prepared p;
    p.scale = scale;
    p.hii.assign(large.hii.begin(), large.hii.begin() + static_cast<std::ptrdiff_t>(at));
    p.questions = perList * lists;
    p.root = dir + "/root-" + std::to_string(scale);
    if (!kes::hiibuild::WriteVariableFiles(p.root + "/efi/efivars", large.variables).empty()) {
      ok = false;
      break;
    }
    prepared.push_back(std::move(p));
  }
  for (int r = 0; r < runs && ok; ++r) {
    for (Prepared& p : prepared) {
      auto f = Measure(p.hii, p.root, dir + "/tables.pldm");
      if (!f) {
        ok = false;
        break;
      }
      if (!p.best) p.best = f;
      p.best->exportSeconds = std::min(p.best->exportSeconds, f->exportSeconds);
      p.best->importSeconds = std::min(p.best->importSeconds, f->importSeconds);
    }
  }
  std::vector<Figures> results;
  for (const Prepared& p : prepared) {
    if (!ok) break;
    results.push_back(*p.best);
    std::printf("%-6u %10.2f %10zu %10.2f %10.3f %10.3f\n", p.scale, p.hii.size() / 1048576.0, p.questions,
                p.best->fileBytes / 1048576.0, p.best->exportSeconds, p.best->importSeconds);
  }
  if (!ok) {
    std::fprintf(stderr, "files kept in %s\n", dir.c_str());
    return 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (results.size() >= 2 && scales.front() == 1) {
    std::printf("1x export %.3f s, import %.3f s (target < 0.3 s)\n", results.front().exportSeconds,
                results.front().importSeconds);
    std::printf("%ux/1x: export %.2f, import %.2f (target <= %.1f)\n", scales.back(),
                results.back().exportSeconds / results.front().exportSeconds,
                results.back().importSeconds / results.front().importSeconds, 4.5 * scales.back() / 4.0);
  }
  return 0;
}
