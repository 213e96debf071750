#include <ctime>

#include "base/console.h"
#include "script/export.h"
#include "kestrel_version.h"

namespace kes {

void WriteScriptHeader(std::FILE* file, const std::wstring& fileName) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[32], time[32];
  std::strftime(date, sizeof date, "%D", &local);
  std::strftime(time, sizeof time, "%T", &local);
  FilePrint(file, L"// Script File Name : %ls\n// Created on %s at %s    \n", fileName.c_str(), date, time);
  FilePrint(file, L"// Kestrel Utility. Ver %d.%02d.%04d\n", KESTREL_VERSION_MAJOR, KESTREL_VERSION_MINOR,
            KESTREL_VERSION_PATCH);
  FileWrite(file, L"// Change values in place; keep every other line as it is written.");
}

void WriteChecksumLine(std::FILE* file, uint32_t crc) { FilePrint(file, L"\r\n%ls= %X\r\n", L"HIICrc32", crc); }

}  // namespace kes
