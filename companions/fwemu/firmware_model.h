// The emulated firmware: its variable storage with SetVariable's rules, the mailbox handler, the
// Setup password services and the protected variables. Plain C++, no file system: the FUSE glue
// (efivarfs_model.h) and the tests drive it directly.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "companions/fwemu/config.h"
#include "companions/fwemu/variable_store.h"

namespace kes::fwemu {

// Vendor GUID of "$SETUPPASSWD", "$SETADMINPASSWD" and "$SETUSERPASSWD".
inline const Guid kPasswordGuid = *ParseGuid("5855ce1b-fb8e-47e4-bc1a-39ecaa0c96cf");
inline constexpr char kSetupPasswordName[] = "$SETUPPASSWD";
inline constexpr char kAdminPasswordName[] = "$SETADMINPASSWD";
inline constexpr char kUserPasswordName[] = "$SETUSERPASSWD";

class FirmwareModel {
 public:
  FirmwareModel(Config config, std::vector<uint8_t> hiiDatabase, const std::vector<Variable>& initial);

  // UEFI SetVariable as called at run time through the kernel. A write of a request frame to the
  // mailbox variable stores the handler's response instead.
  EfiStatus SetVariable(const VariableId& id, uint32_t attributes, std::span<const uint8_t> data);
  const Variable* GetVariable(const VariableId& id) const { return variables_.Find(id); }
  const VariableStore& variables() const { return variables_; }

  const Config& config() const { return config_; }
  const std::vector<uint8_t>& hiiDatabase() const { return hii_; }
  // Protected variables may be written (no admin password, or the admin password was presented).
  bool Unlocked() const { return !adminPassword_ || unlocked_; }
  const std::optional<std::vector<uint8_t>>& adminPassword() const { return adminPassword_; }
  const std::optional<std::vector<uint8_t>>& userPassword() const { return userPassword_; }

  // Receives one line (no newline) per SetVariable and per mailbox request.
  void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }
  bool Logging() const { return static_cast<bool>(log_); }
  // Adds a line of the file-system side (an inode flag change) to the same log.
  void Log(const std::string& line) const {
    if (log_) log_(line);
  }

 private:
  EfiStatus Store(const VariableId& id, uint32_t attributes, std::span<const uint8_t> data);
  std::optional<EfiStatus> PasswordService(const VariableId& id, bool deletes, std::span<const uint8_t> data);
  bool Matches(const std::vector<VariablePattern>& patterns, const VariableId& id) const;

  Config config_;
  std::vector<uint8_t> hii_;
  VariableStore variables_;
  std::optional<std::vector<uint8_t>> adminPassword_;
  std::optional<std::vector<uint8_t>> userPassword_;
  bool unlocked_ = false;
  unsigned failedPasswords_ = 0;
  std::function<void(const std::string&)> log_;
  std::vector<uint8_t> mailboxBuffer_;  // the next response is built here (no allocation per request)
};

}  // namespace kes::fwemu
