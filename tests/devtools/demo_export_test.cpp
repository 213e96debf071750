// The demo firmware served by the emulator and exported with "KESLNX_64 /o /s": the run the
// README's first command makes, checked against the script formats for the demo's awkward cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"

namespace kes::hiibuild {
namespace {

// IEEE 802.3 CRC-32, written out here so the check does not lean on the tool's own.
uint32_t Crc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(DemoExport, ExportsTheDemoFirmwareThroughTheEmulator) {
  test::TempDir tmp;
  EmulatorImage demo = BuildDemoFirmware();
  ASSERT_EQ(WriteEmulatorImage(tmp / "image", demo), "");
  test::Emulator emu(tmp / "image");
  ASSERT_TRUE(emu.Started());

  std::string scriptPath = tmp / "demo-script.txt";
  test::ProcessResult run = test::RunTool({"/o", "/s", scriptPath}, {.env = emu.Env()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Count(run.err, "WARNING: Duplicate questions found. Only one question will be enabled in the script."), 1u);
  std::string script = test::ReadFileText(scriptPath);

  char crcLine[64];
  std::snprintf(crcLine, sizeof crcLine, "\r\nHIICrc32= %X\r\n", Crc32(demo.hii));
  EXPECT_EQ(script.rfind("// Script File Name : ", 0), 0u);
  EXPECT_NE(script.find(crcLine), std::string::npos) << crcLine;

  // Every question but the two passwords and the three clock-kept dates and times, the three
  // that share storage with an earlier one commented out; of the boot manager's special controls
  // the two language selections (the boot and legacy orders need /b).
  EXPECT_EQ(Count(script, "\nSetup Question\t= "), 294u);
  EXPECT_EQ(Count(script, "\n// Setup Question\t= "), 3u);
  for (const char* absent : {"Administrator Password", "User Password", "System Date", "System Time",
                             "Scheduled Wake Time"}) {
    EXPECT_EQ(script.find(absent), std::string::npos) << absent;
  }

  const char* expected[] = {
      "\nSetup Question\t= Quiet Boot\nHelp String\t= Enables or disables the boot logo\n",
      "\n// Setup Question\t= Full Screen Logo\n",
      // A help text with a line feed, a prompt with a non-ASCII character.
      "Help String\t= Minutes before Setup returns to the main page. Zero disables the timeout.\n",
      "\nSetup Question\t= CPU Temperature Limit ( C)\n",
      // Signed numerics of every width; a one-byte one holding 0xFF.
      "Width\t=02\nBIOS Default =<0> \nMFG Default =<0> \nValue\t=<-50>\n",
      "Width\t=01\nBIOS Default =<0> \nMFG Default =<0> \nValue\t=<255>\n",
      "Width\t=04\nBIOS Default =<0> \nMFG Default =<0> \nValue\t=<-1200>\n",
      "Width\t=08\nBIOS Default =<0> \nMFG Default =<0> \nValue\t=<-3>\n",
      // A one-of whose value matches no option.
      "Options\t=[00]Power Off\t// Move \"*\" to the desired Option\n         [01]Power On\n         [02]Last State\n",
      "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n         *[01]Enabled\n",
      "Value\t=\"KST-0042\"\n",
      "Value\t={004C 0061 0062 0020 0043 0061 0066 00E9 0020 0052 0061 0063 006B 0020 0037 0000 ",
      "Date\t=03-15-2024\t// MM-DD-YYYY\n",
      "Time\t=14:30:05\t//  HH:MM:SS\n",
      "ListOrder\t=[02]USB\n         [01]Hard Disk\n         [03]Network\n         [04]Optical\n",
      "ListOrder\t=[00]UEFI: NVMe SSD\n         [02]UEFI: USB Flash Drive\n",
      "Value\t=1\t// Enabled = 1, Disabled = 0\n",
      "Value\t=80000042\n",
      // Defaults lines from the StdDefaults and MfgDefaults stores.
      "Offset\t=00\nWidth\t=01\nBIOS Default =[00]Standard \nMFG Default =[00]Standard \nOptions\t=[00]Standard",
      "BIOS Default =03-15-2024 \nMFG Default =03-15-2024 \nDate\t=03-15-2024\t// MM-DD-YYYY\n",
      // One-of values of two, four and eight bytes.
      "\n         *[B75]2933 MT/s\n",
      "\n         *[1C200]115200\n",
      "\n         *[10000000000]1T\n",
  };
  for (const char* text : expected) EXPECT_NE(script.find(text), std::string::npos) << text;
  EXPECT_EQ(emu.Stop(), 0) << emu.Output();
}

}  // namespace
}  // namespace kes::hiibuild
