#include "companions/fwemu/firmware_model.h"

#include <algorithm>

#include "companions/fwemu/mailbox.h"

namespace kes::fwemu {

FirmwareModel::FirmwareModel(Config config, std::vector<uint8_t> hiiDatabase, const std::vector<Variable>& initial)
    : config_(std::move(config)), hii_(std::move(hiiDatabase)), adminPassword_(config_.adminPassword) {
  for (const auto& v : initial) variables_.Put(v.id, v.attributes, v.data);
}

bool FirmwareModel::Matches(const std::vector<VariablePattern>& patterns, const VariableId& id) const {
  return std::any_of(patterns.begin(), patterns.end(), [&](const VariablePattern& p) { return p.Matches(id); });
}

EfiStatus FirmwareModel::SetVariable(const VariableId& id, uint32_t attributes, std::span<const uint8_t> data) {
  EfiStatus status = Store(id, attributes, data);
  if (log_) {
    log_("set " + VariableFileName(id) + " attributes=" + HexText(attributes) +
         " size=" + std::to_string(data.size()) + " status=" + HexText(status));
  }
  return status;
}

EfiStatus FirmwareModel::Store(const VariableId& id, uint32_t attributes, std::span<const uint8_t> data) {
  const bool append = (attributes & kAttrAppendWrite) != 0;
  if (attributes & ~kAttrMask) return kEfiInvalidParameter;
  if ((attributes & (kAttrRuntimeAccess | kAttrBootServiceAccess)) == kAttrRuntimeAccess) return kEfiInvalidParameter;
  bool deletes;
  if (config_.strictAttributes) {
    // At run time only variables with runtime access are reachable, and authenticated writes
    // would need signed payloads this firmware does not verify.
    if (attributes != 0 && !(attributes & kAttrRuntimeAccess)) return kEfiInvalidParameter;
    if (attributes & kAttrAuthenticatedWriteAccess) return kEfiUnsupported;
    if (attributes & kAttrTimeBasedAuthenticatedWriteAccess) return kEfiSecurityViolation;
    if ((attributes & kAttrHardwareErrorRecord) && id.name.rfind("HwErrRec", 0) != 0) return kEfiInvalidParameter;
    deletes = !append && (data.empty() || (attributes & (kAttrRuntimeAccess | kAttrBootServiceAccess)) == 0);
  } else {
    deletes = !append && (data.empty() || attributes == 0);
  }

  if (Matches(config_.failingVariables, id)) return kEfiDeviceError;
  if (Matches(config_.writeProtectedVariables, id)) return kEfiWriteProtected;

  if (id == config_.mailbox && !deletes) {
    std::string description;
    if (AnswerMailboxRequest(data, config_, hii_, variables_, mailboxBuffer_, log_ ? &description : nullptr)) {
      if (log_) log_(description);
      variables_.Swap(id, attributes & ~kAttrAppendWrite, mailboxBuffer_);
      return kEfiSuccess;
    }
  }

  if (auto handled = PasswordService(id, deletes, data)) return *handled;
  if (Matches(config_.protectedVariables, id) && !Unlocked()) return kEfiSecurityViolation;
  if (config_.maxVariableSize && data.size() > config_.maxVariableSize) return kEfiOutOfResources;

  const Variable* existing = variables_.Find(id);
  if (deletes) {
    if (!existing) return kEfiNotFound;
    variables_.Erase(id);
    return kEfiSuccess;
  }
  if (!existing) {
    if (append && data.empty()) return kEfiSuccess;
    // A variable created at run time must be non-volatile.
    if (config_.strictAttributes && !(attributes & kAttrNonVolatile)) return kEfiInvalidParameter;
    variables_.Put(id, attributes & ~kAttrAppendWrite, std::vector<uint8_t>(data.begin(), data.end()));
    return kEfiSuccess;
  }
  if (config_.strictAttributes && (attributes & ~kAttrAppendWrite) != existing->attributes) return kEfiInvalidParameter;
  std::vector<uint8_t> content;
  if (append) {
    if (config_.maxVariableSize && existing->data.size() + data.size() > config_.maxVariableSize) {
      return kEfiOutOfResources;
    }
    content = existing->data;
  }
  content.insert(content.end(), data.begin(), data.end());
  variables_.Put(id, append ? existing->attributes : attributes, std::move(content));
  return kEfiSuccess;
}

// The password variables are services, not storage, when the firmware has the password feature:
// nothing of them is stored, so reading one back finds no variable.
std::optional<EfiStatus> FirmwareModel::PasswordService(const VariableId& id, bool deletes,
                                                        std::span<const uint8_t> data) {
  if (!config_.passwordFeature || id.guid != kPasswordGuid) return std::nullopt;
  const bool setup = id.name == kSetupPasswordName;
  const bool admin = id.name == kAdminPasswordName;
  const bool user = id.name == kUserPasswordName;
  if (!setup && !admin && !user) return std::nullopt;
  if (deletes) return kEfiNotFound;

  auto log = [&](const std::string& what) {
    if (log_) log_("password " + id.name + " " + what);
  };
  if (setup) {
    if (data.size() == 1 && data[0] == 0) {
      // The re-lock request: always refused, and locks the protected variables again.
      unlocked_ = false;
      log("relock");
      return kEfiInvalidParameter;
    }
    if (config_.passwordRetryLimit && failedPasswords_ >= config_.passwordRetryLimit) {
      log("refused: retry count exceeded");
      return kEfiSecurityViolation;
    }
    if (adminPassword_ && !std::equal(data.begin(), data.end(), adminPassword_->begin(), adminPassword_->end())) {
      ++failedPasswords_;
      log("refused: wrong password");
      return kEfiSecurityViolation;
    }
    failedPasswords_ = 0;
    unlocked_ = true;
    log("accepted");
    return kEfiSuccess;
  }
  if (!Unlocked()) {
    log("refused: locked");
    return kEfiSecurityViolation;
  }
  if (data.size() < 2 || data.size() % 2 != 0) {
    log("refused: not 16-bit units");
    return kEfiInvalidParameter;
  }
  // A password of one zero unit (the empty plain text) removes it.
  std::optional<std::vector<uint8_t>> value;
  if (!(data.size() == 2 && data[0] == 0 && data[1] == 0)) value.emplace(data.begin(), data.end());
  if (admin) {
    adminPassword_ = value;
    // Whoever just set the admin password knows it: the session stays unlocked.
    unlocked_ = true;
  } else {
    userPassword_ = value;
  }
  log(value ? "set" : "removed");
  return kEfiSuccess;
}

}  // namespace kes::fwemu
