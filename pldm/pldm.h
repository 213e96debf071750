// PLDM BIOS tables: export to and import from one PLDM file (/o /p and /i /p).
#pragma once
#include <string>

#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"
#include "hii/setup_context.h"
#include "pldm/pldm_format.h"

namespace kes {

// Builds the tables over the running firmware and writes the file named by /p through the
// output layer (an existing file is replaced only once the whole file is written). 1 when the
// file was written, 0 after a failure has been reported.
Status ExportPldm(const SetupContext& setup);

// Reads and splits a PLDM file; 0, or 87 after a message (unreadable, header short, lengths past
// the end of the file).
Status ReadPldmFile(const std::wstring& fileName, pldm::PldmTables& tables);
// Applies the file's current values (and defaults, where the standard-defaults store holds the
// question's) to the questions of the running firmware, matched by keyword. All four tables must
// be present and every checksum must match before anything is touched. 0, or 87 after a message.
// Values that are not applied are reported one by one and set ImportErrors.
Status ImportPldmTables(const SetupContext& setup, const pldm::PldmTables& tables);
Status ImportPldm(const SetupContext& setup, const std::wstring& fileName);

}  // namespace kes
