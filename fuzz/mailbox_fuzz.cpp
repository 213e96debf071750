// The firmware's mailbox answers: the input is a sequence of response frames, each preceded by
// its 16-bit little-endian length, handed in order to the HII database read and then to the
// variable-name enumeration through an in-process session. A round trip after the last frame
// fails as an unreadable mailbox variable would.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/status.h"
#include "firmware/mailbox.h"
#include "fuzz/fuzz_support.h"

namespace {

class Answers {
 public:
  Answers(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  kes::Status Next(kes::Bytes, std::vector<uint8_t>& response) {
    if (size_ - at_ < 2) return kes::status::kFailure;
    size_t length = data_[at_] | (size_t{data_[at_ + 1]} << 8);
    at_ += 2;
    length = std::min(length, size_ - at_);
    response.assign(data_ + at_, data_ + at_ + length);
    at_ += length;
    return kes::status::kSuccess;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::FirmwareRoot root("mailbox", false);
  ConsoleCapture quiet;
  FirmwareAccess fw = root.Access();
  Answers answers(data, size);
  MailboxSession session(fw, [&answers](Bytes request, std::vector<uint8_t>& response) {
    return answers.Next(request, response);
  });
  std::vector<uint8_t> database;
  uint32_t crc = 0;
  GetHiiDatabase(session, database, crc);

  // The enumeration as the variable listing walks it: from the first name until any failure
  // (a "buffer too small" answer included). Each name costs a frame of input, so it ends.
  size_t nameLength = 0;
  std::wstring name;
  EfiGuid guid{};
  while (GetNextNVRAMVariableName(session, nameLength, name, guid) == status::kSuccess) {
  }
  return 0;
}
