// A temporary firmware (efivarfs directory) plus an HII image, and the export run over them.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/run_state.h"
#include "base/text.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/question_walk.h"
#include "hii/setup_context.h"
#include "script/export.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::test {

inline constexpr EfiGuid kSetupGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EfiGuid kListGuid{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
inline constexpr EfiGuid kFormSetGuid{0xA0A0A0A0, 0xB1B1, 0xC2C2, {0xD3, 0xD3, 0xE4, 0xE4, 0xE4, 0xE4, 0xE4, 0xE4}};

struct ExportResult {
  std::string script;
  std::string duplicates;
  std::string out;
  std::string err;
  Status status = 0;
};

class ExportFixture : public ::testing::Test {
 protected:
  void SetVariable(const std::string& name, const EfiGuid& guid, const std::vector<uint8_t>& data,
                   uint32_t attributes = 7) {
    firmware_.PutVar(name, guid, attributes, data);
  }

  // Starts the next export from a fresh run record.
  void NewRun() { run_ = RunState(); }

  ExportResult Export(const std::vector<uint8_t>& image, std::initializer_list<Switch> switches = {},
                      const wchar_t* langCode = nullptr, bool withDuplicateFile = false) {
    image_ = image;
    run_.switches.Set(Switch::O);
    run_.switches.Set(Switch::S);
    for (Switch s : switches) run_.switches.Set(s);
    if (langCode) run_.langCode = langCode;
    const HiiDatabase database(image_);
    const StringLookup strings(database, StringOptions::FromRun(run_));
    Evaluator evaluator(database, strings, fw_);
    EXPECT_EQ(evaluator.InitializeEvaluation(), efi::kSuccess);
    const SetupContext setup{run_, fw_, database, strings, &evaluator};
    TempDir out;
    FilePtr main(std::fopen((out / "script.txt").c_str(), "w+"));
    FilePtr dup(withDuplicateFile ? std::fopen((out / "dup.txt").c_str(), "w+") : nullptr);
    ExportResult result;
    {
      ConsoleCapture capture;
      result.status = ExportScriptTo(setup, main.get(), dup.get(), false);
      result.out = capture.out();
      result.err = capture.err();
    }
    main.reset();
    dup.reset();
    result.script = ReadFileText(out / "script.txt");
    if (withDuplicateFile) result.duplicates = ReadFileText(out / "dup.txt");
    return result;
  }

  PlainFirmwareRoot firmware_{true, true};
  FirmwareAccess& fw_ = firmware_.access();
  RunState run_;
  std::vector<uint8_t> image_;
};

// A package list with one form set, one form and the "Setup" varstore (id 1) of `size` bytes.
struct SetupForm {
  explicit SetupForm(uint16_t size = 64, const EfiGuid& listGuid = kListGuid) : list(listGuid) {
    forms = &list.AddForms();
    forms->FormSet(kFormSetGuid, L"Main", L"Main settings");
    forms->VarStore(1, kSetupGuid, "Setup", size);
    forms->Form(1, L"Main Form");
  }
  std::vector<uint8_t> Bytes() { return list.Bytes(); }
  hiibuild::PackageList list;
  hiibuild::Forms* forms;
};

}  // namespace kes::test
