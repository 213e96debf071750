// The listing and raw file texts: what the writers produce byte for byte, and how the readers
// take well-formed and malformed input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/console.h"
#include "raw/raw_mode.h"

namespace kes {
namespace {

constexpr EfiGuid kGuid{0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const std::string kHeader = "00050004\r\nHIICrc32\r\nA1B2C3D4\r\n";

std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(first + i);
  return data;
}

TEST(RawFileText, BlocksAndTheirDataLines) {
  const std::string head =
      "\r\nGUID\r\n12345678-9abc-def0-0123-456789abcdef\r\nAttributes\r\n00000027\r\nVariable Name\r\nSetup\r\n"
      "Variable Data\r\n";
  const std::string line16 = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\r\n";
  struct Case {
    size_t size;
    std::string data;
  };
  const Case cases[] = {
      {0, "\r\n"},
      {16, line16 + "\r\n"},             // a full line, then the empty line
      {17, line16 + "10 \r\n"},          // the last line keeps its blank
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::string block = FormatRawBlock(L"Setup", kGuid, 0x27, Counting(c.size));
    EXPECT_EQ(block, head + c.data);

    // Read back: the same record, attributes 0x27 included.
    uint32_t crc = 0;
    std::vector<VariableRecord> records;
    ASSERT_EQ(ParseRawFile(kHeader + block, crc, records), status::kSuccess);
    EXPECT_EQ(crc, 0xA1B2C3D4u);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Name, L"Setup");
    EXPECT_EQ(records[0].Guid, kGuid);
    EXPECT_EQ(records[0].Attributes, 0x27u);
    EXPECT_EQ(records[0].Data, Counting(c.size));
  }
}

TEST(RawFileText, ListingEntries) {
  const std::string entry = FormatListingEntry(L"My Var", kGuid);
  EXPECT_EQ(entry,
            "[VARIABLE]\r\nVARIABLE_NAME = My Var\r\nVARIABLE_GUID = 12345678-9abc-def0-0123-456789abcdef\r\n\n");
  std::vector<VariableRecord> entries;
  ASSERT_EQ(ParseVariableListing(entry + entry, entries), 0u);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].Name, L"My Var");
  EXPECT_EQ(entries[1].Guid, kGuid);
}

struct ReaderCase {
  const char* what;
  std::string text;
  Status status;
  std::string message;  // expected on standard error (empty: nothing)
};

TEST(RawFileText, RawReaderVerdicts) {
  const std::string block = FormatRawBlock(L"V", kGuid, 7, Counting(3, 1));
  const std::string invalid = "ERROR:D - Invalid NVRAM script file\n";
  // A copy cut short: the data stops inside a line, after a full line or before any line, or a
  // short line is followed by more data. Lines 1-11 are the header and the block's head.
  const std::string block20 = FormatRawBlock(L"V", kGuid, 7, Counting(20));
  const std::string block16 = FormatRawBlock(L"V", kGuid, 7, Counting(16));
  const std::string head = block20.substr(0, block20.find("Variable Data\r\n") + 15);
  auto cut = [](size_t line) {
    return "ERROR:D -  Variable Data of V is cut short at line " + std::to_string(line) + " of the NVRAM raw file.\n";
  };
  const ReaderCase cases[] = {
      {"version 00050004", "00050004\r\nHIICrc32\r\n0\r\n" + block, 0, ""},
      {"version 00040004", "00040004\r\nHIICrc32\r\n0\r\n" + block, 0, ""},
      {"version 00050005", "00050005\r\nHIICrc32\r\n0\r\n" + block, 13,
       "ERROR:D - Script File Version '   50005' Unsupported.Tool incompatible with Versions over '   50004'\n"},
      {"huge version", "99999999999999999999\r\nHIICrc32\r\n0\r\n", 13, invalid},
      {"empty file", "", 13, invalid},
      {"version not a number", "5.4\r\nHIICrc32\r\n0\r\n", 13, invalid},
      {"no CRC keyword line", "00050004\r\n", 13, invalid},
      {"other keyword", "00050004\r\nCrc\r\n0\r\n", 13,
       "ERROR:D -  Unknown Entry 'Crc' in script file. Expected 'HIICrc32'\n"},
      {"no CRC", "00050004\r\nHIICrc32\r\n", 13, invalid},
      {"CRC not hexadecimal", "00050004\r\nHIICrc32\r\nXYZ\r\n", 13, invalid},
      {"CRC too long", "00050004\r\nHIICrc32\r\n123456789\r\n", 13, invalid},
      {"trailing empty lines", kHeader + block + "\r\n\r\n\n  \r\n", 0, ""},
      {"unknown line", kHeader + "\r\nBogus\r\n", 87, "ERROR:57 -  Unknown Entry 'Bogus' in script file.\n"},
      {"GUID at the end", kHeader + "\r\nGUID\r\n\r\n", 13, invalid},
      {"bad GUID", kHeader + "\r\nGUID\r\n12345678-9abc-def0-0123-456789abcdeg\r\n", 87,
       "ERROR:57 -  Unknown Entry '12345678-9abc-def0-0123-456789abcdeg' in script file.\n"},
      {"bad attributes", kHeader + "\r\nAttributes\r\n0x7\r\n", 87,
       "ERROR:57 -  Unknown Entry '0x7' in script file.\n"},
      {"one-digit byte", kHeader + block.substr(0, block.size() - 2) + "4\r\n", 87,
       "ERROR:57 -  Unknown Entry '01 02 03 4' in script file.\n"},
      {"three-digit byte", kHeader + block.substr(0, block.size() - 5) + "003\r\n", 87,
       "ERROR:57 -  Unknown Entry '01 02 003' in script file.\n"},
      {"not a byte", kHeader + block.substr(0, block.size() - 5) + "0G \r\n", 87,
       "ERROR:57 -  Unknown Entry '01 02 0G' in script file.\n"},
      {"no attributes", kHeader + "\r\nGUID\r\n12345678-9abc-def0-0123-456789abcdef\r\nVariable Name\r\nV\r\n"
                                  "Variable Data\r\n01\r\n", 13, invalid},
      {"no data section", kHeader + block.substr(0, block.find("Variable Data")), 13, invalid},
      {"data cut inside the last line", kHeader + block20.substr(0, block20.size() - 6), 13, cut(13)},
      {"data cut before the last line end", kHeader + block20.substr(0, block20.size() - 2), 13, cut(13)},
      {"data cut after a full line", kHeader + block16.substr(0, block16.size() - 2), 13, cut(12)},
      {"data cut before its first line", kHeader + head, 13, cut(11)},
      {"short line before more data", kHeader + head + "00 01 \r\n02 03 \r\n", 13, cut(12)},
      {"seventeen bytes on a line", kHeader + head + "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\r\n\r\n",
       87, "Unknown Entry '00 01"},
      {"NUL bytes", kHeader + std::string("\r\nGU\0ID\r\n", 9), 87, "Unknown Entry 'GU"},
      {"a line of 5000 bytes", kHeader + std::string(5000, 'A'), 87, "Unknown Entry 'AAAA"},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.what);
    ConsoleCapture capture;
    uint32_t crc = 0;
    std::vector<VariableRecord> records;
    EXPECT_EQ(ParseRawFile(c.text, crc, records), c.status);
    if (c.message.empty()) {
      EXPECT_EQ(capture.err(), "");
    } else {
      EXPECT_NE(capture.err().find(c.message), std::string::npos) << capture.err();
    }
    if (c.status == 0) {
      EXPECT_EQ(records.size(), 1u);
    }
  }
}

TEST(RawFileText, ListingReaderVerdicts) {
  const ReaderCase cases[] = {
      {"empty file", "", 0, ""},
      {"text outside an entry", "hello world\r\n", 87,
       "ERROR:57 -  Invalid listing file. Unknown entry 'hello world' in Variable Listing File\n"},
      {"unknown keyword", "[VARIABLE]\r\nVARIABLE_SIZE = 4\r\n", 87,
       "ERROR:57 -  Unknown entry 'VARIABLE_SIZE' in Variable Listing File\n"},
      {"no equals sign", "[VARIABLE]\r\nVARIABLE_NAME : X\r\n", 87,
       "ERROR:57 -  Unknown entry ':' in Variable Listing File\n"},
      {"keyword alone", "[VARIABLE]\r\nVARIABLE_GUID\r\n", 87,
       "ERROR:57 -  Unknown entry 'VARIABLE_GUID' in Variable Listing File\n"},
      {"short GUID", "[VARIABLE]\r\nVARIABLE_GUID = 12345678-9abc-def0-0123-456789abcde\r\n", 87,
       "ERROR:57 -  Unknown entry '12345678-9abc-def0-0123-456789abcde' in Variable Listing File\n"},
      {"entry cut short", "[VARIABLE]\r\nVARIABLE_NAME = Setup\r\n", 0, ""},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.what);
    ConsoleCapture capture;
    std::vector<VariableRecord> entries;
    EXPECT_EQ(ParseVariableListing(c.text, entries), c.status);
    EXPECT_EQ(capture.err(), c.message);
  }
  std::vector<VariableRecord> entries;
  ASSERT_EQ(ParseVariableListing("[VARIABLE]\r\nVARIABLE_NAME = Setup\r\n", entries), 0u);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Name, L"Setup");
  EXPECT_FALSE(entries[0].HasGuid);
}

// Every prefix of a good file (a file cut anywhere) is read without crossing its end, and ends
// in a verdict the readers give.
TEST(RawFileText, EveryTruncationGetsAVerdict) {
  const std::string raw = kHeader + FormatRawBlock(L"A", kGuid, 7, Counting(20)) + FormatRawBlock(L"B", kGuid, 7, Counting(1));
  const std::string listing = FormatListingEntry(L"A", kGuid) + FormatListingEntry(L"B", kGuid);
  ConsoleCapture capture;
  for (size_t n = 0; n <= raw.size(); ++n) {
    uint32_t crc = 0;
    std::vector<VariableRecord> records;
    Status s = ParseRawFile(std::string(raw.substr(0, n)), crc, records);
    EXPECT_TRUE(s == 0 || s == 13 || s == 87) << n;
    // A file that reads is never a shorter copy of a variable.
    for (const VariableRecord& r : records) EXPECT_EQ(r.Data, Counting(r.Name == L"A" ? 20 : 1)) << n;
  }
  for (size_t n = 0; n <= listing.size(); ++n) {
    std::vector<VariableRecord> entries;
    Status s = ParseVariableListing(std::string(listing.substr(0, n)), entries);
    EXPECT_TRUE(s == 0 || s == 87) << n;
  }
}

}  // namespace
}  // namespace kes
