#include "firmware/firmware_state.h"

namespace kes {
namespace {
FirmwareState* g_firmware = nullptr;
}

FirmwareState& Firmware() {
  if (!g_firmware) g_firmware = new FirmwareState();
  return *g_firmware;
}

void ResetFirmwareState() {
  delete g_firmware;
  g_firmware = new FirmwareState();
}

}  // namespace kes
