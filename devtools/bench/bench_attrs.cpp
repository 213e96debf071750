// kestrel-attrs benchmark: the registry (with its menus and dependencies) and the Bios resource
// (get) of the large image at each scale, and a set and a plan of 1,000 attributes at the
// smallest, each step in a fresh process reading the image offline (HII dump and variables
// directory). Prints compute time (database parse, walk
// and the JSON written to a file, all included) and peak memory: the best of --runs runs (7), the
// scales taking turns.
//
//   kestrel-bench-attrs [--scales N[,N...]] [--runs N]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "companions/attrs/operations.h"
#include "companions/attrs/session.h"
#include "devtools/bench/bench_options.h"
#include "devtools/bench/child_process.h"
#include "devtools/hiibuild/generators.h"

namespace {

using kes::attrs::Json;

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// In its own process: "registry", "get", "set" or "plan" over the image in `dir`. Prints "status
// seconds".
int Child(const std::string& mode, const std::string& dir) {
  kes::ConsoleCapture quiet;
  // The previous run's output goes before the clock starts: freeing its pages is no part of
  // this run's work.
  const std::string outPath = dir + "/" + mode + "-out.json";
  std::remove(outPath.c_str());
  double start = CpuSeconds();
  kes::attrs::Session session;
  if (!session.Open({dir + "/hii.bin", dir + "/vars", {}})) return 2;
  const kes::SetupContext& setup = session.Setup();
  Json document;
  int status = 0;
  std::FILE* out = std::fopen(outPath.c_str(), "w");
  if (!out) return 2;
  if (mode == "registry") {
    if (!kes::attrs::WriteRegistry(setup, kes::attrs::FileSink(out))) return 2;
  } else if (mode == "get") {
    std::vector<std::string> missing;
    document = kes::attrs::BuildBios(setup, {}, kes::attrs::Defaults::None, missing);
  } else {
    std::string error;
    auto text = kes::attrs::ReadInputFile(dir + "/set.json", error);
    auto values = text ? kes::attrs::ReadAttributeValues(*text, error) : std::nullopt;
    if (!values) return 2;
    kes::attrs::Outcome outcome = mode == "plan" ? kes::attrs::PlanAttributes(setup, *values)
                                                 : kes::attrs::SetAttributes(setup, *values, false);
    document = std::move(outcome.report);
    status = outcome.status;
  }
  if (mode != "registry" && !kes::attrs::WriteDocument(document, out)) return 2;
  std::fclose(out);
  double seconds = CpuSeconds() - start;
  std::printf("%d %.6f\n", status, seconds);
  return status;
}

struct Measurement {
  double seconds = 0;
  long peakKiB = 0;
};

std::optional<Measurement> Run(const std::string& mode, const std::string& dir) {
  auto child = kes::bench::RunChild({"/proc/self/exe", "--child", mode, dir});
  if (!child) return std::nullopt;
  Measurement m;
  int status = 1;
  if (std::sscanf(child->out.c_str(), "%d %lf", &status, &m.seconds) != 2 || status != 0) {
    std::fprintf(stderr, "%s failed (status %d)\n", mode.c_str(), status);
    return std::nullopt;
  }
  m.peakKiB = child->usage.ru_maxrss;
  return m;
}

std::optional<Measurement> Best(const std::string& mode, const std::string& dir, int runs,
                                const std::function<bool()>& before = {}) {
  std::optional<Measurement> best;
  for (int r = 0; r < runs; ++r) {
    if (before && !before()) return std::nullopt;
    auto m = Run(mode, dir);
    if (!m) return std::nullopt;
    if (!best || m->seconds < best->seconds) best = m;
  }
  return best;
}

// 1,000 settable one-of and checkbox attributes, each given a value other than its current one:
// visible ones that no dependency reads, so that the request hides nothing it sets.
bool WriteSetFile(const std::string& dir, size_t& count) {
  std::string error;
  auto text = kes::attrs::ReadInputFile(dir + "/registry-out.json", error);
  if (!text) return false;
  Json registry = Json::parse(*text);
  std::set<std::string> read;
  for (const Json& d : registry["RegistryEntries"]["Dependencies"])
    for (const Json& m : d["Dependency"]["MapFrom"]) read.insert(m["MapFromAttribute"].get<std::string>());
  Json settings;
  settings["Attributes"] = Json::object();
  count = 0;
  for (const Json& a : registry["RegistryEntries"]["Attributes"]) {
    if (count == 1000) break;
    if (!a["Oem"]["Kestrel"]["Settable"].get<bool>() || a["Hidden"].get<bool>() || read.count(a["AttributeName"])) continue;
    if (a["Type"] == "Boolean") {
      settings["Attributes"][a["AttributeName"].get<std::string>()] = !a["CurrentValue"].get<bool>();
    } else if (a["Type"] == "Enumeration" && a["Oem"]["Kestrel"]["QuestionKind"] == "OneOf" && a["Value"].size() > 1) {
      const Json& first = a["Value"][0]["ValueName"];
      settings["Attributes"][a["AttributeName"].get<std::string>()] = a["CurrentValue"] == first ? a["Value"][1]["ValueName"] : first;
    } else {
      continue;
    }
    ++count;
  }
  std::FILE* out = std::fopen((dir + "/set.json").c_str(), "w");
  bool ok = out && kes::attrs::WriteDocument(settings, out);
  if (out) std::fclose(out);
  return ok && count == 1000;
}

// The large image of one scale, written to `dir` with its variables.
struct Prepared {
  std::string dir;
  unsigned scale = 0;
  size_t questions = 0;
  std::vector<kes::hiibuild::Variable> variables;
  std::optional<Measurement> registry, get;
};

// Puts the image's variables back as they were written (a set changes them).
bool ResetVariables(const Prepared& p) {
  std::error_code ec;
  std::filesystem::remove_all(p.dir + "/vars", ec);
  std::string error = kes::hiibuild::WriteVariableFiles(p.dir + "/vars", p.variables);
  if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
  return error.empty();
}

std::optional<Prepared> Prepare(const std::string& dir, unsigned scale) {
  kes::hiibuild::LargeImage image = kes::hiibuild::BuildLargeImage(scale);
  Prepared p;
  p.dir = dir + "/scale-" + std::to_string(scale);
  p.scale = scale;
  p.questions = image.questions;
  p.variables = std::move(image.variables);
  std::error_code ec;
  std::filesystem::create_directories(p.dir, ec);
  if (ec || kes::WriteFile(p.dir + "/hii.bin", image.hii) != 0 || !ResetVariables(p)) return std::nullopt;
  return p;
}

// The better of two measurements (the faster one).
void KeepBest(std::optional<Measurement>& best, const Measurement& m) {
  if (!best || m.seconds < best->seconds) best = m;
}

int Usage() {
  std::fprintf(stderr, "usage: kestrel-bench-attrs [--scales N[,N...]] [--runs N]   (scales from 1 to 64)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3]);
  std::vector<unsigned> scales{1, 4};
  int runs = 7;
  if (!kes::bench::ParseScalesAndRuns(argc, argv, 1, scales, runs)) return Usage();
  char pattern[] = "/tmp/kestrel-bench-attrs-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  std::string dir = pattern;
  std::vector<Prepared> prepared;
  bool ok = true;
  for (size_t i = 0; i < scales.size() && ok; ++i) {
    auto p = Prepare(dir, scales[i]);
    if (p) prepared.push_back(std::move(*p));
    ok = p.has_value();
  }
  // The scales take turns, run after run, so that a slow spell of the machine falls on all of
  // them rather than on one scale's runs.
  for (int r = 0; r < runs && ok; ++r) {
    for (Prepared& p : prepared) {
      auto registry = Run("registry", p.dir);
      auto get = registry ? Run("get", p.dir) : std::nullopt;
      ok = registry && get;
      if (!ok) break;
      KeepBest(p.registry, *registry);
      KeepBest(p.get, *get);
    }
  }
  std::optional<Measurement> set, plan;
  size_t setCount = 0;
  if (ok) {
    const Prepared& first = prepared.front();
    ok = WriteSetFile(first.dir, setCount) && (set = Best("set", first.dir, runs, [&] { return ResetVariables(first); })) &&
         (plan = Best("plan", first.dir, runs));
  }
  if (ok) {
    std::printf("%-6s %10s %12s %12s %10s %12s %12s\n", "scale", "questions", "registry(s)", "get(s)", "peak(MB)", "set(s)",
                "plan(s)");
    for (const Prepared& p : prepared) {
      std::printf("%-6u %10zu %12.3f %12.3f %10.1f", p.scale, p.questions, p.registry->seconds, p.get->seconds,
                  std::max(p.registry->peakKiB, p.get->peakKiB) / 1024.0);
      if (&p == &prepared.front())
        std::printf(" %12.3f %12.3f (%zu attributes, target < 0.3 s)", set->seconds, plan->seconds, setCount);
      std::printf("\n");
    }
  }
  if (ok && prepared.size() >= 2) {
    const Prepared &low = prepared.front(), &high = prepared.back();
    double limit = 4.5 * high.scale / 4.0 / low.scale;
    std::printf("time ratio %ux/%ux: registry %.2f, get %.2f (target <= %.1f)\n", high.scale, low.scale,
                high.registry->seconds / low.registry->seconds, high.get->seconds / low.get->seconds, limit);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
