#include "base/console.h"
#include "script/operations.h"

namespace kes {
namespace {
Status Unavailable(const wchar_t* what) {
  Print(Stream::Err, L"ERROR: %ls is not available in this version.\n", what);
  return status::kNotImplemented;
}
}  // namespace

Status CompareScripts(RunState&, const std::wstring&, const std::wstring&, const std::wstring&) {
  return Unavailable(L"Script compare");
}

}  // namespace kes
