#include "hii/nvar_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <utility>

#include "base/le.h"
#include "firmware/variable_store.h"

namespace kes {

using namespace nvar;

namespace {

std::u16string_view UpToNul(std::u16string_view name) {
  size_t nul = name.find(u'\0');
  return nul == std::u16string_view::npos ? name : name.substr(0, nul);
}

bool AllBytesAre(Bytes b, size_t offset, size_t size, uint8_t value) {
  if (!Fits(b, offset, size)) return false;
  return std::all_of(b.begin() + offset, b.begin() + offset + size, [value](uint8_t x) { return x == value; });
}

// The 8-bit sum that a checksummed record must bring to 0: the Size bytes, the Attributes byte
// and everything from the GUID (or data) to the end. Signature and Next are left out, so that
// Next can be programmed after the record was written.
uint8_t RecordSum(Bytes record) {
  uint32_t sum = record[kSizeOffset] + record[kSizeOffset + 1] + record[kAttributesOffset];
  for (size_t i = kHeaderSize; i < record.size(); ++i) sum += record[i];
  return static_cast<uint8_t>(sum);
}

}  // namespace

NvarStore::NvarStore(std::vector<uint8_t> buffer, uint8_t polarity)
    : buffer_(std::move(buffer)),
      polarity_(polarity),
      erased8_(polarity ? 0xFF : 0x00),
      erased16_(polarity ? 0xFFFF : 0x0000),
      erased24_(polarity ? kNextMask : 0) {}

std::optional<NvarStore> NvarStore::Open(std::vector<uint8_t> buffer, uint8_t polarity) {
  if (polarity > 1) return std::nullopt;
  NvarStore store(std::move(buffer), polarity);
  store.Rescan();
  const View& main = store.views_.front();
  store.ForEachRecord(main, [&](size_t pos) {
    auto record = store.ParseRecord(main, pos);
    if (!record || !store.IsLive(record->attributes)) return true;
    store.checksumWrites_ = record->extSize != 0 && (record->extAttributes & kExtChecksum);
    return false;
  });
  return store;
}

uint8_t NvarStore::Mode() const {
  return (checksumWrites_ ? kModeChecksum : 0) | (nested_ ? kModeNestedStdDefaults : 0);
}

void NvarStore::SetMode(uint8_t mode) {
  checksumWrites_ = mode & kModeChecksum;
  bool nested = mode & kModeNestedStdDefaults;
  if (nested != nested_) {
    nested_ = nested;
    Rescan();
  }
}

// Walks the records by their Size fields to the first Size that is erased, too small or runs
// past the store; the GUID table is the run of non-erased 16-byte entries below the end, never
// reaching down into the records.
NvarStore::View NvarStore::ScanView(size_t base, size_t size) const {
  View view;
  view.base = base;
  view.size = size;
  Bytes b(buffer_);
  size_t pos = base;
  const size_t end = base + size;
  while (end - pos >= kMinRecordSize) {
    uint16_t recordSize = Le16(b, pos + kSizeOffset);
    if (recordSize == erased16_ || recordSize < kMinRecordSize || recordSize > end - pos) break;
    pos += recordSize;
  }
  view.freeStart = pos;
  while ((view.guidCount + 1) * kGuidSize <= size) {
    size_t entry = end - (view.guidCount + 1) * kGuidSize;
    if (entry < view.freeStart || AllBytesAre(b, entry, kGuidSize, erased8_)) break;
    ++view.guidCount;
  }
  return view;
}

void NvarStore::Rescan() {
  views_.clear();
  views_.push_back(ScanView(0, buffer_.size()));
  if (!nested_) return;
  auto found = Find(views_.front(), u"StdDefaults", kDefaultsGuid);
  if (found) views_.push_back(ScanView(found->tail.dataOffset, found->tail.dataSize));
}

template <typename F>
void NvarStore::ForEachRecord(const View& view, F&& visit) const {
  Bytes b(buffer_);
  size_t pos = view.base;
  while (pos < view.freeStart) {
    size_t recordSize = Le16(b, pos + kSizeOffset);
    if (recordSize < kMinRecordSize || recordSize > view.freeStart - pos) return;
    if (!visit(pos)) return;
    pos += recordSize;
  }
}

std::optional<NvarStore::Record> NvarStore::ParseRecord(const View& view, size_t pos) const {
  Bytes b(buffer_);
  const size_t end = view.RecordsEnd();
  if (pos < view.base || pos > end || end - pos < kMinRecordSize) return std::nullopt;
  if (std::memcmp(&buffer_[pos + kSignatureOffset], kSignature, sizeof kSignature) != 0) return std::nullopt;
  Record r;
  r.pos = pos;
  r.size = Le16(b, pos + kSizeOffset);
  r.next = Le24(b, pos + kNextOffset);
  r.attributes = b[pos + kAttributesOffset];
  // Under polarity 0 a live record without flags legitimately has Attributes 0x00, so the
  // "never programmed" test only means something under polarity 1.
  if (polarity_ && r.attributes == erased8_) return std::nullopt;
  if (r.size == erased16_ || r.size < kMinRecordSize || r.size > end - pos) return std::nullopt;
  if (r.next != erased24_ && (r.next < r.size || r.next > end - pos)) return std::nullopt;

  size_t limit = pos + r.size;  // end of the data
  if (r.attributes & kAttrExtHeader) {
    r.extSize = Le16(b, pos + r.size - kExtSizeFieldSize);
    if (r.extSize < kExtMinSize || r.extSize > r.size - kHeaderSize) return std::nullopt;
    r.extOffset = pos + r.size - r.extSize;
    r.extAttributes = b[r.extOffset];
    limit = r.extOffset;
  }
  size_t cursor = pos + kHeaderSize;
  if (!r.DataOnly()) {
    cursor += (r.attributes & kAttrGuidInline) ? kGuidSize : 1;
    if (cursor > limit) return std::nullopt;
    r.nameOffset = cursor;
    const size_t unit = (r.attributes & kAttrAsciiName) ? 1 : 2;
    for (;;) {
      if (limit - cursor < unit) return std::nullopt;  // no terminator inside the record
      bool nul = unit == 1 ? b[cursor] == 0 : Le16(b, cursor) == 0;
      cursor += unit;
      if (nul) break;
      ++r.nameUnits;
    }
  }
  r.dataOffset = cursor;
  r.dataSize = limit - cursor;
  if (r.extSize != 0 && (r.extAttributes & kExtChecksum) && IsLive(r.attributes) &&
      RecordSum(b.subspan(pos, r.size)) != 0)
    return std::nullopt;
  return r;
}

std::optional<EfiGuid> NvarStore::RecordGuid(const View& view, const Record& record) const {
  Bytes b(buffer_);
  if (record.attributes & kAttrGuidInline) return EfiGuid::FromBytes(b, record.pos + kHeaderSize);
  size_t index = b[record.pos + kHeaderSize];
  if (index >= view.guidCount) return std::nullopt;
  return EfiGuid::FromBytes(b, view.End() - (index + 1) * kGuidSize);
}

std::u16string NvarStore::RecordName(const Record& record) const {
  std::u16string name;
  Bytes b(buffer_);
  bool ascii = record.attributes & kAttrAsciiName;
  for (size_t i = 0; i < record.nameUnits; ++i)
    name.push_back(ascii ? b[record.nameOffset + i] : Le16(b, record.nameOffset + 2 * i));
  return name;
}

bool NvarStore::NameMatches(const Record& record, std::u16string_view name) const {
  if (record.nameUnits != name.size()) return false;
  Bytes b(buffer_);
  bool ascii = record.attributes & kAttrAsciiName;
  for (size_t i = 0; i < name.size(); ++i)
    if ((ascii ? b[record.nameOffset + i] : Le16(b, record.nameOffset + 2 * i)) != name[i]) return false;
  return true;
}

// Follows Next while the record it leads to is well-formed. Next is at least the record's Size,
// so every step moves forward and the walk ends.
NvarStore::Record NvarStore::FollowChain(const View& view, const Record& head) const {
  Record current = head;
  while (current.next != erased24_) {
    auto next = ParseRecord(view, current.pos + current.next);
    if (!next) break;
    current = *next;
  }
  return current;
}

std::optional<NvarStore::Found> NvarStore::Find(const View& view, std::u16string_view name,
                                                const EfiGuid& guid) const {
  std::optional<Found> found;
  ForEachRecord(view, [&](size_t pos) {
    auto record = ParseRecord(view, pos);
    if (!record || !IsLive(record->attributes) || record->DataOnly() || !NameMatches(*record, name))
      return true;
    auto recordGuid = RecordGuid(view, *record);
    if (!recordGuid || *recordGuid != guid) return true;
    found = Found{*record, FollowChain(view, *record)};
    return false;
  });
  return found;
}

std::optional<NvarStore::Located> NvarStore::FindAny(std::u16string_view name, const EfiGuid& guid) const {
  for (const View& view : views_)
    if (auto found = Find(view, name, guid)) return Located{&view, *found};
  return std::nullopt;
}

std::vector<uint8_t> NvarStore::RecordData(const Record& record) const {
  auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(record.dataOffset);
  return std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(record.dataSize));
}

uint32_t NvarStore::ReportedAttributes(const View& view, const Record& head) const {
  uint32_t attributes = EFI_VARIABLE_BOOTSERVICE_ACCESS;
  if (head.attributes & kAttrRuntime) attributes |= EFI_VARIABLE_RUNTIME_ACCESS;
  if (view.nonVolatile) attributes |= EFI_VARIABLE_NON_VOLATILE;
  if (head.attributes & kAttrHwErrorRecord) attributes |= EFI_VARIABLE_HARDWARE_ERROR_RECORD;
  if ((head.attributes & kAttrAuthWrite) && head.extSize != 0) attributes |= head.extAttributes & kExtAuthMask;
  return attributes;
}

EfiStatus NvarStore::GetVariable(std::u16string_view name, const EfiGuid& guid, uint32_t* attributes,
                                 size_t& dataSize, uint8_t* data) const {
  name = UpToNul(name);
  if (name.empty() || (dataSize != 0 && data == nullptr)) return efi::kInvalidParameter;
  auto located = FindAny(name, guid);
  if (!located) return efi::kNotFound;
  const Found& found = located->found;
  if (attributes) *attributes = ReportedAttributes(*located->view, found.head);
  const size_t size = found.tail.dataSize;
  if (dataSize < size) {
    dataSize = size;
    return efi::kBufferTooSmall;
  }
  if (size != 0) std::memcpy(data, &buffer_[found.tail.dataOffset], size);
  dataSize = size;
  return efi::kSuccess;
}

std::optional<std::vector<uint8_t>> NvarStore::ReadVariable(std::u16string_view name, const EfiGuid& guid,
                                                            uint32_t* attributes) const {
  name = UpToNul(name);
  if (name.empty()) return std::nullopt;
  auto located = FindAny(name, guid);
  if (!located) return std::nullopt;
  if (attributes) *attributes = ReportedAttributes(*located->view, located->found.head);
  return RecordData(located->found.tail);
}

EfiStatus NvarStore::GetNextVariableName(std::u16string& name, EfiGuid& guid) const {
  const std::u16string previous(UpToNul(name));
  bool take = previous.empty();
  std::optional<EfiStatus> result;
  // Each variable is handed out once, at its first record in walk order. A later record with the
  // same name and GUID would send the next call back to the record after the first one, and a
  // record without a name would restart the walk: either way the walk would never end.
  std::set<std::pair<std::u16string, std::array<uint8_t, 16>>> seen;
  for (const View& view : views_) {
    ForEachRecord(view, [&](size_t pos) {
      auto record = ParseRecord(view, pos);
      if (!record || !IsLive(record->attributes) || record->DataOnly()) return true;
      auto recordGuid = RecordGuid(view, *record);
      if (!recordGuid) return true;
      std::u16string recordName = RecordName(*record);
      if (recordName.empty() || !seen.emplace(recordName, recordGuid->ToBytes()).second) return true;
      if (take) {
        name = std::move(recordName);
        guid = *recordGuid;
        result = efi::kSuccess;
        return false;
      }
      take = *recordGuid == guid && NameMatches(*record, previous);
      return true;
    });
    if (result) return *result;
  }
  return take ? efi::kNotFound : efi::kInvalidParameter;
}

bool NvarStore::FreeSpaceCheck() const {
  const View& main = views_.front();
  const size_t end = main.RecordsEnd();
  return main.freeStart < end && AllBytesAre(buffer_, main.freeStart, end - main.freeStart, erased8_);
}

NvarStore::AuthFields NvarStore::Auth(const Found& found) const {
  AuthFields auth;
  if (!(found.head.attributes & kAttrAuthWrite)) return auth;
  if (found.head.extSize != 0) auth.kind = found.head.extAttributes & kExtAuthMask;
  // The counter and digest of the newest record that carries them are kept as stored.
  for (const Record* r : {&found.tail, &found.head}) {
    if (r->extSize >= kExtMinSize + kExtAuthFieldsSize && (r->extAttributes & kExtAuthMask)) {
      auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(r->extOffset + 1);
      auth.counterDigest.assign(first, first + kExtAuthFieldsSize);
      break;
    }
  }
  if (auth.kind != 0 && auth.counterDigest.empty()) auth.counterDigest.assign(kExtAuthFieldsSize, 0);
  return auth;
}

// Header, body (GUID and name of a full record), data and, when needed, the extended header.
// The checksum byte sits just before ExtSize.
std::vector<uint8_t> NvarStore::BuildRecord(uint8_t attributes, std::span<const uint8_t> body,
                                            std::span<const uint8_t> data, const AuthFields& auth) const {
  const bool ext = checksumWrites_ || auth.kind != 0;
  if (ext) attributes |= kAttrExtHeader;
  std::vector<uint8_t> r(kSignature, kSignature + sizeof kSignature);
  AppendLe16(r, 0);
  for (int i = 0; i < 3; ++i) r.push_back(erased8_);
  r.push_back(static_cast<uint8_t>(attributes | LiveBit()));
  r.insert(r.end(), body.begin(), body.end());
  r.insert(r.end(), data.begin(), data.end());
  if (ext) {
    const size_t extStart = r.size();
    r.push_back(static_cast<uint8_t>((checksumWrites_ ? kExtChecksum : 0) | auth.kind));
    if (auth.kind != 0) r.insert(r.end(), auth.counterDigest.begin(), auth.counterDigest.end());
    if (checksumWrites_) r.push_back(0);
    AppendLe16(r, static_cast<uint16_t>(r.size() + kExtSizeFieldSize - extStart));
  }
  if (r.size() > kMaxRecordSize) return {};
  PutLe16(&r[kSizeOffset], static_cast<uint16_t>(r.size()));
  if (checksumWrites_) r[r.size() - kExtSizeFieldSize - 1] = static_cast<uint8_t>(0x100 - RecordSum(r));
  return r;
}

EfiStatus NvarStore::AppendDataOnly(const Found& found, std::span<const uint8_t> data) {
  const View& main = views_.front();
  uint8_t attributes = kAttrDataOnly | (found.head.attributes & kAttrAuthWrite);
  std::vector<uint8_t> record = BuildRecord(attributes, {}, data, Auth(found));
  const size_t pos = main.freeStart;
  if (record.empty() || record.size() + kMinFreeGap > main.RecordsEnd() - pos) return efi::kOutOfResources;
  // Next must stay below the erased 24-bit value, which means "no newer record".
  const size_t distance = pos - found.tail.pos;
  if (distance >= kNextMask) return efi::kOutOfResources;
  std::copy(record.begin(), record.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
  uint8_t* next = &buffer_[found.tail.pos + kNextOffset];
  for (int i = 0; i < 3; ++i) next[i] = static_cast<uint8_t>(distance >> (8 * i));
  Rescan();
  return efi::kSuccess;
}

EfiStatus NvarStore::AppendFull(std::u16string_view name, const EfiGuid& guid, uint8_t recordAttributes,
                                std::span<const uint8_t> data, const AuthFields& auth) {
  const View& main = views_.front();
  const auto guidBytes = guid.ToBytes();
  std::vector<uint8_t> body;
  uint8_t attributes = recordAttributes;

  // The GUID goes into the table (added at the next position when new) unless the table is full
  // or the GUID would read as an erased entry there.
  std::optional<size_t> index;
  bool newGuid = false;
  for (size_t i = 0; i < std::min(main.guidCount, kGuidIndexLimit) && !index; ++i)
    if (EfiGuid::FromBytes(buffer_, main.End() - (i + 1) * kGuidSize) == guid) index = i;
  if (!index && main.guidCount < kGuidIndexLimit &&
      !AllBytesAre(Bytes(guidBytes), 0, kGuidSize, erased8_)) {
    index = main.guidCount;
    newGuid = true;
  }
  if (index) {
    body.push_back(static_cast<uint8_t>(*index));
  } else {
    attributes |= kAttrGuidInline;
    body.insert(body.end(), guidBytes.begin(), guidBytes.end());
  }

  const bool ascii = std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x100; });
  if (ascii) {
    attributes |= kAttrAsciiName;
    for (char16_t c : name) body.push_back(static_cast<uint8_t>(c));
    body.push_back(0);
  } else {
    for (char16_t c : name) AppendLe16(body, c);
    AppendLe16(body, 0);
  }

  std::vector<uint8_t> record = BuildRecord(attributes, body, data, auth);
  const size_t pos = main.freeStart;
  const size_t room = main.RecordsEnd() - pos;
  if (record.empty() || record.size() + (newGuid ? kGuidSize : 0) + kMinFreeGap > room)
    return efi::kOutOfResources;
  std::copy(record.begin(), record.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
  if (newGuid)
    std::copy(guidBytes.begin(), guidBytes.end(),
              buffer_.begin() + static_cast<std::ptrdiff_t>(main.RecordsEnd() - kGuidSize));
  Rescan();
  return efi::kSuccess;
}

// A fresh buffer of the same size holding the newest value of every live variable of the main
// store, each as one full record, and only the GUIDs still in use.
std::optional<NvarStore> NvarStore::Rebuilt() const {
  NvarStore fresh(std::vector<uint8_t>(buffer_.size(), erased8_), polarity_);
  fresh.checksumWrites_ = checksumWrites_;
  fresh.nested_ = nested_;
  fresh.Rescan();
  const View& main = views_.front();
  bool ok = true;
  ForEachRecord(main, [&](size_t pos) {
    auto head = ParseRecord(main, pos);
    if (!head || !IsLive(head->attributes) || head->DataOnly()) return true;
    auto guid = RecordGuid(main, *head);
    std::u16string name = RecordName(*head);
    if (!guid || name.empty() || fresh.Find(fresh.views_.front(), name, *guid)) return true;  // first one wins
    Found found{*head, FollowChain(main, *head)};
    uint8_t keep = head->attributes & (kAttrRuntime | kAttrHwErrorRecord | kAttrAuthWrite);
    ok = fresh.AppendFull(name, *guid, keep, RecordData(found.tail), Auth(found)) == efi::kSuccess;
    return ok;
  });
  if (!ok) return std::nullopt;
  return fresh;
}

EfiStatus NvarStore::SetInStore(std::u16string_view name, const EfiGuid& guid, uint32_t attributes,
                                std::span<const uint8_t> data) {
  const bool append = attributes & EFI_VARIABLE_APPEND_WRITE;
  if (auto found = Find(views_.front(), name, guid)) {
    std::vector<uint8_t> value = append ? RecordData(found->tail) : std::vector<uint8_t>();
    value.insert(value.end(), data.begin(), data.end());
    if (value.size() > kMaxRecordSize) return efi::kOutOfResources;
    if (value.size() == found->tail.dataSize &&
        std::equal(value.begin(), value.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(found->tail.dataOffset)))
      return efi::kSuccess;  // identical data: nothing to write
    return AppendDataOnly(*found, value);
  }
  if (data.empty()) return efi::kSuccess;  // appending nothing to nothing
  uint8_t recordAttributes = 0;
  if (attributes & EFI_VARIABLE_RUNTIME_ACCESS) recordAttributes |= kAttrRuntime;
  if (attributes & EFI_VARIABLE_HARDWARE_ERROR_RECORD) recordAttributes |= kAttrHwErrorRecord;
  AuthFields auth;
  auth.kind = attributes & kExtAuthMask;
  if (auth.kind != 0) {
    recordAttributes |= kAttrAuthWrite;
    auth.counterDigest.assign(kExtAuthFieldsSize, 0);
  }
  return AppendFull(name, guid, recordAttributes, data, auth);
}

EfiStatus NvarStore::SetVariable(std::u16string_view name, const EfiGuid& guid, uint32_t attributes,
                                 std::span<const uint8_t> data) {
  name = UpToNul(name);
  if (name.empty() || attributes >= 0x80) return efi::kInvalidParameter;
  if ((attributes & EFI_VARIABLE_RUNTIME_ACCESS) && !(attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS))
    return efi::kInvalidParameter;
  if (data.size() > kMaxRecordSize) return efi::kOutOfResources;
  const bool append = attributes & EFI_VARIABLE_APPEND_WRITE;
  if (attributes == 0 || (data.empty() && !append)) return DeleteVariable(name, guid);
  // Every variable of this store is non-volatile; a volatile one has no place in it.
  if (views_.front().nonVolatile && !(attributes & EFI_VARIABLE_NON_VOLATILE)) return efi::kUnsupported;

  EfiStatus status = SetInStore(name, guid, attributes, data);
  if (status != efi::kOutOfResources) return status;
  // Out of space: compact into a fresh buffer and retry there; keep the old one if that fails.
  auto fresh = Rebuilt();
  if (!fresh) return efi::kOutOfResources;
  status = fresh->SetInStore(name, guid, attributes, data);
  if (status == efi::kSuccess) *this = std::move(*fresh);
  return status;
}

EfiStatus NvarStore::DeleteVariable(std::u16string_view name, const EfiGuid& guid) {
  name = UpToNul(name);
  if (name.empty()) return efi::kInvalidParameter;
  auto found = Find(views_.front(), name, guid);
  if (!found) return efi::kNotFound;
  buffer_[found->head.pos + kAttributesOffset] ^= kAttrValid;
  Rescan();
  return efi::kSuccess;
}

}  // namespace kes
