// NVRAM script export (/o /s) and the script file header.
#pragma once
#include <cstdio>
#include <string>

#include "base/run_state.h"
#include "base/status.h"
#include "hii/setup_context.h"

namespace kes {

// The header lines written when a script file is opened for export (name as given by the user).
void WriteScriptHeader(std::FILE* file, const std::wstring& fileName);
// The checksum line written right after the HII database has been read.
void WriteChecksumLine(std::FILE* file, uint32_t crc);

Status ExportScript(const SetupContext& setup);
// The export walk into open files (the duplicate file may be null). compareMode silences the
// duplicate warning (script compare exports the running system this way).
Status ExportScriptTo(const SetupContext& setup, std::FILE* main, std::FILE* duplicates, bool compareMode);
// Warns about /lang mapping languages that no question has a string in.
void CheckMappingLanguages(const SetupContext& setup);

}  // namespace kes
