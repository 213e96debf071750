#include "firmware/hii_retrieval.h"

#include <cstdio>

#include "base/console.h"
#include "firmware/mailbox.h"

namespace kes {
namespace {

constexpr const wchar_t* kCrcKeyword = L"HIICrc32";

// The raw file's first three lines: format version, keyword, CRC.
bool WriteRawFileHeader(std::FILE* file, uint32_t crc) {
  return FileWriteNarrow(file, NFormat("%04d%04d\r\n%s\r\n%X\r\n", 5, 4, "HIICrc32", crc));
}

bool WriteCrcLine(std::FILE* file, uint32_t crc) { return FilePrint(file, L"\r\n%ls= %X\r\n", kCrcKeyword, crc); }

}  // namespace

Status RetrieveHiiDatabase(RunState& run, FirmwareAccess& fw) {
  ToolOptions& options = run.options;
  uint32_t crc = 0;
  Status s = GetHiiDatabase(fw, options.HiiDatabase, crc);
  if (s != status::kSuccess) {
    Print(Stream::Err, L"ERROR:%X -  Retrieving HII Database\n", s);
    return s;
  }
  if (options.HiiFile) {
    std::FILE* dump = options.HiiFile.get();
    bool written = options.HiiDatabase.empty() ||
                   std::fwrite(options.HiiDatabase.data(), 1, options.HiiDatabase.size(), dump) ==
                       options.HiiDatabase.size();
    // A dump that silently misses bytes would be taken for the firmware's database later.
    if (!written || std::fflush(dump) != 0) {
      Print(Stream::Err, L"ERROR:%X -  Writing HII dump file %ls\n", status::kFailure, options.HiiFileName.c_str());
      return status::kFailure;
    }
  }
  if (options.Export && options.ScriptFile) {
    if (options.RawMode) {
      WriteRawFileHeader(options.ScriptFile.get(), crc);
    } else if (!run.Given(Switch::P) && !run.Given(Switch::Ms)) {
      WriteCrcLine(options.ScriptFile.get(), crc);
    }
  }
  if (options.DuplicateFile && run.Given(Switch::Sd)) WriteCrcLine(options.DuplicateFile.get(), crc);
  options.HiiCrc32 = crc;
  return status::kSuccess;
}

}  // namespace kes
