#include "tools/attrs/fwupd_reread.h"

#include <systemd/sd-bus.h>

namespace kes::attrs {

namespace {

constexpr const char* kFwupd = "org.freedesktop.fwupd";

struct Bus {
  sd_bus* bus = nullptr;
  ~Bus() { sd_bus_flush_close_unref(bus); }  // the request leaves before the connection closes
};

struct Message {
  sd_bus_message* message = nullptr;
  ~Message() { sd_bus_message_unref(message); }
};

}  // namespace

bool AskFwupdToReread() {
  Bus bus;
  if (sd_bus_open_system(&bus.bus) < 0) return false;
  // The bus itself answers whether the daemon runs; asking never starts it.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  Message reply;
  int asked = sd_bus_call_method(bus.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", &error, &reply.message, "s", kFwupd);
  sd_bus_error_free(&error);
  int running = 0;
  if (asked < 0 || sd_bus_message_read(reply.message, "b", &running) < 0 || !running) return false;
  Message quit;
  if (sd_bus_message_new_method_call(bus.bus, &quit.message, kFwupd, "/", kFwupd, "Quit") < 0) return false;
  // No reply is awaited, and the message must not start a daemon that is gone meanwhile.
  if (sd_bus_message_set_expect_reply(quit.message, 0) < 0 || sd_bus_message_set_auto_start(quit.message, 0) < 0)
    return false;
  return sd_bus_send(bus.bus, quit.message, nullptr) >= 0;
}

}  // namespace kes::attrs
