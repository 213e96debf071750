// The script parser: exported scripts read back complete, the grammar's errors and warnings with
// their line numbers, values of every form, braced values over several lines, fixed tokens,
// symbol names, and input that no exporter writes (overlong lines, NUL bytes, garbage).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "script/script_parser.h"
#include "tests/support/test_support.h"

namespace kes::test {
namespace {

// Line 1 of every script below; a body's first line is line 2.
const std::string kHeader = "// Script File Name : setup.txt\n";
const std::string kScriptError = "\n- ERROR: Script file error.";

struct Parsed {
  Status status = 0;
  ScriptEntryList entries;
  std::string err;
};

Parsed ParseText(const std::string& text, ParseOptions options = {}) {
  Parsed p;
  ConsoleCapture capture;
  p.status = ParseScriptText(text, options, p.entries);
  p.err = capture.err();
  EXPECT_EQ(capture.out(), "");
  return p;
}

Parsed Parse(const std::string& body, ParseOptions options = {}) { return ParseText(kHeader + body, options); }

std::string SyntaxError(int line, const std::string& message) {
  return "\nSyntax Error in line " + std::to_string(line) + "\n" + message + kScriptError;
}

std::string Warning(int line, const std::string& message) {
  return "\nWarning in line " + std::to_string(line) + "\n" + message;
}

// One question block as the export writes it, without /lang.
std::string Block(const std::string& prompt, int token, int offset, int width, const std::string& rest) {
  return NFormat("\nSetup Question\t= %s\nHelp String\t= %s help\nToken\t=%02X\t// Do NOT change this line\n"
                 "Offset\t=%02X\nWidth\t=%02X\n",
                 prompt.c_str(), prompt.c_str(), token, offset, width) +
         rest + "\n";
}

// Everything an entry carries that the import reads, on one line, to compare whole parses.
std::string Summary(const ScriptEntryList& entries) {
  std::string out;
  for (const ScriptEntry& e : entries) {
    const ScriptEntryFlags& f = e.flags;
    out += NFormat("%u %s|%s|%X %X %X|%llX %llX %llX|%s|%s|%s|%zu|%s|%s|", e.line, e.identity.c_str(), e.help.c_str(),
                   e.token, e.offset, e.width, static_cast<unsigned long long>(e.value),
                   static_cast<unsigned long long>(e.biosDefault), static_cast<unsigned long long>(e.mfgDefault),
                   e.stringText.c_str(), e.valueText.c_str(), e.biosDefaultText.c_str(), e.stringBytes.size(),
                   ToNarrow(e.biosDefaultList).c_str(), e.mfgDefaultText.c_str());
    for (uint16_t v : e.listValues) out += NFormat("%X,", v);
    for (const std::string& t : e.entryTexts) out += t + ";";
    bool bits[] = {f.HasIdentity, f.IsFixedToken, f.HasToken, f.HasBiosDefault, f.DefaultIsList, f.ValueIsString,
                   f.HasMfgDefault, f.HasOptions, f.HasValue, f.HasCurrent, f.HasError, f.HasListOrder,
                   f.HasWidth, f.HasOffset, f.IsNegative, f.IsDate, f.IsTime, f.HasHelp};
    out += "|";
    for (bool b : bits) out += b ? '1' : '0';
    out += NFormat("|%X\n", e.fileChecksum);
  }
  return out;
}

// A script as the export writes it: the header with its unterminated last comment line, the
// checksum line framed by CR LF, one block of every kind, a duplicate written commented, a
// suppressed question, and a one-of as the last block.
const std::string kExported =
    "// Script File Name : setup.txt\n// Created on 01/31/24 at 08:05:00    \n// Kestrel Utility. Ver 5.04.1140\n"
    "// Change values in place; keep every other line as it is written.\r\nHIICrc32= 1A2B3C4D\r\n" +
    Block("Quiet Boot", 0x1A, 5, 1,
          "BIOS Default =[00]Disabled \nMFG Default =[01]Enabled \n"
          "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n         *[01]Enabled") +
    Block("Boot Order", 1, 0, 1,
          "BIOS Default ={01,02,03} \nListOrder\t=[02]USB\n         [01]Hard Disk\n         [03]Network") +
    Block("Feature", 2, 3, 1, "BIOS Default =0 \nValue\t=1\t// Enabled = 1, Disabled = 0") +
    Block("Hex", 3, 4, 1, "Value\t=1F") +
    Block("Signed", 4, 5, 2, "BIOS Default =<-5> \nValue\t=<-5>") +
    Block("Unsigned", 5, 7, 2, "Value\t=<300>") +
    Block("Name", 6, 9, 8, "Value\t=\"ABC\"") +
    Block("Wide", 7, 0x11, 6, "Value\t={0041 00E9 0000 } //Unicode, Do NOT change the format") +
    Block("Date", 8, 0x17, 4, "BIOS Default =01-01-2024 \nDate\t=01-31-2024\t// MM-DD-YYYY") +
    Block("Time", 9, 0x1B, 3, "BIOS Default =12:30:00  \nTime\t=08:05:00\t//  HH:MM:SS") +
    "\n// Setup Question\t= Second\n// Help String\t= h2\n// Token\t=0A\t// Do NOT change this line\n"
    "// Offset\t=03\n// Width\t=01\n// Value\t=1\t// Enabled = 1, Disabled = 0\n"
    "\n// SUPPRESS\n// Setup Question\t= Hidden\n// Help String\t= h\n// Token\t=0B\t// Do NOT change this line\n"
    "// Offset\t=20\n// Width\t=01\n// Options\t=[00]Off\t// Move \"*\" to the desired Option\n//         *[01]On\n"
    "// ENDOF SUPPRESS\n" +
    Block("Single", 0x1C, 0x1C, 1, "Options\t=*[04]Only\t// Move \"*\" to the desired Option");

TEST(ScriptParser, ExportedScriptParsesWithEveryEntryComplete) {
  Parsed p = ParseText(kExported);
  ASSERT_EQ(p.status, 0u);
  EXPECT_EQ(p.err, "");
  struct Expected {
    const char* identity;
    uint16_t token, offset, width;
    uint64_t value;
  } expected[] = {
      {"Quiet Boot", 0x1A, 5, 1, 1},
      {"Boot Order", 1, 0, 1, 3},
      {"Feature", 2, 3, 1, 1},
      {"Hex", 3, 4, 1, 0x1F},
      {"Signed", 4, 5, 2, 0xFFFFFFFFFFFFFFFBull},
      {"Unsigned", 5, 7, 2, 300},
      {"Name", 6, 9, 8, 0},
      {"Wide", 7, 0x11, 6, 0},
      {"Date", 8, 0x17, 4, 2024 | 1u << 16 | 31u << 24},
      {"Time", 9, 0x1B, 3, 8 | 5u << 8},
      {"Single", 0x1C, 0x1C, 1, 4},
  };
  ASSERT_EQ(p.entries.size(), std::size(expected));
  for (size_t i = 0; i < p.entries.size(); ++i) {
    const ScriptEntry& e = p.entries[i];
    const Expected& x = expected[i];
    SCOPED_TRACE(x.identity);
    EXPECT_EQ(e.identity, x.identity);
    EXPECT_EQ(e.help, std::string(x.identity) + " help");
    EXPECT_EQ(e.token, x.token);
    EXPECT_EQ(e.offset, x.offset);
    EXPECT_EQ(e.width, x.width);
    EXPECT_EQ(e.value, x.value);
    EXPECT_EQ(e.fileChecksum, 0x1A2B3C4Du);
    const ScriptEntryFlags& f = e.flags;
    EXPECT_TRUE(f.HasIdentity && f.HasHelp && f.HasToken && f.HasOffset && f.HasWidth);
    EXPECT_TRUE(f.HasCurrent || f.HasListOrder);
    EXPECT_FALSE(f.HasError || f.IsFixedToken);
  }
  const ScriptEntry& oneOf = p.entries[0];
  EXPECT_TRUE(oneOf.flags.HasOptions && oneOf.flags.HasBiosDefault && oneOf.flags.HasMfgDefault);
  EXPECT_EQ(oneOf.biosDefault, 0u);
  EXPECT_EQ(oneOf.mfgDefault, 1u);
  EXPECT_EQ(oneOf.biosDefaultText, "[00]Disabled");
  EXPECT_EQ(oneOf.entryTexts, (std::vector<std::string>{"[00]Disabled", "*[01]Enabled"}));
  EXPECT_EQ(oneOf.line, 15u);  // the "*" line, not the next block's "Setup Question"

  const ScriptEntry& list = p.entries[1];
  EXPECT_EQ(list.listValues, (std::vector<uint16_t>{2, 1, 3}));
  EXPECT_EQ(list.entryCount, 3);
  EXPECT_TRUE(list.flags.DefaultIsList);
  EXPECT_EQ(list.biosDefaultList, L"{01,02,03}");

  EXPECT_TRUE(p.entries[4].flags.IsNegative);
  EXPECT_EQ(p.entries[4].biosDefault, 0xFFFFFFFFFFFFFFFBull);
  EXPECT_FALSE(p.entries[5].flags.IsNegative);

  const ScriptEntry& name = p.entries[6];
  EXPECT_TRUE(name.flags.ValueIsString && name.stringIsPrintable);
  EXPECT_EQ(name.stringText, "ABC");
  EXPECT_EQ(name.stringLength, 3);
  const ScriptEntry& wide = p.entries[7];
  EXPECT_TRUE(wide.flags.ValueIsString);
  EXPECT_FALSE(wide.stringIsPrintable);
  EXPECT_EQ(wide.stringBytes, (std::vector<uint8_t>{0x41, 0, 0xE9, 0, 0, 0}));
  EXPECT_EQ(wide.stringLength, 3);

  EXPECT_TRUE(p.entries[8].flags.IsDate);
  EXPECT_EQ(p.entries[8].biosDefault, 2024 | 1u << 16 | 1u << 24);
  EXPECT_TRUE(p.entries[9].flags.IsTime);
  EXPECT_EQ(p.entries[9].biosDefault, 12 | 30u << 8);
  EXPECT_EQ(p.entries[10].line, static_cast<uint32_t>(std::count(kExported.begin(), kExported.end(), '\n')));
}

TEST(ScriptParser, FileCrlfAndMissingFinalNewlineGiveTheSameEntries) {
  const std::string reference = Summary(ParseText(kExported).entries);
  std::string crlf;
  for (char c : kExported) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string unterminated = kExported.substr(0, kExported.size() - 1);
  EXPECT_EQ(Summary(ParseText(crlf).entries), reference);
  EXPECT_EQ(Summary(ParseText(unterminated).entries), reference);

  TempDir dir;
  WriteFileText(dir / "setup.txt", kExported);
  ScriptEntryList fromFile;
  EXPECT_EQ(ParseScriptPath(dir / "setup.txt", {}, fromFile), 0u);
  EXPECT_EQ(Summary(fromFile), reference);
}

TEST(ScriptParser, LangTakesTheMapStringAsIdentity) {
  const std::string block =
      "\nSetup Question\t= Quiet Boot\nMap String\t= QBOOT01\nHelp String\t= logo\nToken\t=1A\t// Do NOT change "
      "this line\nOffset\t=05\nWidth\t=01\nValue\t=1\n";
  Parsed lang = Parse(block, {.lang = true});
  ASSERT_EQ(lang.status, 0u);
  ASSERT_EQ(lang.entries.size(), 1u);
  EXPECT_EQ(lang.entries[0].identity, "QBOOT01");
  Parsed plain = Parse(block);
  ASSERT_EQ(plain.entries.size(), 1u);
  EXPECT_EQ(plain.entries[0].identity, "Quiet Boot");

  // Without a "Map String" a /lang block is never identified, so its token is out of place.
  Parsed unmapped = Parse("Setup Question\t= Quiet Boot\nToken\t=1A\n", {.lang = true});
  EXPECT_EQ(unmapped.status, 1u);
  EXPECT_EQ(unmapped.err, SyntaxError(3, "MapString \"Token\" Not Found \n"));
}

TEST(ScriptParser, RejectsWhatIsNoScriptBeforeReadingQuestions) {
  for (const std::string& text : {std::string("HIICrc32= 1A2B\r\n") + Block("Q", 1, 0, 1, "Value\t=1"),
                                  std::string(), std::string("//Script\n")}) {
    Parsed p = ParseText(text);
    EXPECT_EQ(p.status, 1u);
    EXPECT_EQ(p.err, kScriptError);
    EXPECT_TRUE(p.entries.empty());
  }
  ScriptEntryList entries;
  ConsoleCapture capture;
  EXPECT_EQ(ParseScript(nullptr, {}, entries), 1u);
  EXPECT_EQ(ParseScriptPath("/nonexistent/setup.txt", {}, entries), 1u);
  EXPECT_EQ(capture.err(), "\n- ERROR: Invalid Script file handle\n\n- ERROR: Invalid Script file handle\n");
}

const std::string kHead = "Setup Question\t= Q\nToken\t=01\nOffset\t=02\nWidth\t=02\n";  // lines 2-5

TEST(ScriptParser, SyntaxErrorsNameTheLineAndStopTheParse) {
  struct Case {
    const char* name;
    std::string body;
    int line;
    std::string message;
  } cases[] = {
      {"token before any question", "Token\t=01\n" + kHead, 2, "MapString \"Token\" Not Found \n"},
      {"second token", kHead + "Token\t=02\n", 6, "MapString \"Token\" Not Found \n"},
      {"token of five digits", "Setup Question\t= Q\nToken\t=00001\n", 3, "Invalid Token Value\n"},
      {"missing equals", "Setup Question\t= Q\nOffset 05\n", 3, "Missing \"=\"\n"},
      {"offset twice", kHead + "Offset\t=03\n", 6, "Missing \"Offset\"\n"},
      {"width before question", "Width\t=01\n", 2, "Missing \"DataWidth\"\n"},
      {"help before question", "Help String\t= h\n", 2, "Invalid Token Value\n"},
      {"unknown keyword", kHead + "Valeu\t=1\n", 6, "A Typographical error has occured in the Setup question.\n"},
      {"one-digit month", kHead + "Date\t=1-31-2024\t// MM-DD-YYYY\n", 6, "Invalid Current Value\n"},
      {"value twice", kHead + "Value\t=1\nValue\t=2\n", 7, "Unexpected \"Value\"\n"},
      {"date after value", kHead + "Value\t=1\nDate\t=01-31-2024\n", 7, "Unexpected \"Value\"\n"},
      {"options after value", kHead + "Value\t=1\nOptions\t=*[01]On\n", 7, "Unexpected \"Options\"\n"},
      {"two current options", kHead + "Options\t=*[00]Off\n         *[01]On\n", 7,
       "More than one option has been chosen.\n"},
      {"star without bracket", kHead + "Options\t=*00]Off\n", 6, "Missing \"[\" after \"*\"\n"},
      {"star without bracket later", kHead + "Options\t=[00]Off\n         *On\n", 7, "Missing \"[\" after \"*\"\n"},
      {"unclosed current option", kHead + "Options\t=[00]Off\n         *[01 On\n", 7,
       "Invalid Current Option Value\n"},
      {"list without bracket", kHead + "ListOrder\t=02]USB\n", 6, "Missing \"[\" after \"*\"\n"},
      {"list element too wide", kHead + "ListOrder\t=[02]USB\n         [10000]Net\n", 7,
       "Invalid ListOrder Option\n"},
      {"bios default garbage", kHead + "BIOS Default =zz\n", 6, "Unexpected \"BIOS Default\"\n"},
      {"mfg default twice", kHead + "MFG Default =1\nMFG Default =1\n", 7, "Unexpected \"MFG Default\"\n"},
      {"braced value wider than the field", kHead + "Value\t={0041 0042 } //Unicode\n", 6,
       "Invalid Current Value\n"},
      // The first error ends the parse: the second is never reported.
      {"only the first error", "Token\t=01\nToken\t=01\n", 2, "MapString \"Token\" Not Found \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed p = Parse(c.body);
    EXPECT_EQ(p.status, 1u);
    EXPECT_EQ(p.err, SyntaxError(c.line, c.message));
  }
}

TEST(ScriptParser, ValuesOfEveryForm) {
  struct Case {
    std::string line;
    uint64_t value;
    bool negative;
  } cases[] = {
      {"Value\t=<-1>", 0xFFFFFFFFFFFFFFFFull, true},
      {"Value =<+7>  ", 7, false},
      {"Value\t=<-9223372036854775808>", 0x8000000000000000ull, true},
      {"Value\t=<18446744073709551615>", 0xFFFFFFFFFFFFFFFFull, false},
      {"Value\t=fFfFfFfFfFfFfFfF", 0xFFFFFFFFFFFFFFFFull, false},
      {"Value \t = 2A\t// comment", 0x2A, false},
      {"Date\t=12-31-9999\t// MM-DD-YYYY", 9999 | 12u << 16 | 31ull << 24, false},
      {"Time\t=23:59:58", 23 | 59u << 8 | 58u << 16, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Parsed p = Parse(kHead + c.line + "\n");
    ASSERT_EQ(p.status, 0u) << p.err;
    ASSERT_EQ(p.entries.size(), 1u);
    EXPECT_EQ(p.entries[0].value, c.value);
    EXPECT_EQ(p.entries[0].flags.IsNegative, c.negative);
    EXPECT_TRUE(p.entries[0].flags.HasCurrent);
  }
  for (const char* invalid : {"<-9223372036854775809>", "<18446744073709551616>", "<>", "<-", "<5>x", "<1 2>",
                              "12345678901234567", "1G", "0x10", "", "\""}) {
    SCOPED_TRACE(invalid);
    EXPECT_EQ(Parse(kHead + "Value\t=" + invalid + "\n").err, SyntaxError(6, "Invalid Current Value\n"));
  }
  for (const char* invalid : {"Date\t=01-31-24", "Date\t=01/31/2024", "Date\t=01-31-2024x", "Time\t=8:05:00",
                              "Time\t=08:05:0a"}) {
    SCOPED_TRACE(invalid);
    EXPECT_EQ(Parse(kHead + invalid + "\n").err, SyntaxError(6, "Invalid Current Value\n"));
  }
}

// Quoted values are UTF-8: decoded into the UTF-16 units the firmware stores, lengths in units;
// anything that is not UTF-8 (overlong forms, surrogates, cut sequences) names its line.
TEST(ScriptParser, QuotedValuesAreUtf8) {
  struct Case {
    std::string text;
    std::u16string units;
  } cases[] = {
      {"Caf\xC3\xA9", u"Caf\u00E9"},
      {"\xE2\x82\xAC 5", u"\u20AC 5"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair: two units
      {"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Parsed p = Parse(kHead + "Value\t=\"" + c.text + "\"\n");
    ASSERT_EQ(p.status, 0u) << p.err;
    EXPECT_EQ(p.entries[0].stringUnits, c.units);
    EXPECT_EQ(p.entries[0].stringLength, c.units.size());
    EXPECT_EQ(p.entries[0].stringText, c.text);
  }
  for (const char* invalid : {"Caf\xE9", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80", "\x80",
                              "\xF8\x88\x80\x80\x80"}) {
    SCOPED_TRACE(invalid);
    EXPECT_EQ(Parse(kHead + "Value\t=\"" + invalid + "\"\n").err, SyntaxError(6, "Invalid Current Value\n"));
  }
}

// The checksum line as the import reads it: the first line beginning with "HIICrc32".
TEST(ScriptParser, ChecksumLineIsNotedOnce) {
  struct Case {
    std::string lines;
    bool found;
    std::optional<uint32_t> value;
  } cases[] = {
      {"\r\nHIICrc32= 1A2B3C4D\r\n", true, 0x1A2B3C4D},
      {"HIICrc32= 0x00ff\nHIICrc32= 5\n", true, 0xFF},
      {"HIICrc32= 123456789\n", true, std::nullopt},  // nine digits: refused, not cut to 32 bits
      {"HIICrc32=\n", true, std::nullopt},
      {" HIICrc32= 5\n", false, std::nullopt},  // not at the start of the line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    ScriptChecksumLine line;
    ParseOptions options;
    options.checksumLine = &line;
    Parsed p = Parse(c.lines + kHead + "Value\t=1\n", options);
    EXPECT_EQ(line.found, c.found);
    EXPECT_EQ(line.value, c.value);
  }
}

TEST(ScriptParser, QuotedValuesKeepWhatLooksLikeAComment) {
  Parsed p = Parse(kHead + "Value\t=\"http://host/a\"\n");
  ASSERT_EQ(p.status, 0u) << p.err;
  EXPECT_EQ(p.entries[0].stringText, "http://host/a");
  Parsed commented = Parse(kHead + "Value\t=\"ab\"\t// \"note\"\n");
  ASSERT_EQ(commented.status, 0u) << commented.err;
  EXPECT_EQ(commented.entries[0].stringText, "ab");
}

TEST(ScriptParser, BracedValuesContinueOverLines) {
  std::string head = "Setup Question\t= Q\nToken\t=01\nOffset\t=02\nWidth\t=FFFE\n";
  Parsed two = Parse(head + "Value\t={0041 0042 \r\n   0043 } //Unicode, Do NOT change the format\r\nSetup Question\t= R\n");
  ASSERT_EQ(two.status, 0u) << two.err;
  ASSERT_EQ(two.entries.size(), 1u);
  EXPECT_EQ(two.entries[0].stringBytes, (std::vector<uint8_t>{0x41, 0, 0x42, 0, 0x43, 0}));
  EXPECT_EQ(two.entries[0].line, 7u);

  std::string many = "Value\t={";
  for (int i = 0; i < 20000; ++i) many += "00E9 \n";
  Parsed long_ = Parse(head + many + "}\n");
  ASSERT_EQ(long_.status, 0u) << long_.err.substr(0, 200);
  EXPECT_EQ(long_.entries[0].stringBytes.size(), 40000u);
  EXPECT_EQ(long_.entries[0].line, 20006u);

  // A continuation running into the next question, past the line limit, or to the end of the
  // file without its closing brace.
  EXPECT_EQ(Parse(head + "Value\t={0041 \nSetup Question\t= R\n").err, SyntaxError(7, "Invalid Current Value\n"));
  std::string overlong = head + "Value\t={";
  for (int i = 0; i < 70000; ++i) overlong += "0041 \n";
  EXPECT_EQ(Parse(overlong).err, SyntaxError(65744, "Invalid Current Value\n"));
  EXPECT_EQ(Parse(head + "Value\t={0041 \n0042 \n").err, SyntaxError(7, "Invalid Current Value\n"));
}

TEST(ScriptParser, IncompleteBlocksWarnAndQuietSilencesThem) {
  const std::string body = "Setup Question\t= A\nToken\t=01\nValue\t=1\n"                         // lines 2-4
                           "Setup Question\t= B\nToken\t=02\nOffset\t=00\nWidth\t=01\n"            // 5-8
                           "Options\t=[00]Off\t// Move \"*\" to the desired Option\n         [01]On\n"  // 9-10
                           "Setup Question\t= C\nToken\t=03\nOffset\t=01\nWidth\t=01\n";           // 11-14
  Parsed p = Parse(body);
  EXPECT_EQ(p.status, 0u);
  // Each warning names the line where its block starts.
  EXPECT_EQ(p.err, Warning(2, "Missing \"Offset\"\n") + Warning(5, "Missing Current Setting \"*\"\n") +
                       Warning(11, "Missing \"Value\"\n"));
  // The finished value block stays; the one-of without a current option is kept for the import
  // to judge; the block without any value is dropped.
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_EQ(p.entries[0].identity, "A");
  EXPECT_EQ(p.entries[1].identity, "B");
  EXPECT_EQ(p.entries[1].entryCount, 2);

  Parsed quiet = Parse(body, {.quiet = true});
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(Summary(quiet.entries), Summary(p.entries));
  // Syntax errors are printed in quiet mode too.
  EXPECT_EQ(Parse("Token\t=01\n", {.quiet = true}).err, SyntaxError(2, "MapString \"Token\" Not Found \n"));
}

TEST(ScriptParser, ExportersCornerCasesParse) {
  // An ordered list none of whose elements matched an option, a default list likewise empty,
  // a one-of without options, and a duplicate "*" naming the same option.
  Parsed p = Parse(kHead + "BIOS Default ={} \nListOrder\t=\n" + "Setup Question\t= R\nToken\t=02\nOffset\t=00\n"
                   "Width\t=01\nOptions\t=*[01]On\t// Move\n         *[01]On\n         [02]Off\n");
  ASSERT_EQ(p.status, 0u) << p.err;
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_TRUE(p.entries[0].flags.HasListOrder && p.entries[0].flags.DefaultIsList);
  EXPECT_TRUE(p.entries[0].listValues.empty());
  EXPECT_EQ(p.entries[0].biosDefaultList, L"{}");
  EXPECT_EQ(p.entries[1].value, 1u);
  EXPECT_EQ(p.entries[1].entryTexts, (std::vector<std::string>{"*[01]On", "*[01]On", "[02]Off"}));
}

TEST(ScriptParser, FixedTokenBlocks) {
  Parsed p = Parse("Fixed Token\t=0012\nBIOS Default =3\nValue\t=5\n");
  ASSERT_EQ(p.status, 0u) << p.err;
  ASSERT_EQ(p.entries.size(), 1u);
  EXPECT_TRUE(p.entries[0].flags.IsFixedToken && p.entries[0].flags.HasToken);
  EXPECT_FALSE(p.entries[0].flags.HasIdentity);
  EXPECT_EQ(p.entries[0].token, 0x12);
  EXPECT_EQ(p.entries[0].value, 5u);
  EXPECT_EQ(p.entries[0].biosDefault, 3u);

  // A fixed-token block left without its value is reported in the syntax-error form, with its
  // own line, when the next one begins, dropped, and the parse goes on.
  Parsed dropped = Parse("Fixed Token\t=01\nFixed Token\t=02\nValue\t=1\n");
  EXPECT_EQ(dropped.status, 0u);
  EXPECT_EQ(dropped.err, "\nSyntax Error in line 2\nMissing \"Value\"\n");
  ASSERT_EQ(dropped.entries.size(), 1u);
  EXPECT_EQ(dropped.entries[0].token, 2);

  EXPECT_EQ(Parse("Fixed Token\t=01\nOffset\t=02\n").err, SyntaxError(3, "Missing \"Offset\"\n"));
  EXPECT_EQ(Parse("Fixed Token\t=01\nOptions\t=*[01]On\n").err, SyntaxError(3, "Unexpected \"Options\"\n"));
}

TEST(ScriptParser, SymbolNamesResolveThroughTheSymbolFile) {
  std::FILE* symbols = std::tmpfile();
  ASSERT_NE(symbols, nullptr);
  std::fputs("Q_OFFSET_X 0x0010\nQ_OFFSET 0x0024 // setup offset\nQ_WIDTH\t0x2\nQ_BAD none\n", symbols);
  const std::string body = "Setup Question\t= Q\nToken\t=Q_WIDTH\nOffset\t=Q_OFFSET\nWidth\t=Q_WIDTH\nValue\t=1\n";
  Parsed p = Parse(body, {.symbolFile = symbols});
  ASSERT_EQ(p.status, 0u) << p.err;
  EXPECT_EQ(p.entries[0].token, 2);
  EXPECT_EQ(p.entries[0].offset, 0x24);
  EXPECT_EQ(p.entries[0].width, 2);
  EXPECT_EQ(Parse("Setup Question\t= Q\nOffset\t=Q_NONE\n", {.symbolFile = symbols}).err,
            SyntaxError(3, "Missing \"Offset\"\n"));
  EXPECT_EQ(Parse("Setup Question\t= Q\nWidth\t=Q_BAD\n", {.symbolFile = symbols}).err,
            SyntaxError(3, "Missing \"DataWidth\"\n"));
  std::fclose(symbols);
  EXPECT_EQ(Parse(body).err, SyntaxError(3, "Invalid Token Value\n"));
}

TEST(ScriptParser, LongLinesNulBytesAndGarbage) {
  const std::string longHelp(kScriptMaxLineChars - 14, 'h');  // "Help String\t= " + text = the limit
  Parsed fits = Parse("Setup Question\t= Q\nHelp String\t= " + longHelp + "\n");
  EXPECT_EQ(fits.status, 0u);
  Parsed over = Parse("Setup Question\t= Q\nHelp String\t= " + longHelp + "h\nValue\t=1\n");
  EXPECT_EQ(over.err, SyntaxError(3, "Invalid Current Value\n"));
  // Past the limit inside a comment does no harm, and the line count stays right.
  Parsed comment = Parse("// " + std::string(kScriptMaxLineChars * 2, 'c') + "\nToken\t=01\n");
  EXPECT_EQ(comment.err, SyntaxError(3, "MapString \"Token\" Not Found \n"));

  // A NUL byte is a character like any other invisible one: it neither ends the line nor hides what follows.
  EXPECT_EQ(Parse(kHead + std::string("Value\t=1\0 2\n", 12)).err, SyntaxError(6, "Invalid Current Value\n"));

  // Random bytes and fragments of the grammar: the parse must end cleanly either way.
  std::mt19937 random(1234);
  const std::vector<std::string> pieces = {"Setup Question\t= ", "Value\t={", "Value\t=\"", "Options\t=*[", "//",
                                           "ListOrder\t=[", "Fixed Token\t=", "BIOS Default =", "}", "\r",
                                           "\n", "\n         [", "<-", "Date\t=01-", "Map String\t= ", "Token\t=1"};
  for (int round = 0; round < 300; ++round) {
    std::string text = round % 3 ? kHeader : "";
    int parts = static_cast<int>(random() % 40);
    for (int i = 0; i < parts; ++i) {
      if (random() % 2) text += pieces[random() % pieces.size()];
      else text.push_back(static_cast<char>(random() % 256));
    }
    ScriptEntryList entries;
    ConsoleCapture capture;
    Status status = ParseScriptText(text, {.lang = round % 2 == 0}, entries);
    EXPECT_TRUE(status == 0u || status == 1u);
  }
}

}  // namespace
}  // namespace kes::test
