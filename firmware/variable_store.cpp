// Minimal efivarfs access; the complete store (sysfs interface, immutable flag, error
// reporting) replaces this.
#include "firmware/variable_store.h"

#include <cerrno>
#include <cstdio>

#include "App/common/text.h"
#include "firmware/firmware_root.h"

namespace kes {
namespace {
int g_lastWriteError = 0;
std::string EfivarfsPath(const std::string& name, const EfiGuid& guid) {
  return FirmwarePath("efi/efivars/") + name + "-" + FormatGuidText(guid);
}
}  // namespace

Status ReadEfiVariable(const std::string& name, const EfiGuid& guid, uint32_t& attributes,
                       std::vector<uint8_t>& data) {
  auto bytes = ReadWholeFile(EfivarfsPath(name, guid));
  if (!bytes || bytes->size() < 4) return status::kFailure;
  attributes = (*bytes)[0] | ((*bytes)[1] << 8) | ((*bytes)[2] << 16) | (static_cast<uint32_t>((*bytes)[3]) << 24);
  data.assign(bytes->begin() + 4, bytes->end());
  return status::kSuccess;
}

Status WriteEfiVariable(const std::string& name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data) {
  std::string path = EfivarfsPath(name, guid);
  if (data.empty()) {
    if (std::remove(path.c_str()) != 0) { g_lastWriteError = errno; return status::kFailure; }
    g_lastWriteError = 0;
    return status::kSuccess;
  }
  std::vector<uint8_t> content(4 + data.size());
  content[0] = attributes & 0xFF; content[1] = (attributes >> 8) & 0xFF;
  content[2] = (attributes >> 16) & 0xFF; content[3] = attributes >> 24;
  std::copy(data.begin(), data.end(), content.begin() + 4);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) { g_lastWriteError = errno; return status::kFailure; }
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = (std::fclose(f) == 0) && ok;
  g_lastWriteError = ok ? 0 : errno;
  return ok ? status::kSuccess : status::kFailure;
}

std::optional<std::vector<uint8_t>> GetNVRAMVariable(std::wstring_view name, const EfiGuid& guid,
                                                     uint32_t* attributes) {
  uint32_t attr = 0;
  std::vector<uint8_t> data;
  if (ReadEfiVariable(ToNarrow(name), guid, attr, data) != status::kSuccess) return std::nullopt;
  if (attributes) *attributes = attr;
  return data;
}

Status SetNVRAMVariable(std::wstring_view name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data) {
  if (name.empty() || attributes == 0) return kSetVariableBadArguments;
  return WriteEfiVariable(ToNarrow(name), guid, attributes, data);
}

int LastVariableWriteError() { return g_lastWriteError; }

}  // namespace kes
