#include "firmware/mailbox.h"

#include <algorithm>
#include <array>

#include "base/console.h"
#include "base/text.h"
#include "firmware/variable_store.h"

namespace kes {
namespace {

void BuildHeader(const FirmwareAccess& fw, std::vector<uint8_t>& frame, const EfiGuid& function, size_t payloadLength) {
  uint8_t* h = frame.data();
  PutLe16(h + mailbox::kSizeOffset, mailbox::kFrameSize);
  PutLe16(h + mailbox::kReservedOffset, 0);
  PutLe16(h + mailbox::kVersionOffset, static_cast<uint16_t>(fw.protocolVersion));
  PutLe16(h + mailbox::kReturnValueOffset, mailbox::kRequestPending);
  auto guid = function.ToBytes();
  std::copy(guid.begin(), guid.end(), h + mailbox::kFunctionGuidOffset);
  PutLe64(h + mailbox::kPayloadSizeOffset, payloadLength);
}

// The CRC-32 table is a constant of the algorithm, built once for the process.
const std::array<uint32_t, 256>& Crc32Table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// One pass of the HII read: `size` bytes from `offset` into dest, in requests of at most
// kMaxChunk bytes. A size of 0 is a size query: one request, and *total receives the database
// size the firmware reports.
Status ReadHiiPass(MailboxSession& session, uint8_t* dest, uint64_t offset, uint64_t size, uint64_t* total) {
  using namespace hii_read;
  std::vector<uint8_t> frame(mailbox::kHeaderBytes + kPayloadBufferBytes);
  uint8_t* payload = frame.data() + mailbox::kHeaderBytes;
  uint64_t remaining = size;
  Status result = status::kSuccess;
  do {
    size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, kMaxChunk));
    PutLe64(payload + kLengthOffset, n);
    PutLe64(payload + kOffsetOffset, offset);
    PutLe64(payload + kCommandOffset, kCommand);
    std::fill_n(payload + kDataOffset, n, 0);
    size_t answered = 0;
    Status sent = session.Send(frame, kFunctionGuid, kDataOffset + n, &answered);
    if (sent != status::kSuccess) {
      result = sent;
      break;
    }
    // A response that does not cover the bytes asked for would leave the request's zeros in the
    // database: that is a broken answer, not data.
    if (answered < mailbox::kHeaderBytes + kDataOffset + n) {
      result = status::kTransportFailure;
      break;
    }
    uint32_t service = Le32(Bytes(payload, kPayloadBufferBytes), kCommandOffset);
    // The handler flags the last chunk with a status whose low 16 bits are 4 when it reaches past
    // the end of the database; its data is still good. Anywhere else that status means the chunk
    // holds no database bytes, and taking it would corrupt the image.
    bool lastChunk = remaining == n;
    if (service != 0 && ((service & 0xFFFF) != 4 || !lastChunk)) {
      result = service;
      break;
    }
    if (size == 0 && total) *total = Le64(Bytes(payload, kPayloadBufferBytes), kLengthOffset);
    if (n) std::copy_n(payload + kDataOffset, n, dest);
    dest += n;
    offset += n;
    remaining -= n;
  } while (remaining > 0);
  return MapFirmwareStatus(result);
}

}  // namespace

Status MapFirmwareStatus(uint32_t value) { return value == 0 ? 0 : (value & 0x7F) + 0x80; }

MailboxSession::MailboxSession(FirmwareAccess& fw) : fw_(fw) {
  // Without a platform identification there is no mailbox variable to talk to.
  if (!fw.mailboxName.empty()) variable_.emplace(fw, fw.mailboxName, fw.mailboxGuid);
}

MailboxSession::MailboxSession(FirmwareAccess& fw, Responder responder) : fw_(fw), responder_(std::move(responder)) {}

Status SendFirmwareRequest(FirmwareAccess& fw, std::vector<uint8_t>& frame, const EfiGuid& function, size_t payloadLength,
                           size_t* responseLength) {
  MailboxSession session(fw);
  return session.Send(frame, function, payloadLength, responseLength);
}

Status MailboxSession::Send(std::vector<uint8_t>& frame, const EfiGuid& function, size_t payloadLength,
                            size_t* responseLength) {
  if (responseLength) *responseLength = 0;
  if (frame.size() < mailbox::kHeaderBytes + payloadLength) return kSetVariableBadArguments;
  if (!variable_ && !responder_) return kSetVariableBadArguments;
  FirmwareAccess& fw = fw_;

  for (;;) {
    BuildHeader(fw, frame, function, payloadLength);
    size_t requestBytes = mailbox::kHeaderBytes + payloadLength;
    std::vector<uint8_t>& response = response_;
    if (responder_) {
      Status answered = responder_(Bytes(frame.data(), requestBytes), response);
      if (answered != status::kSuccess) return answered;
    } else {
      Status written = variable_->Write(mailbox::kMailboxAttributes, Bytes(frame.data(), requestBytes));
      if (written != status::kSuccess) return written;
      uint32_t attributes = 0;
      Status read = variable_->Read(attributes, response);
      if (read != status::kSuccess) return read;
    }
    if (response.size() < mailbox::kHeaderBytes) return status::kTransportFailure;

    uint16_t returnValue = Le16(response, mailbox::kReturnValueOffset);
    if (returnValue != 0) Print(Stream::Out, L"Vorn Header ReturnValue %x\n", returnValue);
    if (returnValue == mailbox::kVersionUnsupported && fw.protocolVersion == mailbox::kProtocolVersion) {
      fw.protocolVersion = mailbox::kFallbackProtocolVersion;  // for the rest of the run
      continue;
    }
    size_t copied = std::min(response.size(), requestBytes);
    std::copy_n(response.begin(), copied, frame.begin());
    if (responseLength) *responseLength = copied;
    return returnValue;
  }
}

Status GetNextNVRAMVariableName(FirmwareAccess& fw, size_t& nameLength, std::wstring& name, EfiGuid& guid) {
  MailboxSession session(fw);
  return GetNextNVRAMVariableName(session, nameLength, name, guid);
}

Status GetNextNVRAMVariableName(MailboxSession& session, size_t& nameLength, std::wstring& name, EfiGuid& guid) {
  using namespace name_enumeration;
  constexpr size_t kMaxNameUnits = kNameBytes / 2 - 1;  // room for the terminating zero
  if (nameLength > kMaxNameUnits || nameLength > name.size()) return MapFirmwareStatus(status::kInvalidParameter);

  std::vector<uint8_t> frame(mailbox::kHeaderBytes + kPayloadBytes, 0);
  uint8_t* payload = frame.data() + mailbox::kHeaderBytes;
  PutLe64(payload + kStatusOffset, kRequestTag);
  PutLe64(payload + kLengthOffset, kNameBytes);
  if (nameLength != 0) {
    auto g = guid.ToBytes();
    std::copy(g.begin(), g.end(), payload + kGuidOffset);
    std::vector<uint8_t> units = WideToUtf16Bytes(std::wstring_view(name).substr(0, nameLength), false);
    std::copy(units.begin(), units.end(), payload + kNameOffset);
  }

  size_t answered = 0;
  if (session.Send(frame, kFunctionGuid, kPayloadBytes, &answered) != status::kSuccess)
    return status::kTransportFailure;
  Bytes response(payload, answered - mailbox::kHeaderBytes);
  if (!Fits(response, 0, kGuidOffset)) return status::kTransportFailure;
  uint32_t service = Le32(response, kStatusOffset);
  uint32_t length = Le32(response, kLengthOffset);
  if (service == kFound) {
    // The name must fit the name field and the answer; an empty name would restart the walk.
    if (length == 0 || length > kNameBytes / 2 || !Fits(response, kNameOffset, size_t{length} * 2))
      return status::kTransportFailure;
    name = Utf16BytesToWide(response.subspan(kNameOffset, size_t{length} * 2), true);
    if (name.empty()) return status::kTransportFailure;
    nameLength = name.size();
    guid = EfiGuid::FromBytes(response, kGuidOffset);
  } else if (service == kNameBufferTooSmall) {
    nameLength = length;
  }
  return MapFirmwareStatus(service);
}

Status GetHiiDatabase(FirmwareAccess& fw, std::vector<uint8_t>& database, uint32_t& crc) {
  MailboxSession session(fw);
  return GetHiiDatabase(session, database, crc);
}

Status GetHiiDatabase(MailboxSession& session, std::vector<uint8_t>& database, uint32_t& crc) {
  FirmwareAccess& fw = session.Firmware();
  uint64_t total = 0;
  Status s = ReadHiiPass(session, nullptr, 0, 0, &total);
  if (s != status::kSuccess) return s;
  if (total > hii_read::kMaxDatabaseBytes) {
    Print(Stream::Err, L"ERROR: The firmware reports an HII database of %llu bytes; at most %llu are accepted.\n",
          static_cast<unsigned long long>(total), static_cast<unsigned long long>(hii_read::kMaxDatabaseBytes));
    return status::kTransportFailure;
  }
  std::vector<uint8_t> image(static_cast<size_t>(total));
  // A database of size 0 still takes one (empty) read request, as the firmware expects.
  s = ReadHiiPass(session, image.data(), 0, total, nullptr);
  if (s != status::kSuccess) return s;
  fw.hiiDatabaseSize = image.size();
  crc = CalculateCrc32(image);
  database = std::move(image);
  return status::kSuccess;
}

uint32_t CalculateCrc32(Bytes data) {
  const auto& table = Crc32Table();
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void CalculateCrc32(const uint8_t* data, size_t length, uint32_t& crc) {
  crc = CalculateCrc32(Bytes(data, data ? length : 0));
}

}  // namespace kes
