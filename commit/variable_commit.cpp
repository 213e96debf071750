#include "commit/variable_commit.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/guid.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "firmware/variable_store.h"
#include "hii/question_model.h"

namespace kes {
namespace {

// Written when no language import chose a code: room for any language code the firmware offers.
constexpr size_t kDefaultLanguageLength = 20;
// An older-layout database names three-letter codes.
constexpr size_t kOlderLanguageLength = 3;

bool IsPlatformLang(const VarStoreEntry& entry) {
  return entry.Name == L"PlatformLang" && entry.Guid == guids::kGlobalVariable;
}

// The operating system refused the write for lack of permission: a protected variable the
// firmware only accepts after the administrator password was presented.
bool ProtectedRefusal(int error) { return error == EACCES || error == EPERM; }

}  // namespace

bool UpdateVarStoreValue(VarStoreTable& table, size_t index, size_t offset, std::span<const uint8_t> value,
                         Bytes opcode) {
  VarStoreEntry* entry = table.At(index);
  if (!entry || !entry->Data) return false;
  std::vector<uint8_t>& data = *entry->Data;
  size_t end = offset + value.size();
  if (entry->Name == L"PlatformLang") {
    // The language code may be longer than the stored one: the copy grows rather than being
    // written past its end. The commit decides how many bytes reach the firmware.
    if (end > data.size()) data.resize(end, 0);
    if (end > entry->Size) entry->Size = static_cast<uint32_t>(end);
  } else if (end > entry->Size || end > data.size()) {
    return false;
  }
  bool changed = !std::equal(value.begin(), value.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
  if (changed && !entry->ResetRequired && !opcode.empty()) {
    IfrOp op;
    op.code = opcode[0];
    op.length = static_cast<uint8_t>(opcode.size() > 1 ? opcode[1] & 0x7F : 0);
    op.bytes = opcode;
    entry->ResetRequired = OpResetRequired(op);
  }
  std::copy(value.begin(), value.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

Status ImportVariablesToNvram(const VarStoreTable& table, const CommitContext& context) {
  RunState& run = context.run;
  FirmwareAccess& fw = context.firmware;
  Status result = status::kSuccess;
  for (const VarStoreEntry& entry : table.Entries()) {
    ThrowIfInterrupted();  // an interrupted run writes no further variable
    DebugLog(&run.log, LV_LIBR, "Importing Variable To NVRAM function(loop) [START]\n ");
    if (!entry.Data) continue;
    if (fw.mailboxConfigured && entry.Guid == fw.mailboxGuid && entry.Name == ToWide(fw.mailboxName)) continue;
    uint32_t attributes = 0;
    auto current = GetNVRAMVariable(fw, entry.Name, entry.Guid, &attributes);
    if (!current) continue;
    const std::vector<uint8_t>& data = *entry.Data;
    size_t size = current->size();
    if (IsPlatformLang(entry)) {
      size = context.format == HiiFormat::Older ? kOlderLanguageLength
             : run.LanguageLength != 0         ? run.LanguageLength
                                               : kDefaultLanguageLength;
      // Never more than the copy holds (it grew to hold any longer code that was set).
      size = std::min(size, data.size());
      if (size == current->size() && std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size),
                                                current->begin()))
        continue;
    } else if (data.size() >= size && std::equal(current->begin(), current->end(), data.begin())) {
      continue;
    } else if (data.size() < size) {
      // The variable grew since it was read: the copy cannot speak for the bytes it never saw.
      continue;
    }
    Status written = SetNVRAMVariable(fw, entry.Name, entry.Guid, attributes, Bytes(data.data(), size));
    if (written != status::kSuccess) {
      run.ImportErrors = true;
      result = status::kFailure;
      int error = fw.lastWriteError;
      if (ProtectedRefusal(error)) run.ProtectedRefused.push_back(entry.Name);
      if (fw.readOnlyReported) {
        // The whole store is mounted read-only (the store said so, with the remedy): every other
        // write would fail the same way. A single write-protected variable also fails with EROFS
        // and is warned about like any other failed write.
        break;
      } else if (!run.Quiet() || context.allOrNothing) {
        const wchar_t* form = context.allOrNothing ? L"ERROR" : L"WARNING";
        if (ProtectedRefusal(error))
          Print(Stream::Err,
                L"%ls : Cannot update protected variable %ls. Please use /cpwd <admin_pwd> to update protected "
                L"variables.\n",
                form, entry.Name.c_str());
        else
          Print(Stream::Err, L"%ls : Error in writing variable %ls to NVRAM\n", form, entry.Name.c_str());
      }
      if (context.allOrNothing) break;
    } else {
      run.SystemModified = true;
      if (!run.ResetRequired) run.ResetRequired = entry.ResetRequired;
    }
    DebugLog(&run.log, LV_LIBR, "Importing Variable To NVRAM function loop [END] with status %x\n ", written);
  }
  DebugLog(&run.log, LV_LIBR, "Importing Variable To NVRAM [END]\n ");
  return result;
}

void CommitBatch::Collect(const VarStoreTable& table, FirmwareAccess& firmware) {
  for (const VarStoreEntry& entry : table.Entries()) {
    if (!entry.Data) continue;
    auto stored = GetNVRAMVariable(firmware, entry.Name, entry.Guid);
    if (!stored) continue;  // the commit leaves a variable it cannot read alone
    const std::vector<uint8_t>& copy = *entry.Data;
    if (copy == *stored) continue;
    auto same = std::find_if(entries_.begin(), entries_.end(),
                             [&](const VarStoreEntry& e) { return e.Guid == entry.Guid && e.Name == entry.Name; });
    if (same == entries_.end()) {
      VarStoreEntry gathered = entry;
      gathered.Data = *stored;
      gathered.ResetRequired = false;
      gathered.Index = static_cast<uint16_t>(entries_.size());
      entries_.push_back(std::move(gathered));
      same = entries_.end() - 1;
    }
    std::vector<uint8_t>& data = *same->Data;
    if (copy.size() != stored->size() || data.size() != stored->size()) {
      // A copy of another size (a language code that grew) speaks for the whole variable.
      data = copy;
      same->Size = entry.Size;
    } else {
      for (size_t i = 0; i < copy.size(); ++i)
        if (copy[i] != (*stored)[i]) data[i] = copy[i];
    }
    same->ResetRequired = same->ResetRequired || entry.ResetRequired;
  }
}

Status CommitBatch::Commit(const CommitContext& context) {
  VarStoreTable table(context.firmware);
  table.Entries() = std::move(entries_);
  entries_.clear();
  return ImportVariablesToNvram(table, context);
}

}  // namespace kes
