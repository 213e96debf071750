// Debug tracing, off unless /log, /logfile: or /loglvl: was given. Lines are
// "[<source>(<line>)] <message>\n" on standard output or appended to the log file, which is
// opened and closed around every message so that it survives a crash up to the last line.
#pragma once
#include <cstdint>

namespace kes {

inline constexpr uint32_t LV_ALWS = 1;
inline constexpr uint32_t LV_KERN = 2;
inline constexpr uint32_t LV_LIBR = 4;
inline constexpr uint32_t LV_MODL = 8;

// Returns 1, or 0 when the log file cannot be opened.
int DebugLog(uint32_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kes
