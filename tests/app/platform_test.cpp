// Platform identification through the firmware identification table.
#include <gtest/gtest.h>

#include "base/console.h"
#include "firmware/platform.h"
#include "tests/app/in_process.h"

namespace kes::test {
namespace {

class PlatformTest : public InProcessTest {};

TEST_F(PlatformTest, CoreVersionDecidesAndSkipSwitchOverrides) {
  auto table = [](char a, char b, char c, size_t size = 156) {
    std::vector<uint8_t> t(size, 0);
    if (size > 70) {
      t[68] = static_cast<uint8_t>(a);
      t[69] = static_cast<uint8_t>(b);
      t[70] = static_cast<uint8_t>(c);
    }
    return t;
  };
  struct Case {
    const char* name;
    std::optional<std::vector<uint8_t>> fidt;  // nullopt: no table
    bool skip;
    bool passes;
    bool mailbox;
    std::string err;
  } cases[] = {
      {"supported", table('0', '5', 0), false, true, true, ""},
      {"supported, longer table", table('0', '5', 0, 400), false, true, true, ""},
      {"other version", table('0', '6', 0), false, false, true, "Kestrel is not supported on this system.\n"},
      {"version not terminated", table('0', '5', '1'), false, false, true,
       "Kestrel is not supported on this system.\n"},
      {"other version with /d", table('9', '9', 0), true, true, true, ""},
      {"no table", std::nullopt, false, false, false, "Platform identification failed.\n"},
      {"no table with /d", std::nullopt, true, true, false, ""},
      {"truncated table", table('0', '5', 0, 100), false, false, false, "Platform identification failed.\n"},
      {"empty table", std::vector<uint8_t>{}, false, false, false, "Platform identification failed.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run_ = RunState();
    fw_ = FirmwareAccess(firmware_.root(), true);
    std::string path = firmware_ / "acpi/tables/FIDT";
    std::remove(path.c_str());
    if (c.fidt) WriteFileBytes(path, *c.fidt);
    if (c.skip) run_.switches.Set(Switch::D);
    ConsoleCapture capture;
    EXPECT_EQ(ValidatePlatform(run_, fw_), c.passes);
    EXPECT_EQ(capture.err(), c.err);
    EXPECT_EQ(fw_.mailboxConfigured, c.mailbox);
    if (c.mailbox) {
      EXPECT_EQ(fw_.mailboxName, "KMBX");
      EXPECT_EQ(FormatGuidText(fw_.mailboxGuid), "280bcc15-2cd7-467c-9647-1b30307d7ed5");
    }
  }
}

}  // namespace
}  // namespace kes::test
