// Debug tracing, off unless /log, /logfile: or /loglvl: was given. Lines are
// "[<source>(<line>)] <message>\n" on standard output or appended to the log file, which is
// opened and closed around every message so that it survives a crash up to the last line.
#pragma once
#include <cstdint>

#include "base/run_state.h"

namespace kes {

inline constexpr uint32_t LV_ALWS = 1;
inline constexpr uint32_t LV_KERN = 2;
inline constexpr uint32_t LV_LIBR = 4;
inline constexpr uint32_t LV_MODL = 8;

// Returns 1, or 0 when the log file cannot be opened. Writes nothing unless a DebugLogScope is
// alive.
int DebugLog(uint32_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Directs DebugLog to the given settings while alive (the driver holds one for the run). The
// settings must outlive the scope. Scopes nest; the innermost one wins.
class DebugLogScope {
 public:
  explicit DebugLogScope(const LogSettings& settings);
  ~DebugLogScope();
  DebugLogScope(const DebugLogScope&) = delete;
  DebugLogScope& operator=(const DebugLogScope&) = delete;

 private:
  const LogSettings* previous_;
};

}  // namespace kes
