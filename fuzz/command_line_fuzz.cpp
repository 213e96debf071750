// The command line: the input split at NUL bytes into argument words, scanned by
// ParseCommandLine with a firmware root under a temporary directory, inside a temporary working
// directory (the files the switches name are opened there and removed after every run). A word
// that could name a path outside that directory (a '/' anywhere but as the first character of
// a switch, or a word starting with '/' that is not a switch) is left out, so the scan never
// opens anything elsewhere.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "base/console.h"
#include "base/run_state.h"
#include "base/text.h"
#include "fuzz/fuzz_support.h"

namespace {

bool StaysInside(const std::string& word) {
  if (word.find('/', 1) != std::string::npos) return false;
  if (!word.empty() && word[0] == '/') {
    std::string name = word.substr(0, word.find(':') == std::string::npos ? word.size() : word.find(':') + 1);
    return kes::IsToolSwitch(kes::ToWide(name)) || kes::IsToolSwitch(kes::ToWide(word));
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::CommandLineWorkspace workspace("cmdline", "cmdline-cwd");
  std::vector<std::string> words{"KESLNX_64"};
  for (std::string& word : fuzz::SplitInput(data, size, '\0'))
    if (StaysInside(word)) words.push_back(std::move(word));
  if (words.size() > 64) words.resize(64);
  std::vector<char*> argv = fuzz::ArgvOf(words);
  {
    ConsoleCapture quiet;
    RunState run;
    FirmwareAccess fw = workspace.root.Access();
    PreScanBanner(static_cast<int>(words.size()), argv.data());
    ParseCommandLine(static_cast<int>(words.size()), argv.data(), run, fw);
  }
  workspace.cwd.Empty();
  return 0;
}
