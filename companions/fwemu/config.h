// fwemu.conf: the emulated firmware's configuration. A text file of "key = value" lines; blank
// lines and lines whose first non-blank character is "#" are ignored; every key is optional.
// companions/fwemu/README.md lists the keys.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companions/fwemu/efi_types.h"

namespace kes::fwemu {

// A variable named in the configuration: "Name-guid" for one variable, or a bare "Name" for that
// name under any GUID.
struct VariablePattern {
  std::string name;
  std::optional<Guid> guid;
  bool Matches(const VariableId& id) const { return id.name == name && (!guid || *guid == id.guid); }
};

enum class MailboxService { kAny, kHiiRead, kEnumerate };

struct Config {
  // The mailbox variable the firmware's handler answers.
  VariableId mailbox{"KMBX", *ParseGuid("280bcc15-2cd7-467c-9647-1b30307d7ed5")};
  // Non-zero: requests for errorService are answered with this ReturnValue and left unserved.
  uint16_t mailboxReturnValue = 0;
  MailboxService mailboxErrorService = MailboxService::kAny;
  // Answer 0x8003 to every request of protocol version 8.
  bool rejectVersion8 = false;
  // An HII read request whose range covers this byte offset fails with hiiFailStatus.
  std::optional<uint64_t> hiiFailOffset;
  EfiStatus hiiFailStatus = kEfiDeviceError;

  // false: "$SETUPPASSWD" and friends are stored as ordinary variables.
  bool passwordFeature = true;
  // The administrator password as the tool writes it to "$SETUPPASSWD".
  std::optional<std::vector<uint8_t>> adminPassword;
  // Wrong "$SETUPPASSWD" writes accepted before every later one is refused; 0 = no limit.
  unsigned passwordRetryLimit = 0;

  std::vector<VariablePattern> protectedVariables;       // refused until unlocked (EACCES)
  std::vector<VariablePattern> failingVariables;         // every write fails (EIO)
  std::vector<VariablePattern> writeProtectedVariables;  // read-only (EROFS)
  // Refuse attribute words that firmware refuses at run time (see README).
  bool strictAttributes = true;
  // Largest data size SetVariable accepts; 0 = no limit.
  uint64_t maxVariableSize = 0;

  // Replaces bytes 68..70 of the identification table with these two characters and a zero.
  std::optional<std::string> fidtCoreVersion;
  bool fidtAbsent = false;
};

// Parses the whole file. On failure returns false with a message naming the line.
bool ParseConfig(std::string_view text, Config& config, std::string& error);

// Password bytes as the tool writes them: plain text as UTF-16LE with a terminating zero unit;
// key units (hexadecimal words, as typed after the tool's scan-code or EFI-key switch) as 16-bit
// little-endian units, with bit 15 flipped for EFI-key units.
std::vector<uint8_t> PlainPasswordBytes(std::string_view utf8);
std::optional<std::vector<uint8_t>> KeyUnitPasswordBytes(std::string_view words, bool efiKey);

}  // namespace kes::fwemu
