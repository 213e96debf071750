#include "base/debug_log.h"

#include <cstdarg>
#include <cstdio>

#include "base/console.h"

namespace kes {
namespace {

// The prefix names the tool's main source file and a line fixed per level, so that log lines
// stay comparable between runs and builds.
constexpr const char* kSourceName = "main.cpp";

int LineForLevel(uint32_t level) {
  switch (level) {
    case LV_ALWS: return 9094;
    case LV_KERN: return 9098;
    case LV_LIBR: return 9102;
    default: return 9106;
  }
}

}  // namespace

int DebugLog(const LogSettings* trace, uint32_t level, const char* fmt, ...) {
  if (!trace || !trace->Enabled()) return 1;
  const LogSettings& settings = *trace;
  va_list args;
  va_start(args, fmt);
  std::string message = NFormatV(fmt, args);
  va_end(args);

  std::FILE* file = nullptr;
  if (settings.ToFile) {
    file = std::fopen(settings.FileName.c_str(), "a+");
    if (!file) return 0;
  }
  uint32_t mask = settings.Level | LV_ALWS;
  if (level & mask) {
    std::string line = NFormat("[%s(%d)] %s\n", kSourceName, LineForLevel(level), message.c_str());
    if (file) {
      FileWriteNarrow(file, line);
      std::fflush(file);
    } else {
      WriteNarrow(Stream::Out, line);
      std::fflush(stdout);
    }
  }
  if (file) std::fclose(file);
  return 1;
}

}  // namespace kes
