// The firmware's mailbox handler: turns a request frame written to the mailbox variable into the
// response frame that replaces it (layout in mailbox_frame.h).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "companions/fwemu/config.h"
#include "companions/fwemu/variable_store.h"

namespace kes::fwemu {

// Puts the response, a frame as long as the request, into `response` (whose capacity is reused
// from one request to the next) and, when description is given, one line for the request log
// (without a newline) into it. False when the bytes are not a request (shorter than a frame
// header, or ReturnValue is not 0x8002): the firmware then stores them as they are.
bool AnswerMailboxRequest(std::span<const uint8_t> request, const Config& config,
                          std::span<const uint8_t> hiiDatabase, const VariableStore& variables,
                          std::vector<uint8_t>& response, std::string* description = nullptr);

}  // namespace kes::fwemu
