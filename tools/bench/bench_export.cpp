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

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "App/common/console.h"
#include "App/common/run_state.h"
#include "hii/hii_image.h"
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

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The export itself, in a process of its own (started by RunExport) so that its peak memory
// is not inflated by the generator's.
int ExportChild(const std::string& hiiPath, const std::string& scriptPath) {
  long baseline = CurrentPeakKiB();
  std::vector<uint8_t> image = ReadAll(hiiPath);
  kes::ResetRunState();
  kes::Run().switches.Set(kes::Switch::O);
  kes::Run().switches.Set(kes::Switch::S);
  kes::Run().switches.Set(kes::Switch::Q);
  std::FILE* out = std::fopen(scriptPath.c_str(), "w+");
  if (!out) return 2;
  auto start = std::chrono::steady_clock::now();
  kes::ClassifyHiiLayout(image);
  kes::Status status = kes::ExportScriptTo(out, nullptr, false);
  std::fclose(out);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%u %.6f %ld\n", status, seconds, baseline);
  return status == 0 ? 0 : 1;
}

Measurement RunExport(const char* self, const std::string& hiiPath, const std::string& scriptPath) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(2);
  pid_t pid = fork();
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
    std::exit(1);
  }
  m.peakKiB = usage.ru_maxrss;
  struct stat st {};
  if (stat(scriptPath.c_str(), &st) == 0) m.scriptBytes = static_cast<size_t>(st.st_size);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--export-child") return ExportChild(argv[2], argv[3]);
  std::vector<unsigned> scales{1, 4};
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (flag == "--scales") {
      scales.clear();
      for (const char* p = argv[i + 1]; *p;) {
        scales.push_back(static_cast<unsigned>(std::strtoul(p, const_cast<char**>(&p), 10)));
        if (*p == ',') ++p;
      }
    }
  }
  char pattern[] = "/tmp/kestrel-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  std::string dir = pattern;
  std::filesystem::create_directories(dir + "/firmware/efi/efivars");
  setenv("KESTREL_SYSFS_FIRMWARE", (dir + "/firmware").c_str(), 1);

  std::printf("%-6s %10s %10s %8s %12s %10s %10s %12s\n", "scale", "hii(MB)", "questions", "strings", "export(s)",
              "peak(MB)", "script(MB)", "peak/limit");
  std::vector<double> times;
  bool withinMemory = true;
  for (unsigned scale : scales) {
    kes::hiibuild::LargeImage image = kes::hiibuild::BuildLargeImage(scale);
    std::string hiiPath = dir + "/hii.bin";
    std::ofstream(hiiPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.hii.data()), static_cast<std::streamsize>(image.hii.size()));
    std::filesystem::remove_all(dir + "/firmware/efi/efivars");
    std::filesystem::create_directories(dir + "/firmware/efi/efivars");
    for (const auto& v : image.variables) {
      auto bytes = kes::hiibuild::EfivarfsBytes(v);
      std::ofstream(dir + "/firmware/efi/efivars/" + kes::hiibuild::EfivarfsFileName(v), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Measurement best;
    for (int r = 0; r < runs; ++r) {
      Measurement m = RunExport("/proc/self/exe", hiiPath, dir + "/script.txt");
      if (r == 0 || m.seconds < best.seconds) best = m;
    }
    double hiiMB = image.hii.size() / 1048576.0;
    double limitKiB = (4.0 * image.hii.size() + best.scriptBytes) / 1024.0;
    withinMemory = withinMemory && best.peakKiB < limitKiB;
    times.push_back(best.seconds);
    std::printf("%-6u %10.2f %10zu %8zu %12.3f %10.1f %10.2f %12.2f\n", scale, hiiMB, image.questions,
                image.stringsPerLanguage, best.seconds, best.peakKiB / 1024.0, best.scriptBytes / 1048576.0,
                best.peakKiB / limitKiB);
  }
  if (times.size() >= 2 && times[0] > 0) {
    double ratio = times.back() / times.front();
    std::printf("time ratio %ux/%ux: %.2f (target <= %.1f)\n", scales.back(), scales.front(), ratio,
                4.5 * scales.back() / 4.0 / scales.front());
  }
  std::printf("peak memory within 4 x HII + script: %s\n", withinMemory ? "yes" : "no");
  std::filesystem::remove_all(dir);
  return 0;
}
