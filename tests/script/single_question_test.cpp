// Single question by map string in process: /o /ms prints one value (plain, bare, with defaults),
// /i /ms /qv reads the value by question type and imports it; a map string two questions share is
// refused both ways.
#include <gtest/gtest.h>

#include "script/operations.h"
#include "devtools/hiibuild/emulator_image.h"
#include "tests/script/export_fixture.h"

namespace kes::test {
namespace {

namespace flags = hiibuild::flags;
namespace type = hiibuild::type;

// Offsets in "Setup" (20 bytes).
enum : uint16_t { kMode = 0, kBox = 1, kCount = 2, kOrder = 4, kTwinA = 7, kTwinB = 8, kPass = 10, kDay = 16 };

std::vector<uint8_t> Questions() {
  SetupForm f(20);
  hiibuild::Forms& forms = *f.forms;
  forms.OneOf({L"Mode", L"h", 1, 1, kMode, 0, L"MODE"}, 1, {{0, L"Off"}, {1, L"On"}, {2, L"Auto"}});
  forms.Checkbox({L"Box", L"h", 2, 1, kBox, 0, L"BOX"});
  forms.Numeric({L"Count", L"h", 3, 1, kCount, 0, L"COUNT"}, 2, 10, 1000, 1, flags::kDisplayUintDec);
  forms.OrderedList({L"Order", L"h", 4, 1, kOrder, 0, L"ORDER"}, 3, {{1, L"a"}, {2, L"b"}, {3, L"c"}});
  forms.OneOf({L"Twin A", L"h", 5, 1, kTwinA, 0, L"TWIN"}, 1, {{0, L"Off"}, {1, L"On"}});
  forms.OneOf({L"Twin B", L"h", 6, 1, kTwinB, 0, L"twin"}, 1, {{0, L"Off"}, {1, L"On"}});
  forms.Password({L"Pass", L"h", 7, 1, kPass, 0, L"PASS"}, 1, 2);
  forms.Date({L"Day", L"h", 8, 1, kDay, 0, L"DAY"});
  return f.Bytes();
}

std::vector<uint8_t> SetupBytes() {
  hiibuild::VarBuffer v(20);
  v.Put(kMode, 1, 1).Put(kBox, 0, 1).Put(kCount, 100, 2);
  v.Put(kOrder, 2, 1).Put(kOrder + 1, 1, 1).Put(kOrder + 2, 3, 1);
  return v.Take();
}

struct Outcome {
  Status status = 0;
  std::string out, err;
};

class SingleQuestion : public ExportFixture {
 protected:
  void SetUp() override {
    image_ = Questions();
    SetVariable("Setup", kSetupGuid, SetupBytes());
  }

  Outcome Run(bool update, const wchar_t* mapString, const char* value, std::initializer_list<Switch> extra) {
    run_ = RunState();
    run_.switches.Set(update ? Switch::I : Switch::O);
    run_.switches.Set(Switch::Ms);
    run_.switches.Set(Switch::Lang);  // the command line turns /ms into map-string mode
    if (update) run_.switches.Set(Switch::Qv);
    for (Switch s : extra) run_.switches.Set(s);
    run_.options.MapString = mapString;
    if (value) run_.options.QuestionValue = value;
    const HiiDatabase database(image_);
    const StringLookup strings(database, StringOptions::FromRun(run_));
    const SetupContext setup{run_, fw_, database, strings, nullptr};
    Outcome result;
    ConsoleCapture capture;
    result.status = update ? UpdateSingleQuestion(setup) : ExportSingleQuestion(setup);
    result.out = capture.out();
    result.err = capture.err();
    return result;
  }

  std::vector<uint8_t> Stored() const {
    auto file = *firmware_.VarFile("Setup", kSetupGuid);
    return {file.begin() + 4, file.end()};
  }
};

TEST_F(SingleQuestion, Export) {
  struct Case {
    const wchar_t* mapString;
    std::initializer_list<Switch> extra;
    Status status;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {L"mode", {Switch::Ov}, 0, "01\n", ""},
      {L"MODE", {}, 0, "Options\t=[00]Off\n         *[01]On\n         [02]Auto\n", ""},
      {L"ORDER", {Switch::Ov}, 0, "[02]\n[01]\n[03]\n", ""},
      {L"COUNT", {Switch::Ov}, 0, "100\n", ""},
      {L"BOX", {}, 0, "Value\t=0\t// Enabled = 1, Disabled = 0\n", ""},
      {L"PASS", {}, 0x32, "", "ERROR:32 - Unsupported Setup Question type.\n"},
      {L"NONE", {}, 0x0D, "", "ERROR:D Setup Question with mapstring NONE is not found\n"},
      {L"TWIN", {}, 0x0D, "", "ERROR:D - Multiple setup questions found with map string(TWIN)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToNarrow(c.mapString));
    Outcome r = Run(false, c.mapString, nullptr, c.extra);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(SingleQuestion, Update) {
  struct Case {
    const char* name;
    const wchar_t* mapString;
    const char* value;
    Status status;
    const char* err;  // the start of the error output
    uint16_t offset;
    std::vector<uint8_t> stored;  // at offset, afterwards
  };
  const char* invalid = "ERROR:D - Value for control not updated as the value specified is invalid.\n";
  const char* invalidList = "ERROR:D Value for control not updated as the value specified is invalid.\n";
  const Case cases[] = {
      {"checkbox 1", L"BOX", "1", 0, "", kBox, {1}},
      {"checkbox 2", L"BOX", "2", 0x0D, invalid, kBox, {0}},
      {"numeric decimal", L"COUNT", "<300>", 0, "", kCount, {0x2C, 0x01}},
      {"numeric hexadecimal", L"COUNT", "0x20", 0, "", kCount, {0x20, 0}},
      {"one-of decimal", L"MODE", "<2>", 0x0D, invalid, kMode, {1}},
      {"one-of", L"MODE", "2", 0, "", kMode, {2}},
      {"one-of, not an option", L"MODE", "5", 0, "WARNING : Value for control (MODE)", kMode, {1}},
      {"list permutation", L"ORDER", "3,2,1", 0, "", kOrder, {3, 2, 1}},
      {"list, two commas", L"ORDER", "3,,1", 0x0D, invalidList, kOrder, {2, 1, 3}},
      {"list, trailing comma", L"ORDER", "3,2,", 0x0D, invalidList, kOrder, {2, 1, 3}},
      {"list element above 16 bits", L"ORDER", "3,2,10000", 0x0D, invalid, kOrder, {2, 1, 3}},
      {"date", L"DAY", "12-31-2024", 0, "", kDay, {0xE8, 0x07, 12, 31}},
      {"date in another format", L"DAY", "2024-12-31", 0x0D, invalid, kDay, {0, 0, 0, 0}},
      {"shared map string", L"TWIN", "1", 0x0D, "ERROR:D - Multiple setup questions found with map string(TWIN)\n",
       kTwinA, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetVariable("Setup", kSetupGuid, SetupBytes());
    Outcome r = Run(true, c.mapString, c.value, {});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    std::vector<uint8_t> stored = Stored();
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + c.offset, stored.begin() + c.offset + c.stored.size()), c.stored);
    EXPECT_EQ(run_.SystemModified, c.status == 0 && c.err[0] == '\0');
  }
}

TEST_F(SingleQuestion, VariableTooShortForTheQuestion) {
  SetVariable("Setup", kSetupGuid, {1, 0, 100, 0});
  for (bool update : {false, true}) {
    Outcome r = Run(update, L"ORDER", "1,2,3", {});
    EXPECT_EQ(r.status, 0x59u);
    EXPECT_EQ(r.err, "ERROR: Unable to access variable Setup associated with mapstring ORDER\n");
  }
  EXPECT_EQ(Stored(), (std::vector<uint8_t>{1, 0, 100, 0}));
}

}  // namespace
}  // namespace kes::test
