#include "companions/fwemu/mailbox.h"

#include <algorithm>

#include "base/le.h"
#include "companions/fwemu/mailbox_frame.h"

namespace kes::fwemu {

namespace {

// The name's UTF-16 units: one per byte of the efivarfs file name.
std::vector<uint16_t> NameUnits(const std::string& name) {
  std::vector<uint16_t> units;
  for (char c : name) units.push_back(static_cast<uint8_t>(c));
  return units;
}

// Serves one enumeration step in place over the payload. Appends the log text to *log when given.
void Enumerate(std::span<uint8_t> payload, const VariableStore& variables, std::string* log) {
  using namespace frame;
  Bytes in(payload.data(), payload.size());
  size_t capacity = payload.size() - kEnumNameOffset;
  uint64_t available = std::min<uint64_t>(Le64(in, kEnumNameLengthOffset), capacity);

  // The previous name ends at its first zero unit, or at the end of the payload.
  std::string previousName;
  bool nameFits = true;
  for (size_t off = kEnumNameOffset; off + 1 < payload.size(); off += 2) {
    uint16_t unit = Le16(in, off);
    if (unit == 0) break;
    if (unit > 0xFF) nameFits = false;  // no stored name has such a unit
    previousName.push_back(static_cast<char>(unit));
  }
  VariableId previous{previousName, {}};
  std::copy_n(payload.begin() + kEnumGuidOffset, 16, previous.guid.bytes.begin());

  std::string what;
  if (log) what = previousName.empty() ? "first" : "after " + VariableFileName(previous);
  bool found = true;
  const Variable* next = nullptr;
  if (!nameFits) found = false;
  else next = variables.Next(previousName.empty() ? nullptr : &previous, found);

  EfiStatus status = kEfiSuccess;
  if (!found) {
    status = kEfiInvalidParameter;
  } else if (!next) {
    status = kEfiNotFound;
  } else {
    std::vector<uint16_t> units = NameUnits(next->id.name);
    uint64_t needed = units.size() + 1;
    if (needed * 2 > available) {
      status = kEfiBufferTooSmall;
      PutLe64(payload.data() + kEnumNameLengthOffset, needed);
      if (log) what += " needs " + std::to_string(needed);
    } else {
      std::fill(payload.begin() + kEnumNameOffset, payload.end(), 0);
      for (size_t i = 0; i < units.size(); ++i) PutLe16(payload.data() + kEnumNameOffset + 2 * i, units[i]);
      std::copy(next->id.guid.bytes.begin(), next->id.guid.bytes.end(), payload.begin() + kEnumGuidOffset);
      PutLe64(payload.data() + kEnumNameLengthOffset, units.size());
      if (log) what += " -> " + VariableFileName(next->id);
    }
  }
  PutLe64(payload.data() + kEnumStatusOffset, status);
  if (log) *log += "enumerate " + what + " status=" + HexText(status);
}

// Serves one HII read request in place over the payload. Appends the log text to *log when given.
void ReadHii(std::span<uint8_t> payload, const Config& config, std::span<const uint8_t> hii, std::string* log) {
  using namespace frame;
  Bytes in(payload.data(), payload.size());
  uint64_t wanted = Le64(in, kHiiSizeOffset);
  uint64_t offset = Le64(in, kHiiOffsetOffset);
  uint64_t command = Le64(in, kHiiCommandOffset);
  if (log) *log += "hii-read size=" + std::to_string(wanted) + " offset=" + std::to_string(offset);

  EfiStatus status = kEfiSuccess;
  if (command != kHiiReadCommand) {
    status = kEfiUnsupported;
  } else if (wanted == 0) {
    PutLe64(payload.data() + kHiiSizeOffset, hii.size());
    if (log) *log += " total=" + std::to_string(hii.size());
  } else if (wanted > kHiiMaxChunk || wanted > payload.size() - kHiiDataOffset) {
    status = kEfiInvalidParameter;
  } else if (config.hiiFailOffset && *config.hiiFailOffset >= offset && *config.hiiFailOffset - offset < wanted) {
    status = config.hiiFailStatus;
  } else {
    // Bytes past the end of the database read as zero and are reported with EFI_BAD_BUFFER_SIZE.
    uint64_t present = offset < hii.size() ? std::min<uint64_t>(wanted, hii.size() - offset) : 0;
    uint8_t* data = payload.data() + kHiiDataOffset;
    if (present) std::copy_n(hii.begin() + static_cast<ptrdiff_t>(offset), present, data);
    std::fill(data + present, data + wanted, 0);
    if (present < wanted) status = kEfiBadBufferSize;
  }
  PutLe64(payload.data() + kHiiCommandOffset, status);
  if (log) *log += " status=" + HexText(status);
}

}  // namespace

bool AnswerMailboxRequest(std::span<const uint8_t> request, const Config& config,
                          std::span<const uint8_t> hiiDatabase, const VariableStore& variables,
                          std::vector<uint8_t>& response, std::string* description) {
  using namespace frame;
  Bytes in(request.data(), request.size());
  if (request.size() < kHeaderSize || Le16(in, kReturnValueOffset) != kRequestMarker) return false;

  response.assign(request.begin(), request.end());
  std::span<uint8_t> payload(response.data() + kHeaderSize, response.size() - kHeaderSize);
  uint16_t version = Le16(in, kVersionOffset);
  Guid function;
  std::copy_n(request.begin() + kFunctionGuidOffset, 16, function.bytes.begin());
  uint64_t payloadSize = Le64(in, kPayloadSizeOffset);

  bool isEnumerate = function == kEnumerateGuid;
  bool isHii = function == kHiiReadGuid;
  std::string what;
  std::string* log = description ? &what : nullptr;
  auto service = [&] { return isEnumerate ? "enumerate" : isHii ? "hii-read" : "unknown " + GuidText(function); };

  uint16_t returnValue = 0;
  if (payloadSize != payload.size() || (!isEnumerate && !isHii) ||
      (isEnumerate && payload.size() < kEnumNameOffset) || (isHii && payload.size() < kHiiDataOffset)) {
    returnValue = kBadRequest;
    if (log) what = service() + " payload=" + std::to_string(payload.size());
  } else if (config.rejectVersion8 && version == 8) {
    returnValue = kVersionUnsupported;
    if (log) what = service();
  } else if (config.mailboxReturnValue != 0 &&
             (config.mailboxErrorService == MailboxService::kAny ||
              (config.mailboxErrorService == MailboxService::kHiiRead && isHii) ||
              (config.mailboxErrorService == MailboxService::kEnumerate && isEnumerate))) {
    returnValue = config.mailboxReturnValue;
    if (log) what = service();
  } else if (isEnumerate) {
    Enumerate(payload, variables, log);
  } else {
    ReadHii(payload, config, hiiDatabase, log);
  }
  PutLe16(response.data() + kReturnValueOffset, returnValue);
  if (description) {
    *description = "mailbox version=" + std::to_string(version) + " " + what + " return=" + HexText(returnValue);
  }
  return true;
}

}  // namespace kes::fwemu
