// The efivarfs directory over the emulated firmware, with the semantics Linux's efivarfs has:
//  - a file is named "Name-guid" and holds the 4-byte little-endian attribute word and the data;
//  - every write() is one SetVariable of the whole content it carries; a write of the attribute
//    word alone deletes the variable; a successful write after which the variable no longer
//    exists removes the file;
//  - a write shorter than 4 bytes or with an attribute bit outside 0x7F fails with EINVAL; other
//    refusals carry the errno the kernel maps the firmware's status to (EACCES for a security
//    violation, EIO for a device error, and EIO for a variable the firmware does not have);
//  - a file created but not (successfully) written is an empty file that reads as 0 bytes and
//    is no variable;
//  - every file carries the immutable inode flag when it appears; while it is set, unlink and
//    open for writing fail with EPERM; truncation never changes a variable.
#pragma once
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "companions/fwemu/firmware_model.h"

namespace kes::fwemu {

inline constexpr uint32_t kImmutableFlag = 0x10;  // FS_IMMUTABLE_FL

class EfivarfsModel {
 public:
  explicit EfivarfsModel(FirmwareModel& firmware);

  // File names: the firmware's variables in enumeration order, then files created but not written.
  std::vector<std::string> List() const;
  bool Exists(const std::string& fileName) const;
  // The file's bytes (empty for a created, unwritten file). Empty also for a missing file.
  std::vector<uint8_t> Content(const std::string& fileName) const;
  uint64_t Size(const std::string& fileName) const;
  // Copies the file's bytes from offset into out; returns how many there were.
  size_t Read(const std::string& fileName, uint64_t offset, std::span<uint8_t> out) const;

  // Each returns 0 or an errno value.
  int Create(const std::string& fileName);  // EINVAL for a name that is not Name-guid, EEXIST
  int CheckOpen(const std::string& fileName, bool forWriting) const;  // ENOENT, EPERM
  int Write(const std::string& fileName, std::span<const uint8_t> bytes);
  int Unlink(const std::string& fileName);
  int GetFlags(const std::string& fileName, uint32_t& flags) const;
  int SetFlags(const std::string& fileName, uint32_t flags);  // EOPNOTSUPP for flags but immutable

  // The canonical file name (GUID in lower case) for any spelling of Name-GUID, else the input.
  static std::string Canonical(const std::string& fileName);

 private:
  struct FileState {
    uint32_t flags = kImmutableFlag;
    bool pending = false;  // created, not a variable
  };
  // Brings the file's state in line with the firmware after a change of the variable.
  void Sync(const std::string& fileName, const VariableId& id);

  FirmwareModel& firmware_;
  std::map<std::string, FileState> files_;  // every file that exists
  std::vector<std::string> pendingOrder_;
};

}  // namespace kes::fwemu
