#include "App/driver.h"

#include "App/common/console.h"

namespace kes {

Status RunTool(int argc, char** argv) {
  Print(Stream::Err, L"ERROR:%X - not built yet\n", status::kNotImplemented);
  return status::kNotImplemented;
}

}  // namespace kes
