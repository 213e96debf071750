// The firmware emulator's model without a mount: configuration, SetVariable's rules, the
// password services, the mailbox handler (requests built here from the frame layout) and the
// efivarfs file semantics.
#include <gtest/gtest.h>

// The model library is built with the emulator (KESTREL_EMULATOR, libfuse3).
#ifdef KESTREL_FWEMU_PATH

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "companions/fwemu/config.h"
#include "companions/fwemu/efivarfs_model.h"
#include "companions/fwemu/firmware_model.h"
#include "companions/fwemu/image.h"
#include "tests/support/emulator.h"
#include "tests/support/test_support.h"

namespace kes::fwemu {
namespace {

using Data = std::vector<uint8_t>;

const Guid kVendor = *ParseGuid("01234567-89ab-cdef-0123-456789abcdef");
const char kVendorText[] = "01234567-89ab-cdef-0123-456789abcdef";

Data Utf16z(const std::string& ascii) {
  Data out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

void Put(Data& d, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) d[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint64_t Get(const Data& d, size_t offset, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(d.at(offset + i)) << (8 * i);
  return v;
}

// A request frame written out field by field: Size, Reserved, Version, ReturnValue 0x8002,
// FunctionGuid, PayloadSize, payload.
Data Request(uint16_t version, const char* serviceGuid, const Data& payload) {
  Data frame(32, 0);
  Put(frame, 0, 8, 2);
  Put(frame, 4, version, 2);
  Put(frame, 6, 0x8002, 2);
  auto guid = ParseGuid(serviceGuid)->bytes;
  std::copy(guid.begin(), guid.end(), frame.begin() + 8);
  Put(frame, 24, payload.size(), 8);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

constexpr char kHiiService[] = "2A7ADC98-820E-4775-A17D-2F741D55B626";
constexpr char kEnumService[] = "45AC8863-E3FA-4A38-A23C-00BCD10CBD50";

Data HiiRequest(uint64_t size, uint64_t offset, uint16_t version = 8) {
  Data payload(24 + size, 0);
  Put(payload, 0, size, 8);
  Put(payload, 8, offset, 8);
  Put(payload, 16, 50, 8);
  return Request(version, kHiiService, payload);
}

Data EnumRequest(const std::string& previousName, const Guid& previousGuid, uint64_t available = 512) {
  Data payload(544, 0);
  Put(payload, 0, 0xC000000000000001ULL, 8);
  Put(payload, 8, available, 8);
  if (!previousName.empty()) {
    std::copy(previousGuid.bytes.begin(), previousGuid.bytes.end(), payload.begin() + 16);
    for (size_t i = 0; i < previousName.size(); ++i) payload[32 + 2 * i] = static_cast<uint8_t>(previousName[i]);
  }
  return Request(8, kEnumService, payload);
}

struct Fixture {
  explicit Fixture(const std::string& configText = "", Data hii = {}, std::vector<Variable> vars = {}) {
    std::string error;
    EXPECT_TRUE(ParseConfig(configText, config, error)) << error;
    firmware = std::make_unique<FirmwareModel>(config, std::move(hii), vars);
  }
  // Writes the request to the mailbox and returns the response read back.
  Data Ask(const Data& request) {
    EXPECT_EQ(firmware->SetVariable(config.mailbox, 7, request), kEfiSuccess);
    const Variable* v = firmware->GetVariable(config.mailbox);
    return v ? v->data : Data{};
  }
  Config config;
  std::unique_ptr<FirmwareModel> firmware;
};

Data Pattern(size_t n) {
  Data d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return d;
}

TEST(FwemuConfig, ParsesEveryKey) {
  Config c;
  std::string error;
  ASSERT_TRUE(ParseConfig("# comment\n\n"
                          "mailbox_variable = MBX-" + std::string(kVendorText) + "\n"
                          "mailbox_return_value = 0x8005\n"
                          "mailbox_error_service = hii\n"
                          "reject_version_8 = yes\n"
                          "hii_fail_offset = 1000\n"
                          "hii_fail_status = 7\n"
                          "admin_password_efikey = 1e 0x30\n"
                          "password_retry_limit = 3\n"
                          "protected_variables = Setup, Other-" + std::string(kVendorText) + "\n"
                          "protected_variables = Third\n"
                          "failing_variables = Bad\n"
                          "write_protected_variables = RO\n"
                          "strict_attributes = no\n"
                          "max_variable_size = 4096\n"
                          "fidt_core_version = 04\n"
                          "fidt_absent = no\n",
                          c, error))
      << error;
  EXPECT_EQ(c.mailbox, (VariableId{"MBX", kVendor}));
  EXPECT_EQ(c.mailboxReturnValue, 0x8005);
  EXPECT_EQ(c.mailboxErrorService, MailboxService::kHiiRead);
  EXPECT_TRUE(c.rejectVersion8);
  EXPECT_EQ(c.hiiFailOffset, 1000u);
  EXPECT_EQ(c.hiiFailStatus, kEfiDeviceError);
  EXPECT_EQ(c.adminPassword, (Data{0x1E, 0x80, 0x30, 0x80}));
  EXPECT_EQ(c.passwordRetryLimit, 3u);
  ASSERT_EQ(c.protectedVariables.size(), 3u);
  EXPECT_FALSE(c.protectedVariables[0].guid);
  EXPECT_TRUE(c.protectedVariables[0].Matches({"Setup", kVendor}));
  EXPECT_TRUE(c.protectedVariables[1].Matches({"Other", kVendor}));
  EXPECT_FALSE(c.protectedVariables[1].Matches({"Other", Guid{}}));
  EXPECT_FALSE(c.strictAttributes);
  EXPECT_EQ(c.maxVariableSize, 4096u);
  EXPECT_EQ(c.fidtCoreVersion, "04");
}

TEST(FwemuConfig, TheCommentedExampleIsValid) {
  std::string text = test::ReadFileText(test::SourceDir() + "/companions/fwemu/fwemu.conf.example");
  ASSERT_FALSE(text.empty());
  Config c;
  std::string error;
  EXPECT_TRUE(ParseConfig(text, c, error)) << error;
  EXPECT_EQ(c.mailbox.name, "KMBX");
  EXPECT_FALSE(c.adminPassword);
}

TEST(FwemuConfig, PasswordEncodings) {
  EXPECT_EQ(PlainPasswordBytes("Ab"), (Data{'A', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(PlainPasswordBytes("\xC3\xA9"), (Data{0xE9, 0, 0, 0}));
  EXPECT_EQ(KeyUnitPasswordBytes("1e 30", false), (Data{0x1E, 0x00, 0x30, 0x00}));
  EXPECT_EQ(KeyUnitPasswordBytes("1e", true), (Data{0x1E, 0x80}));
  EXPECT_FALSE(KeyUnitPasswordBytes("10000", false));
  EXPECT_FALSE(KeyUnitPasswordBytes("zz", false));
}

TEST(FwemuConfig, RejectsBadLinesNamingThem) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"no equals sign\n", "line 1: expected key = value"},
      {"\nunknown_key = 1\n", "line 2: unknown key 'unknown_key'"},
      {"reject_version_8 = maybe\n", "line 1: reject_version_8: expected yes or no"},
      {"mailbox_return_value = 0x10000\n", "expected a 16-bit number"},
      {"mailbox_variable = KMBX\n", "expected Name-guid"},
      {"hii_fail_offset = -1\n", "expected a byte offset"},
      {"fidt_core_version = 5\n", "expected two characters"},
      {"admin_password_scancode = xyz\n", "expected hexadecimal 16-bit key units"},
      {"reject_version_8 = yes\nreject_version_8 = no\n", "line 2: 'reject_version_8' given twice"},
      {"admin_password = a\nadmin_password_scancode = 1\n", "give only one of"},
      {"admin_password = a\npassword_feature = no\n", "needs password_feature = yes"},
      {"admin_password =\n", "has no value"},
  };
  for (const auto& c : cases) {
    Config config;
    std::string error;
    EXPECT_FALSE(ParseConfig(c.text, config, error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
  }
}

TEST(FwemuMailbox, HiiReadStatuses) {
  Data hii = Pattern(1000);
  struct Case {
    const char* what;
    std::string config;
    Data request;
    uint64_t status;  // low 32 bits
  } cases[] = {
      {"more than 876 bytes", "", HiiRequest(877, 0), 2},
      {"past the end", "", HiiRequest(100, 950), 4},
      {"fail offset inside", "hii_fail_offset = 900\n", HiiRequest(100, 876), 7},
      {"fail offset at the start", "hii_fail_offset = 876\n", HiiRequest(100, 876), 7},
      {"fail offset just after", "hii_fail_offset = 976\n", HiiRequest(100, 876), 0},
      {"fail status configured", "hii_fail_offset = 0\nhii_fail_status = 0x15\n", HiiRequest(1, 0), 0x15},
      {"size query unaffected", "hii_fail_offset = 0\n", HiiRequest(0, 0), 0},
  };
  for (const auto& c : cases) {
    Fixture f(c.config, hii);
    Data r = f.Ask(c.request);
    EXPECT_EQ(Get(r, 6, 2), 0u) << c.what;
    EXPECT_EQ(Get(r, 32 + 16, 4), c.status) << c.what;
    // Errors are whole EFI_STATUS values: the high bit is set.
    EXPECT_EQ(Get(r, 32 + 16 + 4, 4), c.status == 0 ? 0u : 0x80000000u) << c.what;
  }
  // The bytes that exist are still delivered past the end; the rest read as zero.
  Fixture f("", hii);
  Data r = f.Ask(HiiRequest(100, 950));
  EXPECT_TRUE(std::equal(hii.begin() + 950, hii.end(), r.begin() + 56));
  EXPECT_EQ(r[56 + 50], 0);
}

TEST(FwemuMailbox, ReturnValues) {
  struct Case {
    const char* what;
    std::string config;
    Data request;
    uint16_t returnValue;
  } cases[] = {
      {"version 8 rejected", "reject_version_8 = yes\n", HiiRequest(0, 0, 8), 0x8003},
      {"version 4 served", "reject_version_8 = yes\n", HiiRequest(0, 0, 4), 0},
      {"error for every service", "mailbox_return_value = 0x8009\n", HiiRequest(0, 0), 0x8009},
      {"error for another service", "mailbox_return_value = 5\nmailbox_error_service = enumerate\n",
       HiiRequest(0, 0), 0},
      {"error for this service", "mailbox_return_value = 5\nmailbox_error_service = enumerate\n",
       EnumRequest("", {}), 5},
      {"unknown service", "", Request(8, "00000000-0000-0000-0000-000000000001", Data(24, 0)), 0x8001},
  };
  for (const auto& c : cases) {
    Fixture f(c.config, Pattern(10));
    Data r = f.Ask(c.request);
    EXPECT_EQ(Get(r, 6, 2), c.returnValue) << c.what;
    if (c.returnValue != 0) {  // an unserved request comes back as it was sent
      EXPECT_TRUE(std::equal(r.begin() + 8, r.end(), c.request.begin() + 8)) << c.what;
    }
  }
  // A frame whose PayloadSize disagrees with its length is refused.
  Fixture f;
  Data bad = HiiRequest(0, 0);
  Put(bad, 24, 23, 8);
  EXPECT_EQ(Get(f.Ask(bad), 6, 2), 0x8001u);
  // Data that is no request (ReturnValue not 0x8002) is stored as it is.
  Data plain(40, 0x11);
  EXPECT_EQ(f.Ask(plain), plain);
}

TEST(FwemuMailbox, EnumeratesEveryVariableThenReportsTheEnd) {
  const Guid other = *ParseGuid("11111111-2222-3333-4444-555555555555");
  Fixture f("", {}, {{{"Alpha", kVendor}, 7, {1}}, {{"Beta", other}, 7, {2}}});
  std::vector<std::pair<std::string, Guid>> seen;
  std::string name;
  Guid guid{};
  for (int step = 0; step < 10; ++step) {
    Data r = f.Ask(EnumRequest(name, guid));
    ASSERT_EQ(Get(r, 6, 2), 0u);
    uint64_t status = Get(r, 32, 4);
    if (status == 14) break;
    ASSERT_EQ(status, 0u);
    uint64_t length = Get(r, 40, 4);
    name.clear();
    for (uint64_t i = 0; i < length; ++i) name.push_back(static_cast<char>(Get(r, 64 + 2 * i, 2)));
    EXPECT_EQ(Get(r, 64 + 2 * length, 2), 0u) << "terminating zero";
    std::copy(r.begin() + 48, r.begin() + 64, guid.bytes.begin());
    seen.emplace_back(name, guid);
  }
  // The mailbox itself is a variable too, created by the first request.
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(std::string("Alpha"), kVendor));
  EXPECT_EQ(seen[1], std::make_pair(std::string("Beta"), other));
  EXPECT_EQ(seen[2], std::make_pair(f.config.mailbox.name, f.config.mailbox.guid));
}

TEST(FwemuMailbox, EnumerationBufferTooSmallAndUnknownPrevious) {
  Fixture f("", {}, {{{"LongerName", kVendor}, 7, {1}}});
  Data r = f.Ask(EnumRequest("", {}, 20));  // 10 characters + terminator need 22 bytes
  EXPECT_EQ(Get(r, 32, 4), 5u);
  EXPECT_EQ(Get(r, 40, 4), 11u);
  r = f.Ask(EnumRequest("", {}, 22));
  EXPECT_EQ(Get(r, 32, 4), 0u);
  r = f.Ask(EnumRequest("Nowhere", kVendor));
  EXPECT_EQ(Get(r, 32, 4), 2u);
  EXPECT_EQ(Get(r, 36, 4), 0x80000000u);
}

TEST(FwemuFirmware, SetVariableRules) {
  const VariableId a{"A", kVendor};
  struct Case {
    const char* what;
    std::string config;
    bool exists;       // A exists with attributes 7 and data {1}
    uint32_t attributes;
    Data data;
    EfiStatus status;
    Data after;        // A's data afterwards; empty = absent
  } cases[] = {
      {"create", "", false, 7, {5}, kEfiSuccess, {5}},
      {"replace", "", true, 7, {5, 6}, kEfiSuccess, {5, 6}},
      {"delete by size 0", "", true, 7, {}, kEfiSuccess, {}},
      {"delete by attributes 0", "", true, 0, {9}, kEfiSuccess, {}},
      {"delete a missing one", "", false, 7, {}, kEfiNotFound, {}},
      {"append", "", true, 0x47, {2}, kEfiSuccess, {1, 2}},
      {"append nothing", "", false, 0x47, {}, kEfiSuccess, {}},
      {"other attributes", "", true, 3 | 4, {5}, kEfiSuccess, {5}},
      {"attributes changed", "", true, 0x5 | 0x2 | 0x8, {5}, kEfiInvalidParameter, {1}},
      {"runtime without boot service", "", false, 5, {5}, kEfiInvalidParameter, {}},
      {"no runtime access", "", false, 3, {5}, kEfiInvalidParameter, {}},
      {"volatile", "", false, 6, {5}, kEfiInvalidParameter, {}},
      {"authenticated", "", false, 0x17, {5}, kEfiUnsupported, {}},
      {"time-based authenticated", "", false, 0x27, {5}, kEfiSecurityViolation, {}},
      {"relaxed attributes", "strict_attributes = no\n", true, 3, {5}, kEfiSuccess, {5}},
      {"failing", "failing_variables = A\n", true, 7, {5}, kEfiDeviceError, {1}},
      {"write protected", "write_protected_variables = A-" + std::string(kVendorText) + "\n", true, 7, {},
       kEfiWriteProtected, {1}},
      {"too large", "max_variable_size = 2\n", false, 7, {1, 2, 3}, kEfiOutOfResources, {}},
      {"protected, no admin password", "protected_variables = A\n", true, 7, {5}, kEfiSuccess, {5}},
      {"protected and locked", "protected_variables = A\nadmin_password = pw\n", true, 7, {5},
       kEfiSecurityViolation, {1}},
      {"protected, locked, delete", "protected_variables = A\nadmin_password = pw\n", true, 7, {},
       kEfiSecurityViolation, {1}},
  };
  for (const auto& c : cases) {
    std::vector<Variable> vars;
    if (c.exists) vars.push_back({a, 7, {1}});
    Fixture f(c.config, {}, vars);
    EXPECT_EQ(f.firmware->SetVariable(a, c.attributes, c.data), c.status) << c.what;
    const Variable* v = f.firmware->GetVariable(a);
    EXPECT_EQ(v ? v->data : Data{}, c.after) << c.what;
  }
}

TEST(FwemuFirmware, PasswordServices) {
  const VariableId setup{kSetupPasswordName, kPasswordGuid};
  const VariableId admin{kAdminPasswordName, kPasswordGuid};
  const VariableId user{kUserPasswordName, kPasswordGuid};
  const VariableId setupVar{"Setup", kVendor};
  Fixture f("admin_password = secret\nprotected_variables = Setup\npassword_retry_limit = 2\n", {},
            {{setupVar, 7, {0}}});
  auto& fw = *f.firmware;
  EXPECT_FALSE(fw.Unlocked());
  EXPECT_EQ(fw.SetVariable(admin, 7, Utf16z("new")), kEfiSecurityViolation);  // not before unlocking
  EXPECT_EQ(fw.SetVariable(setup, 7, Utf16z("wrong")), kEfiSecurityViolation);
  EXPECT_EQ(fw.SetVariable(setup, 7, Utf16z("secret")), kEfiSuccess);         // resets the count
  EXPECT_TRUE(fw.Unlocked());
  EXPECT_EQ(fw.GetVariable(setup), nullptr);                                  // never stored
  EXPECT_EQ(fw.SetVariable(setupVar, 7, Data{1}), kEfiSuccess);
  EXPECT_EQ(fw.SetVariable(user, 7, Utf16z("usr")), kEfiSuccess);
  EXPECT_EQ(fw.userPassword(), Utf16z("usr"));
  EXPECT_EQ(fw.SetVariable(user, 7, Data{1, 2, 3}), kEfiInvalidParameter);   // not 16-bit units
  EXPECT_EQ(fw.SetVariable(admin, 7, Utf16z("next")), kEfiSuccess);
  EXPECT_EQ(fw.adminPassword(), Utf16z("next"));
  EXPECT_EQ(fw.GetVariable(admin), nullptr);
  // The re-lock write is refused and locks again.
  EXPECT_EQ(fw.SetVariable(setup, 7, Data{0}), kEfiInvalidParameter);
  EXPECT_FALSE(fw.Unlocked());
  EXPECT_EQ(fw.SetVariable(setupVar, 7, Data{2}), kEfiSecurityViolation);
  EXPECT_EQ(fw.SetVariable(setup, 7, Utf16z("secret")), kEfiSecurityViolation);  // old one no more
  EXPECT_EQ(fw.SetVariable(setup, 7, Utf16z("x")), kEfiSecurityViolation);
  EXPECT_EQ(fw.SetVariable(setup, 7, Utf16z("next")), kEfiSecurityViolation);    // retries used up
  EXPECT_FALSE(fw.Unlocked());
}

TEST(FwemuFirmware, KeyUnitPasswordsAndNoPasswordFeature) {
  const VariableId setup{kSetupPasswordName, kPasswordGuid};
  Fixture scan("admin_password_scancode = 1e 30\n");
  EXPECT_EQ(scan.firmware->SetVariable(setup, 7, Data{0x1E, 0x80, 0x30, 0x80}), kEfiSecurityViolation);
  EXPECT_EQ(scan.firmware->SetVariable(setup, 7, Data{0x1E, 0x00, 0x30, 0x00}), kEfiSuccess);
  Fixture efiKey("admin_password_efikey = 1e 30\n");
  EXPECT_EQ(efiKey.firmware->SetVariable(setup, 7, Data{0x1E, 0x80, 0x30, 0x80}), kEfiSuccess);

  // Without the feature the variables are ordinary ones, the re-lock write included.
  Fixture none("password_feature = no\n");
  EXPECT_EQ(none.firmware->SetVariable(setup, 7, Utf16z("anything")), kEfiSuccess);
  ASSERT_NE(none.firmware->GetVariable(setup), nullptr);
  EXPECT_EQ(none.firmware->GetVariable(setup)->data, Utf16z("anything"));
  EXPECT_EQ(none.firmware->SetVariable(setup, 7, Data{0}), kEfiSuccess);
}

TEST(FwemuEfivarfs, FileSemantics) {
  Fixture f("protected_variables = P\nadmin_password = pw\n", {}, {{{"Old", kVendor}, 7, {9}}, {{"P", kVendor}, 7, {1}}});
  EfivarfsModel fs(*f.firmware);
  const std::string oldFile = std::string("Old-") + kVendorText;
  const std::string newFile = std::string("New-") + kVendorText;
  auto withAttr = [](uint32_t attr, Data d) { return test::VarFileBytes(attr, d); };

  EXPECT_EQ(fs.Content(oldFile), withAttr(7, {9}));
  EXPECT_EQ(fs.Size(oldFile), 5u);
  uint8_t part[3] = {};
  EXPECT_EQ(fs.Read(oldFile, 2, part), 3u);  // across the end of the attribute word
  EXPECT_EQ(Data(part, part + 3), (Data{0, 0, 9}));
  EXPECT_EQ(fs.Read(oldFile, 4, part), 1u);
  EXPECT_EQ(fs.Read(oldFile, 5, part), 0u);
  EXPECT_TRUE(fs.Exists("Old-01234567-89AB-CDEF-0123-456789ABCDEF"));  // the GUID in either case
  uint32_t flags = 0;
  EXPECT_EQ(fs.GetFlags(oldFile, flags), 0);
  EXPECT_EQ(flags, kImmutableFlag);
  EXPECT_EQ(fs.CheckOpen(oldFile, true), EPERM);
  EXPECT_EQ(fs.CheckOpen(oldFile, false), 0);
  EXPECT_EQ(fs.Unlink(oldFile), EPERM);
  EXPECT_EQ(fs.SetFlags(oldFile, 0x1), EOPNOTSUPP);
  EXPECT_EQ(fs.SetFlags(oldFile, 0), 0);
  EXPECT_EQ(fs.CheckOpen(oldFile, true), 0);

  // A new file is empty, immutable and no variable until a write succeeds.
  EXPECT_EQ(fs.Create("NoGuid"), EINVAL);
  EXPECT_EQ(fs.Create(newFile), 0);
  EXPECT_EQ(fs.Create(newFile), EEXIST);
  EXPECT_EQ(fs.GetFlags(newFile, flags), 0);
  EXPECT_EQ(flags, kImmutableFlag);
  struct Case {
    const char* what;
    Data bytes;
    int error;
    bool exists;
  } writes[] = {
      {"shorter than the attribute word", {7, 0, 0}, EINVAL, true},
      {"attribute bit 0x80", withAttr(0x87, {1}), EINVAL, true},
      {"attribute word 0", withAttr(0, {1}), EIO, true},
      {"delete of nothing", withAttr(7, {}), EIO, true},
      {"create", withAttr(7, {1, 2}), 0, true},
      {"replace", withAttr(7, {3}), 0, true},
      {"delete", withAttr(7, {}), 0, false},
  };
  for (const auto& w : writes) {
    EXPECT_EQ(fs.Write(newFile, w.bytes), w.error) << w.what;
    EXPECT_EQ(fs.Exists(newFile), w.exists) << w.what;
  }
  EXPECT_TRUE(f.firmware->GetVariable({"New", kVendor}) == nullptr);

  // Failed writes keep an existing variable; a refused delete by unlink is EINVAL.
  const std::string pFile = std::string("P-") + kVendorText;
  EXPECT_EQ(fs.Write(pFile, withAttr(7, {2})), EACCES);
  EXPECT_EQ(fs.Content(pFile), withAttr(7, {1}));
  EXPECT_EQ(fs.SetFlags(pFile, 0), 0);
  EXPECT_EQ(fs.Unlink(pFile), EINVAL);
  EXPECT_EQ(fs.Unlink(oldFile), 0);
  EXPECT_FALSE(fs.Exists(oldFile));
  EXPECT_EQ(fs.Create(oldFile), 0);  // reappears immutable
  EXPECT_EQ(fs.CheckOpen(oldFile, true), EPERM);
}

TEST(FwemuImage, LoadsAndSavesVariables) {
  test::TempDir tmp;
  test::FirmwareImage image(tmp / "image");
  image.Hii({1, 2, 3}).Config("fidt_core_version = 05\n").Var("B", kVendorText, 7, {2}).Var("A", kVendorText, 3, {1});
  test::WriteFileBytes(image.dir() + "/vars/Empty-" + kVendorText, {7, 0, 0, 0});
  Image loaded;
  std::string error;
  ASSERT_TRUE(LoadImage(image.dir(), loaded, error)) << error;
  EXPECT_EQ(loaded.hiiDatabase, (Data{1, 2, 3}));
  ASSERT_EQ(loaded.variables.size(), 2u);
  EXPECT_EQ(loaded.variables[0].id.name, "A");
  EXPECT_EQ(loaded.variables[0].attributes, 3u);
  ASSERT_EQ(loaded.warnings.size(), 1u);
  ASSERT_TRUE(loaded.fidt);
  ASSERT_EQ(loaded.fidt->size(), 156u);
  EXPECT_EQ((*loaded.fidt)[68], '0');
  EXPECT_EQ((*loaded.fidt)[69], '5');
  EXPECT_EQ((*loaded.fidt)[70], 0);
  uint8_t sum = 0;
  for (uint8_t b : *loaded.fidt) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(sum, 0);

  // Saving writes the final variables, not the mailbox, and drops stale variable files only.
  FirmwareModel firmware(loaded.config, loaded.hiiDatabase, loaded.variables);
  ASSERT_EQ(firmware.SetVariable({"A", kVendor}, 0, Data{}), kEfiSuccess);
  ASSERT_EQ(firmware.SetVariable({"C", kVendor}, 7, Data{4, 5}), kEfiSuccess);
  ASSERT_EQ(firmware.SetVariable(loaded.config.mailbox, 7, HiiRequest(0, 0)), kEfiSuccess);
  std::string out = tmp / "saved";
  test::MakeDirs(out);
  test::WriteFileText(out + "/A-" + kVendorText, "stale");
  test::WriteFileText(out + "/notes.txt", "kept");
  ASSERT_TRUE(SaveVariables(out, firmware, error)) << error;
  EXPECT_FALSE(test::ReadFileBytes(out + "/A-" + std::string(kVendorText)));
  EXPECT_EQ(test::ReadFileBytes(out + "/B-" + std::string(kVendorText)), test::VarFileBytes(7, {2}));
  EXPECT_EQ(test::ReadFileBytes(out + "/C-" + std::string(kVendorText)), test::VarFileBytes(7, {4, 5}));
  EXPECT_FALSE(test::ReadFileBytes(out + "/KMBX-280bcc15-2cd7-467c-9647-1b30307d7ed5"));
  EXPECT_EQ(test::ReadFileText(out + "/notes.txt"), "kept");
}

TEST(FwemuImage, RefusesBadImages) {
  test::TempDir tmp;
  Image image;
  std::string error;
  EXPECT_FALSE(LoadImage(tmp / "missing", image, error));
  EXPECT_NE(error.find("does not exist"), std::string::npos);

  test::FirmwareImage bad(tmp / "bad");
  test::WriteFileText(bad.dir() + "/vars/NotAVariable", "x");
  EXPECT_FALSE(LoadImage(bad.dir(), image, error));
  EXPECT_NE(error.find("vars/NotAVariable"), std::string::npos);

  test::FirmwareImage twice(tmp / "twice");
  twice.Var("A", kVendorText, 7, {1}).Var("A", "01234567-89AB-CDEF-0123-456789ABCDEF", 7, {1});
  EXPECT_FALSE(LoadImage(twice.dir(), image, error));
  EXPECT_NE(error.find("appears twice"), std::string::npos);
}

}  // namespace
}  // namespace kes::fwemu

#endif  // KESTREL_FWEMU_PATH
