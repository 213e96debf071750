#include "base/run_state.h"

namespace kes {
namespace {

const wchar_t* const kSwitchNames[kSwitchCount] = {
    L"/o", L"/i", L"/s", L"/n", L"/l", L"/h", L"/c", L"/f", L"/v", L"/q", L"/ds", L"/dm", L"/b",
    L"/r", L"/lang", L"/sp", L"/g", L"/a", L"/d", L"/ndef", L"/sd", L"/p", L"/ms", L"/ov", L"/qv",
    L"/bt", L"/ce", L"/ni", L"/shutdown", L"/reboot", L"/varname", L"/varguid", L"/varvalue",
    L"/varfile", L"/cs", L"/log", L"/logfile:", L"/loglvl:", L"/hb",
    L"/cpwd", L"/apwd", L"/upwd", L"/cpwds", L"/cpwde", L"/apwds", L"/apwde", L"/upwds", L"/upwde",
    L"/cpwdf", L"/cpwdsf", L"/cpwdef", L"/apwdf", L"/apwdsf", L"/apwdef", L"/upwdf", L"/upwdsf",
    L"/upwdef",
};

}  // namespace

const wchar_t* SwitchName(Switch s) {
  size_t i = static_cast<size_t>(s);
  return i < kSwitchCount ? kSwitchNames[i] : L"";
}

}  // namespace kes
