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

// Traces one message under the run's settings (/log, /logfile:, /loglvl:); `settings` may be
// null: no trace. Callers reach the settings through the run record, or through the firmware
// access, which the driver points at them. Returns 1, or 0 when the log file cannot be opened.
int DebugLog(const LogSettings* settings, uint32_t level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

}  // namespace kes
