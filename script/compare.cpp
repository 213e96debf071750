// Script compare (/cs): parses two script files, pairs their question blocks by identity and
// token, and writes every pair that differs (the first file's block, then the second's) to an
// output file in script format. Without an output file name the differing blocks go to standard
// output instead.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/console.h"
#include "base/output_file.h"
#include "base/debug_log.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "script/export.h"
#include "script/operations.h"
#include "script/script_parser.h"

namespace kes {
namespace {

// Entries pair when identity and token agree. A fixed-token entry has no identity and pairs only
// with another fixed-token entry.
struct PairKey {
  std::string_view identity;
  uint16_t token;
  bool fixed;
  bool operator==(const PairKey&) const = default;
};
struct PairKeyHash {
  size_t operator()(const PairKey& k) const {
    return std::hash<std::string_view>{}(k.identity) ^ (size_t{k.token} << 1) ^ size_t{k.fixed};
  }
};
PairKey KeyOf(const ScriptEntry& e) { return {e.identity, e.token, e.flags.IsFixedToken}; }

// A string value as the bytes it stands for: the quoted form as 16-bit units, the braced form as
// decoded; trailing zero units do not count, so both forms of one value compare equal.
std::vector<uint8_t> StringValueBytes(const ScriptEntry& e) {
  std::vector<uint8_t> bytes;
  if (e.stringIsPrintable) {
    for (unsigned char c : e.stringText) {
      bytes.push_back(c);
      bytes.push_back(0);
    }
  } else {
    bytes = e.stringBytes;
  }
  while (bytes.size() >= 2 && bytes[bytes.size() - 1] == 0 && bytes[bytes.size() - 2] == 0) bytes.resize(bytes.size() - 2);
  return bytes;
}

bool ValuesDiffer(const ScriptEntry& a, const ScriptEntry& b) {
  if (a.flags.HasListOrder || b.flags.HasListOrder)
    return a.flags.HasListOrder != b.flags.HasListOrder || a.listValues != b.listValues;
  if (a.flags.ValueIsString || b.flags.ValueIsString)
    return a.flags.ValueIsString != b.flags.ValueIsString || StringValueBytes(a) != StringValueBytes(b);
  // An option block without a "*" selects nothing, which is not the same as selecting option 0.
  return a.flags.HasCurrent != b.flags.HasCurrent || a.value != b.value;
}

// A default given on one side only is a difference, whatever its number.
bool DefaultsDiffer(bool hasA, bool hasB, const ScriptEntry& a, const ScriptEntry& b, bool mfg) {
  if (!hasA && !hasB) return false;
  if (hasA != hasB) return true;
  // The list form is told per line: a block may hold one braced and one plain default.
  const std::wstring& listA = mfg ? a.mfgDefaultList : a.biosDefaultList;
  const std::wstring& listB = mfg ? b.mfgDefaultList : b.biosDefaultList;
  if (!listA.empty() || !listB.empty()) return listA != listB;
  return mfg ? a.mfgDefault != b.mfgDefault : a.biosDefault != b.biosDefault;
}

// The difference rules, tested in this order.
bool EntriesDiffer(const ScriptEntry& a, const ScriptEntry& b) {
  if (a.flags.HasHelp && b.flags.HasHelp && a.help != b.help) return true;
  if (a.offset != b.offset) return true;
  if (a.width != b.width) return true;
  if (ValuesDiffer(a, b)) return true;
  if (DefaultsDiffer(a.flags.HasBiosDefault, b.flags.HasBiosDefault, a, b, false)) return true;
  return DefaultsDiffer(a.flags.HasMfgDefault, b.flags.HasMfgDefault, a, b, true);
}

// One block rebuilt from its entry, in the export's layout, with every value as the file wrote it.
std::string RebuildBlock(const ScriptEntry& e) {
  std::string block;
  if (e.flags.IsFixedToken) {
    // A fixed-token block has no identity, offset or width; it is written back in its own form.
    block += NFormat("\nFixed Token\t=%02X\n", e.token);
  } else {
    block += "\nSetup Question\t= " + e.identity;
    if (e.flags.HasHelp) block += "\nHelp String\t= " + e.help;
    block += NFormat("\nToken\t=%02X\t// Do NOT change this line\nOffset\t=%02X\nWidth\t=%02X\n", e.token, e.offset,
                     e.width);
  }
  // Each default line as written (a braced list included), so that the output parses again.
  if (e.flags.HasBiosDefault) block += "BIOS Default\t=" + e.biosDefaultText + "\n";
  if (e.flags.HasMfgDefault) block += "MFG Default\t=" + e.mfgDefaultText + "\n";
  if (e.flags.HasOptions || e.flags.HasListOrder) {
    for (size_t i = 0; i < e.entryTexts.size(); ++i) {
      block += i == 0 ? (e.flags.HasOptions ? "Options\t=" : "ListOrder\t=") : "         ";
      block += e.entryTexts[i] + "\n";
    }
  } else if (e.flags.HasValue) {
    block += e.flags.IsDate ? "Date\t=" : e.flags.IsTime ? "Time\t=" : "Value\t=";
    block += e.valueText + "\n";
  }
  return block;
}

Status OpenError(const wchar_t* format) {
  Print(Stream::Err, format, status::kInvalidParameter);
  return status::kInvalidParameter;
}

// Parses one open file into its own list; 13 when it does not parse or holds no entry.
Status ParseInto(std::FILE* file, const ParseOptions& options, ScriptEntryList& entries) {
  if (ParseScript(file, options, entries) != status::kSuccess || entries.empty()) return status::kInvalidFile;
  return status::kSuccess;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

Status Compare(RunState& run, const std::wstring& fileA, const std::wstring& fileB, const std::wstring& output) {
  std::unique_ptr<std::FILE, FileCloser> inA(OpenStreamForReading(ToNarrow(fileA).c_str(), "r"));
  std::unique_ptr<std::FILE, FileCloser> inB(inA ? OpenStreamForReading(ToNarrow(fileB).c_str(), "r") : nullptr);
  if (!inA || !inB) return OpenError(L"\nERROR:%X -  Opening NVRAM Script File");

  ParseOptions options;
  options.log = &run.log;
  options.quiet = run.Quiet();
  options.systemChecksum = run.options.HiiCrc32;
  ScriptEntryList listA, listB;
  if (Status st = ParseInto(inA.get(), options, listA); st != status::kSuccess) return st;
  if (Status st = ParseInto(inB.get(), options, listB); st != status::kSuccess) return st;
  inA.reset();
  inB.reset();

  std::optional<OutputFile> out;
  if (!output.empty()) {
    out.emplace();
    if (!out->Open(ToNarrow(output))) return OpenError(L"ERROR:%X -  Opening NVRAM Script File\n");
    std::FILE* file = out->get();
    WriteScriptHeader(file, output);
    FileWrite(file, L"\n");
    uint32_t crcA = listA.front().fileChecksum, crcB = listB.front().fileChecksum;
    WriteChecksumLine(file, crcA);
    if (crcA != crcB) FilePrint(file, L"%ls= %X\r\n", L"HIICrc32", crcB);
  }

  DebugLog(&run.log, LV_MODL, "Comparing Advanced ScriptFiles [START]\n ");
  // The first entry of the second file for every identity and token, so that pairing takes one
  // look-up per entry of the first file.
  std::unordered_map<PairKey, size_t, PairKeyHash> indexB;
  indexB.reserve(listB.size());
  for (size_t i = 0; i < listB.size(); ++i) indexB.emplace(KeyOf(listB[i]), i);
  for (const ScriptEntry& a : listA) {
    auto found = indexB.find(KeyOf(a));
    if (found == indexB.end()) continue;
    const ScriptEntry& b = listB[found->second];
    if (!EntriesDiffer(a, b)) continue;
    std::string pair = RebuildBlock(a) + RebuildBlock(b);
    if (out) FileWriteNarrow(out->get(), pair);
    else WriteNarrow(Stream::Out, pair);
  }
  // Differences lost on the way out must not read as a successful compare.
  if ((out && !out->Commit()) || (!out && !StandardOutputWritten()))
    return OpenError(L"ERROR:%X -  Writing NVRAM Script File\n");
  DebugLog(&run.log, LV_MODL, "Comparing Advanced ScriptFiles [END] with Success\n ");
  return status::kSuccess;
}

}  // namespace

Status CompareScripts(RunState& run, const std::wstring& fileA, const std::wstring& fileB, const std::wstring& output) {
  DebugLog(&run.log, LV_MODL, "KesAdvancedModeCompareScripts [START]\n ");
  Status status = Compare(run, fileA, fileB, output);
  DebugLog(&run.log, LV_MODL, "KesAdvancedModeCompareScripts [END] with Status %x\n ", status);
  return status;
}

}  // namespace kes
