#include "app/system_control.h"

#include <sched.h>

#include <cstdio>
#include <cstdlib>

namespace kes {
namespace {

Status RunShellCommand(const char* command) {
  std::fflush(nullptr);  // everything printed so far reaches its stream before the system goes down
  int result = std::system(command);
  return result == 0 ? status::kSuccess : status::kFailure;
}

}  // namespace

void BindToFirstProcessor() {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(0, &set);
  sched_setaffinity(0, sizeof set, &set);
}

Status ShutDownSystem() { return RunShellCommand("shutdown -h now"); }
Status RebootSystem() { return RunShellCommand("shutdown -r now"); }

}  // namespace kes
