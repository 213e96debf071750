#include "base/console.h"
#include "script/operations.h"

namespace kes {
namespace {
Status Unavailable(const wchar_t* what) {
  Print(Stream::Err, L"ERROR: %ls is not available in this version.\n", what);
  return status::kNotImplemented;
}
}  // namespace

Status ExportSingleQuestion(const SetupContext&) { return Unavailable(L"Single question export"); }
Status UpdateSingleQuestion(const SetupContext&) { return Unavailable(L"Single question update"); }

}  // namespace kes
