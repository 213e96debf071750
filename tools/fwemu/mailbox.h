// The firmware's mailbox handler: turns a request frame written to the mailbox variable into the
// response frame that replaces it (layout in mailbox_frame.h).
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/fwemu/config.h"
#include "tools/fwemu/variable_store.h"

namespace kes::fwemu {

struct MailboxAnswer {
  std::vector<uint8_t> response;  // same length as the request
  std::string description;        // one line for the request log, without a newline
};

// nullopt when the bytes are not a request (shorter than a frame header, or ReturnValue is not
// 0x8002): the firmware then stores them as they are.
std::optional<MailboxAnswer> AnswerMailboxRequest(std::span<const uint8_t> request, const Config& config,
                                                  std::span<const uint8_t> hiiDatabase,
                                                  const VariableStore& variables);

}  // namespace kes::fwemu
