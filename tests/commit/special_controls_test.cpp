// The special controls over a temporary efivarfs tree: the boot option list (both spellings of
// Boot####), the boot order, legacy order and language imports with their refusals, and what the
// commit then writes.
#include "commit/special_controls.h"

#include <gtest/gtest.h>

#include "base/console.h"
#include "commit/variable_commit.h"
#include "hii/hii_format.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using Data = std::vector<uint8_t>;
constexpr EfiGuid kGlobal = guids::kGlobalVariable;
constexpr EfiGuid kBootManager{0xB4909CF3, 0x7B93, 0x4751, {0x9B, 0xD8, 0x5B, 0xA8, 0x22, 0x0B, 0x9B, 0xB2}};
constexpr EfiGuid kLegacy{0xA56074DB, 0x65FE, 0x45F7, {0xBD, 0x21, 0x2D, 0x2B, 0xDD, 0x8E, 0x96, 0x52}};

Data Le16s(std::initializer_list<uint16_t> values) {
  Data out;
  for (uint16_t v : values) AppendLe16(out, v);
  return out;
}

// A load option: active, its device path (a BBS node of `bbsType`, or a vendor node), description.
Data LoadOption(const std::u16string& description, int bbsType = -1) {
  Data path = bbsType >= 0 ? Data{5, 1, 8, 0, static_cast<uint8_t>(bbsType), 0, 0, 0} : Data{1, 4, 4, 0};
  path.insert(path.end(), {0x7F, 0xFF, 4, 0});
  Data out;
  AppendLe32(out, 1);
  AppendLe16(out, static_cast<uint16_t>(path.size()));
  for (char16_t c : description) AppendLe16(out, c);
  AppendLe16(out, 0);
  out.insert(out.end(), path.begin(), path.end());
  return out;
}

// LegacyDevOrder with hard drives [0000, 0001] and USB [0002].
Data LegacyOrder(uint16_t usbDevice = 0x0002) {
  Data out;
  AppendLe32(out, 0x02);
  AppendLe16(out, 6);
  AppendLe16(out, 0x0000);
  AppendLe16(out, 0x0001);
  AppendLe32(out, 0x05);
  AppendLe16(out, 4);
  AppendLe16(out, usbDevice);
  return out;
}

class SpecialControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  // The variables as the firmware holds them at first, and a fresh table over them.
  void Reset() {
    table_.Clear();
    fw_.PutVar("BootOrder", kGlobal, 7, Le16s({0x0000, 0x0003, 0x0005, 0x000A}));
    fw_.PutVar("Boot0003", kGlobal, 7, LoadOption(u"HDD Legacy", 0x02));
    fw_.PutVar("Boot0000", kGlobal, 7, LoadOption(u"UEFI: Disk"));
    fw_.PutVar("Boot0005", kGlobal, 7, LoadOption(u"USB Legacy", 0x05));
    fw_.PutVar("Boot000a", kGlobal, 7, LoadOption(u"UEFI: Shell"));  // lower-case digits only
    fw_.PutVar("LegacyDevOrder", kLegacy, 7, LegacyOrder());
    fw_.PutVar("PlatformLangCodes", kGlobal, 6, {'e', 'n', '-', 'U', 'S', ';', 'f', 'r', '-', 'F', 'R', 0});
    fw_.PutVar("PlatformLang", kGlobal, 7, {'e', 'n', '-', 'U', 'S', 0});
    fw_.PutVar("LangCodes", kGlobal, 6, {'e', 'n', 'g', 'f', 'r', 'a', 0});
    fw_.PutVar("Lang", kGlobal, 7, {'e', 'n', 'g'});
    table_.Register(kGlobal, L"BootOrder", 1, 8);
    table_.Register(kLegacy, L"LegacyDevOrder", 2, 16);
    table_.Register(kGlobal, L"PlatformLang", 3, 6);
    table_.Register(kGlobal, L"Lang", 4, 3);
    table_.Register(kBootManager, L"BootManager", 5, 2);
    table_.Register(kLegacy, L"LegacyGroup", 6, 2);
    table_.Register(kGlobal, L"PlatformLangCodes", 7, 12);
    table_.Register(kGlobal, L"LangCodes", 8, 7);
  }

  // A question of the control variable `control` storing in `primary` at offset 0.
  QuestionRecord Question(const wchar_t* primary, const wchar_t* control) const {
    QuestionRecord q;
    q.VarStoreIndex = table_.GetVarStoreIndexByName(primary);
    q.ControlVarStoreIndex = table_.GetVarStoreIndexByName(control);
    q.ValueInfo.Flags = 1;
    return q;
  }

  Data Copy(const wchar_t* name) const { return *table_.FindByName(name)->Data; }

  bool Import(const SpecialEntry& entry, const QuestionRecord& q, const wchar_t* prompt) {
    return special_.ImportSpecialControl(entry, q, prompt, {});
  }

  test::PlainFirmwareRoot fw_{true, true};
  VarStoreTable table_{fw_.access()};
  RunState run_;
  SpecialControls special_{{run_, fw_.access(), table_}};
};

TEST(SpecialControlNames, PromptsAreCutAtPercentAndD) {
  EXPECT_EQ(CutControlPrompt(L"Boot Option #%d"), L"Boot Option #");
  EXPECT_EQ(CutControlPrompt(L"%dBoot Order"), L"Boot Or");
  EXPECT_EQ(CutControlPrompt(L"Legacy Priorities"), L"Legacy Priorities");
  EXPECT_STREQ(GetBbsTypeName(0x80), L"BBS_TYPE_BEV");
  EXPECT_STREQ(GetBbsTypeName(0x42), L"BBS_TYPE_UNKNOWN");
  EXPECT_EQ(GetBbsTypeValue(L"bbs_type_usb"), 0x05u);
  EXPECT_FALSE(ParseLegacyDevOrder(Data{2, 0, 0, 0, 8, 0, 0, 0}).has_value());  // runs past the end
}

TEST_F(SpecialControlsTest, BootOptionsFollowBootOrderInEitherSpellingOfTheirNames) {
  const auto& options = special_.BootOptions();
  ASSERT_EQ(options.size(), 4u);
  EXPECT_EQ(options[2].description, L"USB Legacy");
  EXPECT_EQ(options[2].bbsType, 0x05);
  EXPECT_FALSE(options[0].bbsType.has_value());
  EXPECT_EQ(options[3].number, 0x000A);
  EXPECT_EQ(options[3].description, L"UEFI: Shell");
  EXPECT_EQ(special_.WriteBootOrderList(L"ListOrder\t="),
            L"ListOrder\t=[0000] UEFI: Disk\n\t\t [0003] HDD Legacy\n\t\t [0005] USB Legacy\n\t\t [000a] UEFI: "
            L"Shell\n\t\t ");
}

TEST_F(SpecialControlsTest, BootOrderImport) {
  struct Case {
    const char* name;
    std::vector<uint16_t> list;
    bool refused;
    Data bootOrder;
    Data legacyOrder;
  };
  Data usbFirst;
  AppendLe32(usbFirst, 0x05);
  AppendLe16(usbFirst, 4);
  AppendLe16(usbFirst, 0x0002);
  AppendLe32(usbFirst, 0x02);
  AppendLe16(usbFirst, 6);
  AppendLe16(usbFirst, 0x0000);
  AppendLe16(usbFirst, 0x0001);
  const Case cases[] = {
      {"unchanged", {0x0000, 0x0003, 0x0005, 0x000A}, false, Le16s({0x0000, 0x0003, 0x0005, 0x000A}), LegacyOrder()},
      // The USB group follows the legacy USB option, which now comes before the legacy disk.
      {"permutation", {0x0005, 0x000A, 0x0000, 0x0003}, false, Le16s({0x0005, 0x000A, 0x0000, 0x0003}), usbFirst},
      {"one number replaced", {0x0000, 0x0003, 0x0006, 0x000A}, true, Le16s({0x0000, 0x0003, 0x0005, 0x000A}),
       LegacyOrder()},
      {"one number twice", {0x0000, 0x0000, 0x0005, 0x000A}, true, Le16s({0x0000, 0x0003, 0x0005, 0x000A}),
       LegacyOrder()},
      {"count", {0x0000, 0x0003, 0x0005}, false, Le16s({0x0000, 0x0003, 0x0005, 0x000A}), LegacyOrder()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    RunState run;
    run.switches.Set(Switch::B);
    SpecialControls special({run, fw_.access(), table_});
    SpecialEntry entry{"Boot Option #", c.list.size(), c.list, false, false};
    ConsoleCapture capture;
    EXPECT_TRUE(special.ImportSpecialControl(entry, Question(L"BootOrder", L"BootManager"), L"Boot Option #%d", {}));
    EXPECT_EQ(special.Refused(), c.refused);
    EXPECT_EQ(capture.err().find("ERROR:D - Value for control not updated") != std::string::npos, c.refused);
    EXPECT_EQ(Copy(L"BootOrder"), c.bootOrder);
    EXPECT_EQ(Copy(L"LegacyDevOrder"), c.legacyOrder);
    // What the commit writes: nothing for an unchanged or refused order.
    EXPECT_EQ(ImportVariablesToNvram(table_, {run, fw_.access(), HiiFormat::Uefi}), status::kSuccess);
    EXPECT_EQ(run.SystemModified, c.name == std::string("permutation"));
  }
}

TEST_F(SpecialControlsTest, BootOrderWithoutSlashBIsTakenButNotImported) {
  ConsoleCapture capture;
  SpecialEntry entry{"Boot Option #", 4, {0x000A, 0x0005, 0x0003, 0x0000}, false, false};
  EXPECT_TRUE(Import(entry, Question(L"BootOrder", L"BootManager"), L"Boot Option #%d"));
  EXPECT_EQ(capture.err(), "WARNING : /b option is missing, BOOT_ORDER_CONTROL will not be imported\n ");
  EXPECT_EQ(Copy(L"BootOrder"), Le16s({0x0000, 0x0003, 0x0005, 0x000A}));
}

TEST_F(SpecialControlsTest, LegacyOrderImport) {
  struct Case {
    const char* name;
    std::string identity;
    std::vector<uint16_t> list;
    bool refused;
    Data stored;
  };
  Data swapped = LegacyOrder();
  swapped[6] = 1, swapped[8] = 0;
  const Case cases[] = {
      {"disabled device accepted", "BBS_TYPE_USB Legacy Priorities", {0xFF02}, false, LegacyOrder(0xFF02)},
      {"reordered", "BBS_TYPE_HARDDRIVE Legacy Priorities", {0x0001, 0x0000}, false, swapped},
      {"unknown device", "BBS_TYPE_USB Legacy Priorities", {0x0003}, true, LegacyOrder()},
      // Compared with the entry's own group, not the first one: one device is right for USB.
      {"device count", "BBS_TYPE_HARDDRIVE Legacy Priorities", {0x0000}, false, LegacyOrder()},
      {"type not in the variable", "BBS_TYPE_CDROM Legacy Priorities", {0x0000}, true, LegacyOrder()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    RunState run;
    run.switches.Set(Switch::B);
    SpecialControls special({run, fw_.access(), table_});
    SpecialEntry entry{c.identity, c.list.size(), c.list, false, false};
    ConsoleCapture capture;
    EXPECT_TRUE(special.ImportSpecialControl(entry, Question(L"LegacyDevOrder", L"LegacyGroup"),
                                             L"Legacy Priorities", {}));
    EXPECT_EQ(special.Refused(), c.refused) << capture.err();
    EXPECT_EQ(capture.err().find("Boot count mismatches") != std::string::npos,
              c.name == std::string("device count"));
    EXPECT_EQ(Copy(L"LegacyDevOrder"), c.stored);
  }
}

TEST_F(SpecialControlsTest, LanguageImport) {
  struct Case {
    const char* name;
    const wchar_t* primary;
    const wchar_t* control;
    uint64_t index;
    Data stored;
    bool warned;
  };
  const Case cases[] = {
      {"platform language", L"PlatformLang", L"PlatformLangCodes", 1, {'f', 'r', '-', 'F', 'R', 0}, false},
      {"index equal to the count", L"PlatformLang", L"PlatformLangCodes", 2, {'e', 'n', '-', 'U', 'S', 0}, true},
      {"three-letter codes keep Lang's size", L"Lang", L"LangCodes", 1, {'f', 'r', 'a'}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    SpecialEntry entry{"Language", c.index, {}, false, false};
    ConsoleCapture capture;
    EXPECT_TRUE(Import(entry, Question(c.primary, c.control), L"Language"));
    EXPECT_EQ(Copy(c.primary), c.stored);
    EXPECT_EQ(capture.err() == "Warning: Invalid Index value for Language Option Control\n", c.warned) << capture.err();
  }

  EXPECT_EQ(special_.WriteLanguageOptions(Question(L"Lang", L"LangCodes")), L"[00]eng\n\t\t*[01]fra");
}

TEST_F(SpecialControlsTest, ChoosingLangLeavesPlatformLangWhole) {
  ConsoleCapture capture;
  EXPECT_TRUE(Import(SpecialEntry{"Language", 1, {}, false, false}, Question(L"Lang", L"LangCodes"), L"Language"));
  EXPECT_EQ(ImportVariablesToNvram(table_, {run_, fw_.access(), HiiFormat::Uefi}), status::kSuccess);
  Data lang = *fw_.VarFile("Lang", kGlobal), platformLang = *fw_.VarFile("PlatformLang", kGlobal);
  EXPECT_EQ(Data(lang.begin() + 4, lang.end()), (Data{'f', 'r', 'a'}));
  EXPECT_EQ(Data(platformLang.begin() + 4, platformLang.end()), (Data{'e', 'n', '-', 'U', 'S', 0}));
}

}  // namespace
}  // namespace kes
