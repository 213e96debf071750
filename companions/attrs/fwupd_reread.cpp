#include "companions/attrs/fwupd_reread.h"

#include <systemd/sd-bus.h>

#include <cstdint>

namespace kes::attrs {

namespace {

constexpr const char* kFwupd = "org.freedesktop.fwupd";

struct Bus {
  sd_bus* bus = nullptr;
  ~Bus() { sd_bus_flush_close_unref(bus); }
};

struct Message {
  sd_bus_message* message = nullptr;
  ~Message() { sd_bus_message_unref(message); }
};

struct Error {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~Error() { sd_bus_error_free(&error); }
};

}  // namespace

bool AskFwupdToReread(int timeoutMs) {
  Bus bus;
  if (sd_bus_open_system(&bus.bus) < 0) return false;
  uint64_t timeout = static_cast<uint64_t>(timeoutMs > 0 ? timeoutMs : 1) * 1000;
  // The bus itself answers whether the daemon runs; asking never starts it.
  Error asked;
  Message owner;
  int running = 0;
  if (sd_bus_call_method(bus.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &asked.error, &owner.message, "s", kFwupd) < 0 ||
      sd_bus_message_read(owner.message, "b", &running) < 0 || !running)
    return false;
  Message quit;
  // The request must not start a daemon that quit meanwhile.
  if (sd_bus_message_new_method_call(bus.bus, &quit.message, kFwupd, "/", kFwupd, "Quit") < 0 ||
      sd_bus_message_set_auto_start(quit.message, 0) < 0)
    return false;
  Error refused;
  Message reply;
  return sd_bus_call(bus.bus, quit.message, timeout, &refused.error, &reply.message) >= 0;
}

}  // namespace kes::attrs
