#include "companions/attrs/mount_tree.h"

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cstdint>

#include "base/console.h"
#include "base/text.h"
#include "firmware/passwords.h"
#include "firmware/variable_store.h"
#include "hii/hii_format.h"
#include "companions/attrs/journal_commands.h"
#include "companions/attrs/operations.h"

namespace kes::attrs {

namespace {

constexpr std::string_view kPendingReboot = "pending_reboot";
constexpr std::string_view kResetBios = "reset_bios";
constexpr std::string_view kBuiltinSafe = "builtinsafe";   // the BIOS defaults
constexpr std::string_view kFactory = "factory";           // the manufacturing defaults

constexpr std::string_view kShowOnly = "[Status:ShowOnly]";

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> out;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) out.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

bool IsOrderedList(const Attribute& a) {
  return a.form == ValueForm::OrderedList || a.form == ValueForm::BootOrder || a.form == ValueForm::LegacyOrder;
}

// An integer with a range below zero: shown as a string to fwupd (see mount_tree.h).
bool SignedRange(const Attribute& a) { return a.type == AttrType::Integer && a.lowerBound && *a.lowerBound < 0; }

bool Settable(const Attribute& a) { return !a.readOnly && a.unreachable.empty(); }

// Why a value cannot be written, as set says it.
std::string NotSettable(const Attribute& a) {
  if (!a.unreachable.empty()) return "cannot be set: " + a.unreachable;
  if (a.readOnlyFlag) return "read-only: the question is marked read-only; no value is accepted";
  if (a.grayOut) return "read-only: the question is grayed out";
  return "read-only: a disable-if holds on the current values";
}

const char* TypeName(const Attribute& a) {
  if (IsOrderedList(a)) return "ordered-list";
  if (SignedRange(a)) return "string";
  switch (a.type) {
    case AttrType::Enumeration: return "enumeration";
    case AttrType::Boolean:
    case AttrType::Integer: return "integer";
    default: return "string";
  }
}

// Joins the choice names with ";".
std::string ChoiceList(const Attribute& a) {
  std::string out;
  for (const Choice& c : a.choices) out += (out.empty() ? "" : ";") + c.name;
  return out;
}

// Signed decimal text: an optional sign and at least one digit (leading zeros are decimal).
std::optional<Json> ParseInteger(const Attribute& a, std::string_view text) {
  bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - d) / 10) return std::nullopt;
    number = number * 10 + d;
  }
  if (!negative || number == 0) return Json(number);
  // A negative number for a question shown unsigned is no value of it.
  if (a.numericDisplay != hii::kDisplaySignedDecimal || number > uint64_t{1} << 63) return std::nullopt;
  return Json(static_cast<int64_t>(0 - number));
}

}  // namespace

std::string_view WithoutLineEnd(std::string_view text) {
  if (text.ends_with("\r\n")) text.remove_suffix(2);
  else if (text.ends_with('\n')) text.remove_suffix(1);
  return text;
}

std::optional<Json> ParseValueText(const Attribute& a, std::string_view text) {
  text = WithoutLineEnd(text);
  // One line of text: a value never holds a line end or a NUL.
  if (text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) return std::nullopt;
  if (IsOrderedList(a)) {
    std::string joined(text);
    for (char& c : joined)
      if (c == ';') c = ',';
    return Json(joined);
  }
  switch (a.type) {
    case AttrType::Boolean:
      if (text == "0" || text == "1") return Json(text == "1");
      return std::nullopt;
    case AttrType::Integer:
      return ParseInteger(a, text);
    default:
      return Json(std::string(text));
  }
}

std::string ValueText(const Attribute& a, const Json& value) {
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_number()) return value.dump();
  if (!value.is_string()) return {};
  std::string text = value.get<std::string>();
  if (IsOrderedList(a))
    for (char& c : text)
      if (c == ',') c = ';';
  return text;
}

AttributeTree::AttributeTree(const SetupContext& setup, std::string driver, const JournalOptions* journal,
                             TreeHooks hooks)
    : setup_(setup), driver_(std::move(driver)), journal_(journal), hooks_(std::move(hooks)) {
  auto languages = setup_.strings.LanguageList(false, false);
  language_ = languages.empty() ? "en" : languages.front();
  Refresh();
}

void AttributeTree::Refresh() {
  std::vector<Attribute> attributes;
  AttributeSink sink;
  sink.attribute = [&](Attribute& a) { attributes.push_back(std::move(a)); };
  // Every variable the walk reads is noted: those are what the snapshot depends on.
  std::map<std::string, FirmwareAccess::VariableContent> sources;
  {
    struct Recording {
      FirmwareAccess& firmware;
      ~Recording() { firmware.readRecord = nullptr; }
    } recording{setup_.firmware};
    setup_.firmware.readRecord = &sources;
    WalkAttributes(setup_, sink);
  }
  attributes_ = std::move(attributes);
  sources_ = std::move(sources);
  byName_.clear();
  visible_.clear();
  passwords_.clear();
  for (size_t i = 0; i < attributes_.size(); ++i) {
    const Attribute& a = attributes_[i];
    byName_.emplace(a.name, i);
    // Suppressed questions are left out, as Setup does not show them.
    if (a.hidden) continue;
    (a.type == AttrType::Password ? passwords_ : visible_).push_back(a.name);
  }
}

// Another program (kestrel-attrs set, the tool, the firmware itself) may have written any of the
// variables since the snapshot was taken.
void AttributeTree::Sync() {
  for (const auto& [key, source] : sources_) {
    uint32_t attributes = 0;
    std::vector<uint8_t> bytes;
    bool present = ReadEfiVariable(setup_.firmware, source.name, source.guid, attributes, bytes) == status::kSuccess;
    if (present != source.data.has_value() || (present && bytes != *source.data)) {
      Refresh();
      return;
    }
  }
}

AttributeTree::Parsed AttributeTree::Parse(std::string_view path) const {
  Parsed p;
  auto parts = Components(path);
  if (parts.empty()) return p;
  if (parts[0] != driver_) return {nullptr, false, {}, {}, -1};
  p.depth = 1;
  if (parts.size() == 1) return p;
  if (parts[1] != "attributes" && parts[1] != "authentication") return {nullptr, false, {}, {}, -1};
  p.authentication = parts[1] == "authentication";
  p.depth = 2;
  if (parts.size() == 2) return p;
  if (!p.authentication && (parts[2] == kPendingReboot || parts[2] == kResetBios)) {
    p.special = std::string(parts[2]);
    p.depth = parts.size() == 3 ? 3 : -1;
    return p;
  }
  auto it = byName_.find(std::string(parts[2]));
  if (it == byName_.end() || parts.size() > 4) return {nullptr, false, {}, {}, -1};
  const Attribute& a = attributes_[it->second];
  if (a.hidden || (a.type == AttrType::Password) != p.authentication) return {nullptr, false, {}, {}, -1};
  p.attribute = &a;
  p.depth = 3;
  if (parts.size() == 4) {
    p.file = std::string(parts[3]);
    auto files = Files(a, p.authentication);
    if (std::find(files.begin(), files.end(), p.file) == files.end()) return {nullptr, false, {}, {}, -1};
    p.depth = 4;
  }
  return p;
}

std::vector<std::string> AttributeTree::Files(const Attribute& a, bool authentication) const {
  if (authentication)
    return {"is_enabled", "role", "mechanism", "min_password_length", "max_password_length", "current_password",
            "new_password"};
  std::vector<std::string> files{"type", "current_value", "display_name", "display_name_language_code"};
  if (!a.biosDefault.is_null()) files.push_back("default_value");
  if (IsOrderedList(a)) {
    files.push_back("elements");
  } else if (a.type == AttrType::Enumeration) {
    files.push_back("possible_values");
  } else if (a.type == AttrType::Integer || a.type == AttrType::Boolean) {
    if (SignedRange(a)) files.insert(files.end(), {"min_length", "max_length"});
    files.insert(files.end(), {"min_value", "max_value", "scalar_increment"});
  } else {
    files.insert(files.end(), {"min_length", "max_length"});
  }
  return files;
}

AttributeTree::NodeInfo AttributeTree::Lookup(std::string_view path) const {
  Parsed p = Parse(path);
  if (p.depth < 0) return {};
  if (!p.special.empty()) return {Kind::File, true, p.special == kResetBios};
  if (p.file.empty()) return {Kind::Directory, true, false};
  if (p.authentication) {
    bool secret = p.file == "current_password" || p.file == "new_password";
    return {Kind::File, !secret, secret};
  }
  bool settable = p.file == "current_value" && Settable(*p.attribute);
  return {Kind::File, true, settable};
}

std::optional<std::vector<std::string>> AttributeTree::List(std::string_view path) {
  Sync();
  Parsed p = Parse(path);
  if (p.depth < 0 || !p.special.empty() || !p.file.empty()) return std::nullopt;
  switch (p.depth) {
    case 0: return std::vector<std::string>{driver_};
    case 1: return std::vector<std::string>{"attributes", "authentication"};
    case 2: {
      if (p.authentication) return passwords_;
      std::vector<std::string> names = visible_;
      names.emplace_back(kPendingReboot);
      names.emplace_back(kResetBios);
      return names;
    }
    default: return Files(*p.attribute, p.authentication);
  }
}

std::optional<std::string> AttributeTree::FileText(const Attribute& a, const std::string& file) const {
  auto number = [](auto value) { return std::to_string(value); };
  if (file == "type") return TypeName(a);
  if (file == "current_value") return ValueText(a, a.current) + std::string(Settable(a) ? "" : kShowOnly);
  if (file == "default_value") return ValueText(a, a.biosDefault);
  if (file == "display_name") return a.displayName;
  if (file == "display_name_language_code") return language_;
  if (file == "elements" && a.form == ValueForm::LegacyOrder) {
    // The group's devices, in number order as the boot order's elements are.
    std::vector<std::string> devices;
    std::string order = a.current.is_string() ? a.current.get<std::string>() : std::string();
    for (size_t start = 0; !order.empty() && start <= order.size();) {
      size_t comma = order.find(',', start);
      devices.push_back(order.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      start = comma == std::string::npos ? order.size() + 1 : comma + 1;
    }
    std::sort(devices.begin(), devices.end());
    std::string out;
    for (const std::string& d : devices) out += (out.empty() ? "" : ";") + d;
    return out;
  }
  if (file == "possible_values" || file == "elements") return ChoiceList(a);
  if (file == "min_value") {
    if (a.type == AttrType::Boolean) return "0";
    return a.lowerBound ? number(*a.lowerBound) : number(a.lowerBoundU.value_or(0));
  }
  if (file == "max_value") {
    if (a.type == AttrType::Boolean) return "1";
    return a.upperBound ? number(*a.upperBound) : number(a.upperBoundU.value_or(0));
  }
  // A step of 0 lets every value through; the ABI shows it as 1.
  if (file == "scalar_increment") return number(a.scalarIncrement && *a.scalarIncrement > 0 ? *a.scalarIncrement : 1);
  if (SignedRange(a) && (file == "min_length" || file == "max_length")) {
    // The lengths of the decimal texts of the values within the bounds.
    size_t low = std::to_string(*a.lowerBound).size(), high = std::to_string(a.upperBound.value_or(0)).size();
    return number(file == "min_length" ? 1 : std::max(low, high));
  }
  uint64_t fixed = a.form == ValueForm::Date ? 10 : a.form == ValueForm::Time ? 8 : 0;
  if (file == "min_length" || file == "min_password_length") return number(fixed ? fixed : a.minLength.value_or(0));
  if (file == "max_length" || file == "max_password_length") return number(fixed ? fixed : a.maxLength.value_or(0));
  if (file == "mechanism") return "password";
  if (file == "role") {
    // The administrator password by its prompt; any other Setup password guards the machine
    // at power-on.
    std::string prompt = a.displayName;
    for (char& c : prompt) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool admin = prompt.find("admin") != std::string::npos || prompt.find("supervisor") != std::string::npos;
    return admin ? "bios-admin" : "power-on";
  }
  if (file == "is_enabled") return setup_.firmware.setupUnlocked ? "1" : "0";
  return std::nullopt;
}

int AttributeTree::Read(std::string_view path, bool fresh, std::string& text) {
  Parsed p = Parse(path);
  // What the variables decide is looked at afresh; the other files come from the HII database.
  if (fresh && (p.special == kResetBios || p.file == "current_value" || p.file == "default_value")) {
    Sync();
    p = Parse(path);
  }
  if (p.depth < 0) return ENOENT;
  if (p.special == kPendingReboot) {
    text = pendingReboot_ ? "1\n" : "0\n";
    return 0;
  }
  if (p.special == kResetBios) {
    bool bios = false, mfg = false;
    for (const Attribute& a : attributes_) {
      bios = bios || !a.biosDefault.is_null();
      mfg = mfg || !a.mfgDefault.is_null();
    }
    text.clear();
    for (auto [offered, name] : {std::pair{bios, kBuiltinSafe}, std::pair{mfg, kFactory}}) {
      if (!offered) continue;
      if (!text.empty()) text += ' ';
      // The option last written is shown in brackets, as the kernel's drivers do.
      text += name == lastReset_ ? "[" + std::string(name) + "]" : std::string(name);
    }
    text += '\n';
    return 0;
  }
  if (p.file.empty()) return EISDIR;
  if (p.file == "current_password" || p.file == "new_password") return EACCES;
  auto content = FileText(*p.attribute, p.file);
  if (!content) return ENOENT;
  text = *content + "\n";
  return 0;
}

int AttributeTree::Write(std::string_view path, std::string_view data, bool followsWrite) {
  if (followsWrite && !data.empty() && WithoutLineEnd(data).empty()) return 0;
  Sync();
  Parsed p = Parse(path);
  if (p.depth < 0) return ENOENT;
  if (p.special == kResetBios) return ResetBios(data);
  if (!p.special.empty() || p.file.empty()) return EACCES;
  if (p.authentication) {
    if (p.file != "current_password" && p.file != "new_password") return EACCES;
    return WritePassword(*p.attribute, p.file, data);
  }
  if (p.file != "current_value") return EACCES;
  return WriteValue(*p.attribute, data);
}

void AttributeTree::SayLines(const std::string& text) const {
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string line = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!line.empty()) Say(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

void AttributeTree::Say(const std::string& text) const {
  if (hooks_.say) hooks_.say(text);
  else WriteNarrow(Stream::Err, "kestrel-attrs: " + text + "\n");
}

void AttributeTree::ExplainRefusal(std::string_view path) {
  Parsed p = Parse(path);
  if (p.depth < 0) return;
  while (path.starts_with('/')) path.remove_prefix(1);
  if (p.attribute && p.file == "current_value" && !Settable(*p.attribute)) Say(p.attribute->name + ": " + NotSettable(*p.attribute));
  else Say(std::string(path) + ": takes no writes");
}

int AttributeTree::WriteValue(const Attribute& a, std::string_view data) {
  if (!Settable(a)) {
    Say(a.name + ": " + NotSettable(a));
    return EPERM;
  }
  auto value = ParseValueText(a, data);
  if (!value) {
    Say(a.name + ": \"" + std::string(data.substr(0, data.find('\n'))) + "\" is no value of this attribute");
    return EINVAL;
  }
  return Apply({{a.name, *value}}, false);
}

int AttributeTree::ResetBios(std::string_view data) {
  data = WithoutLineEnd(data);
  bool mfg = data == kFactory;
  if (data != kBuiltinSafe && !mfg) {
    Say(std::string(kResetBios) + ": \"" + std::string(data.substr(0, 64)) + "\" is neither builtinsafe nor factory");
    return EINVAL;
  }
  // Every question that can be set and has a default in the store, in one commit. Of questions
  // over the same bytes the first carries the value.
  AttributeValues values;
  for (const Attribute& a : attributes_) {
    const Json& value = mfg ? a.mfgDefault : a.biosDefault;
    if (value.is_null() || a.readOnly || !a.unreachable.empty() || a.sharesStorage) continue;
    if (a.type == AttrType::Password || value == a.current) continue;
    values.emplace_back(a.name, value);
  }
  bool offered = false;
  for (const Attribute& a : attributes_) offered = offered || !(mfg ? a.mfgDefault : a.biosDefault).is_null();
  if (!offered) {
    Say(std::string(kResetBios) + ": the firmware holds no " + (mfg ? "manufacturing" : "BIOS") + " defaults");
    return EINVAL;
  }
  int error = values.empty() ? 0 : Apply(values, true);
  if (error == 0) {
    lastReset_ = std::string(data);
    pendingReboot_ = true;
  }
  return error;
}

int AttributeTree::Apply(const AttributeValues& values, bool defaultsLoad) {
  FirmwareAccess& firmware = setup_.firmware;
  firmware.lastWriteError = 0;
  Outcome outcome;
  std::string said;
  {
    ConsoleCapture capture;
    // Defaults are loaded as the firmware loads them, whatever the conditions say. Recorded in
    // the journal like a set (the recorder says why when it cannot).
    std::optional<JournalRecorder> recorder;
    if (journal_) recorder.emplace(setup_, *journal_, "mount");
    outcome = SetAttributes(setup_, values, false, false, !defaultsLoad, recorder ? &recorder->Observer() : nullptr);
    said = capture.out() + capture.err();
  }
  int error = 0;
  if (outcome.status == kExitRefused) {
    for (const Json& r : outcome.report["Refused"])
      Say(r["AttributeName"].get<std::string>() + ": refused: " + r["Reason"].get<std::string>());
    // A default the import refuses is the firmware's own data at fault, not the writer's input.
    error = defaultsLoad ? EIO : EINVAL;
  } else if (outcome.status != kExitSuccess) {
    SayLines(said);
    for (const Json& f : outcome.report["Failed"]) {
      // A protected variable is unlocked here by writing the password under authentication/.
      std::string reason = f["Reason"].get<std::string>();
      if (size_t at = reason.find(kPasswordAdvice); at != std::string::npos)
        reason.replace(at, kPasswordAdvice.size(), "write the current admin password to " + AdminPasswordFile());
      Say(f["AttributeName"].get<std::string>() + ": " + reason);
    }
    error = firmware.lastWriteError && outcome.status != kExitJournal ? firmware.lastWriteError : EIO;
  }
  if (outcome.report.value("ResetRequired", false)) pendingReboot_ = true;
  if (!outcome.report["Changed"].empty() || !outcome.report["Failed"].empty()) Refresh();
  if (!outcome.report["Changed"].empty() && hooks_.changed) hooks_.changed();
  return error;
}

std::string AttributeTree::AdminPasswordFile() const {
  std::string name = "NAME";
  for (const std::string& p : passwords_) {
    auto it = byName_.find(p);
    if (it != byName_.end() && FileText(attributes_[it->second], "role") == std::optional<std::string>("bios-admin")) {
      name = p;
      break;
    }
  }
  return driver_ + "/authentication/" + name + "/current_password";
}

int AttributeTree::WritePassword(const Attribute& a, const std::string& file, std::string_view data) {
  data = WithoutLineEnd(data);
  RunState& run = setup_.run;
  PasswordInput input;
  input.Text = DecodeText(std::string(data));
  input.Length = static_cast<uint32_t>(input.Text.size() + 1);
  input.Type = data.empty() ? PasswordType::None : PasswordType::Plain;
  // A new password must fit the question's bounds; the current one is whatever was set.
  if (file == "new_password" && input.Type != PasswordType::None &&
      (input.Text.size() < a.minLength.value_or(0) || input.Text.size() > a.maxLength.value_or(SIZE_MAX)))
    return EINVAL;
  Status s;
  std::string said;
  bool unrecorded = false;  // the journal could not record the change: nothing was written
  {
    ConsoleCapture capture;
    run.newAdmin = PasswordInput{};
    run.newUser = PasswordInput{};
    if (file == "current_password") {
      // Later writes present it, as the tool's /cpwd does; an empty one locks again.
      RelockProtectedVariables(setup_.firmware);
      run.currentAdmin = input;
      s = input.Type == PasswordType::None ? status::kSuccess : ChangeSetupPasswords(run, setup_.firmware);
      if (s != status::kSuccess) run.currentAdmin = PasswordInput{};
    } else {
      bool admin = FileText(a, "role") == std::optional<std::string>("bios-admin");
      (admin ? run.newAdmin : run.newUser) = input;
      // A new password is recorded in the journal by name only, without its value.
      std::optional<JournalRecorder> recorder;
      if (journal_) recorder.emplace(setup_, *journal_, "mount");
      if (recorder && !recorder->Observer().beforeWrite({{&a, Json()}})) {
        s = status::kFailure;
        unrecorded = true;
      } else {
        s = ChangeSetupPasswords(run, setup_.firmware);
        if (recorder) {
          recorder->Observer().afterWrite();
          if (s != status::kSuccess) recorder->Discard();
        }
      }
      run.newAdmin = PasswordInput{};
      run.newUser = PasswordInput{};
    }
    said = capture.out() + capture.err();
  }
  std::fill(input.Text.begin(), input.Text.end(), L'\0');
  if (s == status::kSuccess) return 0;
  SayLines(said);
  if (unrecorded) return EIO;
  if (said.find_first_not_of(" \r\n") == std::string::npos) Say(a.name + ": the password was not accepted");
  return setup_.firmware.lastWriteError ? setup_.firmware.lastWriteError : EACCES;
}

}  // namespace kes::attrs
