#include "companions/fwemu/efivarfs_model.h"

#include <algorithm>
#include <cerrno>

#include "base/le.h"

namespace kes::fwemu {

EfivarfsModel::EfivarfsModel(FirmwareModel& firmware) : firmware_(firmware) {
  for (const auto& v : firmware_.variables().All()) files_[VariableFileName(v.id)] = FileState{};
}

std::string EfivarfsModel::Canonical(const std::string& fileName) {
  if (!ParseVariableFileName(fileName)) return fileName;
  // Spellings of one variable differ only in the case of the GUID's letters, its last 36 characters.
  std::string name = fileName;
  for (size_t i = name.size() - 36; i < name.size(); ++i) {
    if (name[i] >= 'A' && name[i] <= 'F') name[i] = static_cast<char>(name[i] - 'A' + 'a');
  }
  return name;
}

std::vector<std::string> EfivarfsModel::List() const {
  std::vector<std::string> names;
  for (const auto& v : firmware_.variables().All()) names.push_back(VariableFileName(v.id));
  names.insert(names.end(), pendingOrder_.begin(), pendingOrder_.end());
  return names;
}

bool EfivarfsModel::Exists(const std::string& fileName) const {
  auto id = ParseVariableFileName(fileName);
  if (!id) return false;
  if (firmware_.GetVariable(*id)) return true;
  auto it = files_.find(VariableFileName(*id));
  return it != files_.end() && it->second.pending;
}

std::vector<uint8_t> EfivarfsModel::Content(const std::string& fileName) const {
  auto id = ParseVariableFileName(fileName);
  const Variable* v = id ? firmware_.GetVariable(*id) : nullptr;
  if (!v) return {};
  std::vector<uint8_t> bytes;
  AppendLe32(bytes, v->attributes);
  bytes.insert(bytes.end(), v->data.begin(), v->data.end());
  return bytes;
}

uint64_t EfivarfsModel::Size(const std::string& fileName) const {
  auto id = ParseVariableFileName(fileName);
  const Variable* v = id ? firmware_.GetVariable(*id) : nullptr;
  return v ? v->data.size() + 4 : 0;
}

size_t EfivarfsModel::Read(const std::string& fileName, uint64_t offset, std::span<uint8_t> out) const {
  auto id = ParseVariableFileName(fileName);
  const Variable* v = id ? firmware_.GetVariable(*id) : nullptr;
  if (!v) return 0;
  uint8_t attributes[4];
  PutLe32(attributes, v->attributes);
  size_t n = 0;
  for (; n < out.size() && offset + n < 4; ++n) out[n] = attributes[offset + n];
  uint64_t dataOffset = offset + n - 4;
  if (n < out.size() && dataOffset < v->data.size()) {
    size_t count = std::min<uint64_t>(out.size() - n, v->data.size() - dataOffset);
    std::copy_n(v->data.begin() + static_cast<ptrdiff_t>(dataOffset), count, out.begin() + static_cast<ptrdiff_t>(n));
    n += count;
  }
  return n;
}

int EfivarfsModel::Create(const std::string& fileName) {
  auto id = ParseVariableFileName(fileName);
  if (!id) return EINVAL;
  if (Exists(fileName)) return EEXIST;
  std::string name = VariableFileName(*id);
  files_[name] = FileState{kImmutableFlag, true};
  pendingOrder_.push_back(name);
  return 0;
}

int EfivarfsModel::CheckOpen(const std::string& fileName, bool forWriting) const {
  if (!Exists(fileName)) return ENOENT;
  auto it = files_.find(Canonical(fileName));
  uint32_t flags = it == files_.end() ? kImmutableFlag : it->second.flags;
  if (forWriting && (flags & kImmutableFlag)) return EPERM;
  return 0;
}

void EfivarfsModel::Sync(const std::string& fileName, const VariableId& id) {
  pendingOrder_.erase(std::remove(pendingOrder_.begin(), pendingOrder_.end(), fileName), pendingOrder_.end());
  if (firmware_.GetVariable(id)) {
    files_.try_emplace(fileName).first->second.pending = false;
  } else {
    files_.erase(fileName);
  }
}

int EfivarfsModel::Write(const std::string& fileName, std::span<const uint8_t> bytes) {
  auto id = ParseVariableFileName(fileName);
  if (!id) return EINVAL;
  if (bytes.size() < 4) return EINVAL;
  uint32_t attributes = Le32(Bytes(bytes.data(), bytes.size()), 0);
  if (attributes & ~kAttrMask) return EINVAL;
  EfiStatus status = firmware_.SetVariable(*id, attributes, bytes.subspan(4));
  if (status != kEfiSuccess) {
    int error = EfiStatusToErrno(status);
    // efivarfs reports a variable the firmware does not have as an I/O error.
    return error == ENOENT ? EIO : error;
  }
  Sync(VariableFileName(*id), *id);
  return 0;
}

int EfivarfsModel::Unlink(const std::string& fileName) {
  auto id = ParseVariableFileName(fileName);
  if (!id || !Exists(fileName)) return ENOENT;
  if (CheckOpen(fileName, true) == EPERM) return EPERM;
  if (firmware_.GetVariable(*id)) {
    EfiStatus status = firmware_.SetVariable(*id, 0, {});
    // efivarfs turns every refused delete into EINVAL.
    if (status != kEfiSuccess && status != kEfiNotFound) return EINVAL;
  }
  std::string name = VariableFileName(*id);
  files_.erase(name);
  pendingOrder_.erase(std::remove(pendingOrder_.begin(), pendingOrder_.end(), name), pendingOrder_.end());
  return 0;
}

int EfivarfsModel::GetFlags(const std::string& fileName, uint32_t& flags) const {
  if (!Exists(fileName)) return ENOENT;
  auto it = files_.find(Canonical(fileName));
  flags = it == files_.end() ? kImmutableFlag : it->second.flags;
  return 0;
}

int EfivarfsModel::SetFlags(const std::string& fileName, uint32_t flags) {
  if (!Exists(fileName)) return ENOENT;
  if (flags & ~kImmutableFlag) return EOPNOTSUPP;
  std::string name = Canonical(fileName);
  files_[name].flags = flags;
  if (firmware_.Logging()) firmware_.Log("flags " + name + " " + HexText(flags));
  return 0;
}

}  // namespace kes::fwemu
