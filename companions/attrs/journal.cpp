#include "companions/attrs/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <set>

#include "base/output_file.h"
#include "base/text.h"
#include "firmware/variable_store.h"
#include "companions/attrs/documents.h"

namespace kes::attrs {

namespace {

// An entry holds a few variables of at most kMaxVariableFileBytes each, as hexadecimal.
constexpr size_t kMaxEntryBytes = size_t{128} << 20;
constexpr int kMaxEntryDepth = 16;
constexpr size_t kMaxNameLength = 256;
constexpr size_t kMaxTimeLength = 64;
constexpr uint64_t kMaxEntryId = 999999999999999999;  // 18 digits: the next id never overflows

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(bytes.size() * 2, '0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string CrcText(uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

bool IsBootIdText(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
  });
}

bool IsAttributeName(std::string_view text) {
  if (text.empty() || text.size() > kMaxNameLength) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  });
}

// Why `name` cannot be a variable's name (as CheckVariableName, without printing); empty when it can.
std::string VariableNameProblem(const std::string& name) {
  if (name.empty()) return "a variable name is empty";
  if (name.find('/') != std::string::npos) return "the variable name \"" + name + "\" holds \"/\"";
  if (name.find('\0') != std::string::npos) return "a variable name holds NUL";
  if (name.size() > kMaxVariableNameBytes) return "the variable name \"" + name + "\" is too long";
  return {};
}

void PutBytes(Json& object, const char* name, const std::optional<std::vector<uint8_t>>& bytes) {
  if (bytes) object[std::string(name) + "Size"] = bytes->size();
  object[name] = bytes ? Json(Hex(*bytes)) : Json();
}

// The reader's steps: each returns false after setting error_.
class EntryReader {
 public:
  explicit EntryReader(std::string& error) : error_(error) {}

  std::optional<JournalEntry> Read(const Json& document) {
    JournalEntry entry;
    if (!document.is_object()) return Fail("an entry is a JSON object");
    const Json* format = Member(document, "Journal");
    if (!format || !format->is_number_unsigned() || format->get<uint64_t>() != kJournalFormat)
      return Fail("not a journal entry of format " + std::to_string(kJournalFormat));
    if (!Unsigned(document, "Id", entry.id) || entry.id == 0) return Fail(error_.empty() ? "\"Id\" is 0" : error_);
    if (!Text(document, "Time", entry.time, kMaxTimeLength)) return std::nullopt;
    if (!Text(document, "BootId", entry.bootId, 64)) return std::nullopt;
    if (!IsBootIdText(entry.bootId)) return Fail("\"BootId\" is not a boot id");
    std::string crc;
    if (!Text(document, "HiiCrc32", crc, 8)) return std::nullopt;
    if (crc.size() != 8 || !std::all_of(crc.begin(), crc.end(), [](char c) { return HexDigit(c) >= 0; }))
      return Fail("\"HiiCrc32\" is not 8 hexadecimal digits");
    entry.hiiCrc = static_cast<uint32_t>(std::strtoul(crc.c_str(), nullptr, 16));
    if (!Text(document, "Command", entry.command, 16)) return std::nullopt;
    if (entry.command != "set" && entry.command != "mount" && entry.command != "rollback")
      return Fail("\"Command\" is none of set, mount and rollback");
    if (entry.command == "rollback") {
      uint64_t of = 0;
      if (!Unsigned(document, "RollbackOf", of)) return std::nullopt;
      entry.rollbackOf = of;
    } else if (Member(document, "RollbackOf")) {
      return Fail("\"RollbackOf\" belongs to a rollback");
    }
    const Json* complete = Member(document, "Complete");
    if (!complete || !complete->is_boolean()) return Fail("\"Complete\" is missing or not true or false");
    entry.complete = complete->get<bool>();

    const Json* attributes = Member(document, "Attributes");
    if (!attributes || !attributes->is_array()) return Fail("\"Attributes\" is missing or not an array");
    std::set<std::string> names;
    for (const Json& a : *attributes) {
      JournalAttribute attribute;
      if (!ReadAttribute(a, attribute)) return std::nullopt;
      if (!names.insert(attribute.name).second) return Fail("the attribute " + attribute.name + " is given twice");
      entry.attributes.push_back(std::move(attribute));
    }
    const Json* variables = Member(document, "Variables");
    if (!variables || !variables->is_array()) return Fail("\"Variables\" is missing or not an array");
    std::set<std::string> keys;
    for (const Json& v : *variables) {
      JournalVariable variable;
      if (!ReadVariable(v, entry.complete, variable)) return std::nullopt;
      if (!keys.insert(variable.Key()).second) return Fail("the variable " + variable.Key() + " is given twice");
      entry.variables.push_back(std::move(variable));
    }
    // A value's bytes lie within its variable as the entry has it.
    for (const JournalAttribute& a : entry.attributes) {
      if (!a.storage) continue;
      const JournalVariable* v = entry.Variable(a.storage->variable, a.storage->guid);
      if (!v) continue;
      uint64_t end = uint64_t{a.storage->offset} + a.storage->width;
      for (const auto* bytes : {&v->before, &v->after})
        if (*bytes && end > (*bytes)->size())
          return Fail("the bytes of " + a.name + " lie outside the variable " + v->name);
    }
    return entry;
  }

 private:
  std::nullopt_t Fail(std::string why) {
    error_ = std::move(why);
    return std::nullopt;
  }
  bool Bad(std::string why) {
    error_ = std::move(why);
    return false;
  }

  static const Json* Member(const Json& object, const char* name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
  }

  bool Unsigned(const Json& object, const char* name, uint64_t& out, uint64_t limit = UINT64_MAX) {
    const Json* member = Member(object, name);
    if (!member || !member->is_number_unsigned() || member->get<uint64_t>() > limit) {
      error_ = std::string("\"") + name + "\" is missing or not a number from 0 to " + std::to_string(limit);
      return false;
    }
    out = member->get<uint64_t>();
    return true;
  }

  bool Text(const Json& object, const char* name, std::string& out, size_t limit) {
    const Json* member = Member(object, name);
    if (!member || !member->is_string() || member->get_ref<const std::string&>().size() > limit) {
      error_ = std::string("\"") + name + "\" is missing, not text or longer than " + std::to_string(limit);
      return false;
    }
    out = member->get<std::string>();
    return true;
  }

  bool Guid(const Json& object, const char* name, EfiGuid& out) {
    std::string text;
    if (!Text(object, name, text, 36)) return false;
    auto guid = ParseGuidText(std::string_view(text));
    if (!guid) {
      error_ = "\"" + text + "\" is not a GUID";
      return false;
    }
    out = *guid;
    return true;
  }

  bool VariableName(const Json& object, const char* name, std::string& out) {
    if (!Text(object, name, out, kMaxVariableNameBytes + 1)) return false;
    error_ = VariableNameProblem(out);
    return error_.empty();
  }

  bool ReadAttribute(const Json& a, JournalAttribute& out) {
    if (!a.is_object()) return Bad("an attribute is not an object");
    if (!Text(a, "AttributeName", out.name, kMaxNameLength)) return false;
    if (!IsAttributeName(out.name)) return Bad("\"" + out.name + "\" is not an attribute name");
    const Json* password = Member(a, "Password");
    if (password && !password->is_boolean()) return Bad("\"Password\" of " + out.name + " is not true or false");
    out.password = password && password->get<bool>();
    const Json* value = Member(a, "Value");
    const Json* old = Member(a, "OldValue");
    if (out.password) {
      if (value || old) return Bad("the password attribute " + out.name + " holds a value");
    } else {
      for (const Json* v : {value, old})
        if (!v || v->is_object() || v->is_array())
          return Bad("the values of " + out.name + " are missing or not a string, number, boolean or null");
      out.value = *value;
      out.oldValue = *old;
    }
    if (const Json* storage = Member(a, "Storage")) {
      if (!storage->is_object()) return Bad("\"Storage\" of " + out.name + " is not an object");
      JournalStorage s;
      uint64_t offset = 0, width = 0;
      if (!VariableName(*storage, "Variable", s.variable) || !Guid(*storage, "Guid", s.guid) ||
          !Unsigned(*storage, "Offset", offset, UINT32_MAX) || !Unsigned(*storage, "Width", width, UINT32_MAX))
        return false;
      s.offset = static_cast<uint32_t>(offset);
      s.width = static_cast<uint32_t>(width);
      out.storage = std::move(s);
    }
    return true;
  }

  bool Bytes(const Json& v, const std::string& key, const char* name, std::optional<std::vector<uint8_t>>& out) {
    const Json* hex = Member(v, name);
    std::string sizeName = std::string(name) + "Size";
    if (!hex) return Bad("\"" + std::string(name) + "\" of " + key + " is missing");
    if (hex->is_null()) {
      if (Member(v, sizeName.c_str())) return Bad(key + " has a size but no bytes " + name);
      return true;
    }
    uint64_t size = 0;
    if (!hex->is_string()) return Bad("\"" + std::string(name) + "\" of " + key + " is not text");
    if (!Unsigned(v, sizeName.c_str(), size, kMaxVariableFileBytes)) return false;
    const std::string& text = hex->get_ref<const std::string&>();
    if (text.size() != 2 * size)
      return Bad("\"" + sizeName + "\" of " + key + " is " + std::to_string(size) + " but \"" + name + "\" holds " +
                 (text.size() % 2 ? "an odd number of digits" : std::to_string(text.size() / 2) + " bytes"));
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
      int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
      if (high < 0 || low < 0) return Bad("\"" + std::string(name) + "\" of " + key + " is not hexadecimal");
      bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    out = std::move(bytes);
    return true;
  }

  bool ReadVariable(const Json& v, bool complete, JournalVariable& out) {
    if (!v.is_object()) return Bad("a variable is not an object");
    uint64_t attributes = 0;
    if (!VariableName(v, "Name", out.name) || !Guid(v, "Guid", out.guid) ||
        !Unsigned(v, "Attributes", attributes, UINT32_MAX))
      return false;
    out.attributes = static_cast<uint32_t>(attributes);
    std::string key = out.Key();
    if (!Bytes(v, key, "Before", out.before)) return false;
    if (!complete) {
      if (Member(v, "After") || Member(v, "AfterSize"))
        return Bad("the interrupted entry holds bytes after for " + key);
      return true;
    }
    return Bytes(v, key, "After", out.after);
  }

  std::string& error_;
};

// The id of an entry's file name ("<digits>.json"), or 0.
uint64_t IdOfName(std::string_view name) {
  if (!name.ends_with(".json")) return 0;
  name.remove_suffix(5);
  if (name.empty() || name.size() > 19) return 0;
  uint64_t id = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<uint64_t>(c - '0');
  }
  return id;
}

// Holds an exclusive lock on the journal's directory while alive, so that two runs never take
// the same id.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory) {
    fd_ = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) {
      int r;
      do r = flock(fd_, LOCK_EX);
      while (r != 0 && errno == EINTR);
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Creates `path` and its missing parents, each mode 0700.
bool MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

const JournalVariable* JournalEntry::Variable(std::string_view name, const EfiGuid& guid) const {
  for (const JournalVariable& v : variables)
    if (v.guid == guid && v.name == name) return &v;
  return nullptr;
}

Json EntryToJson(const JournalEntry& entry) {
  Json out;
  out["Journal"] = kJournalFormat;
  out["Id"] = entry.id;
  out["Time"] = entry.time;
  out["BootId"] = entry.bootId;
  out["HiiCrc32"] = CrcText(entry.hiiCrc);
  out["Command"] = entry.command;
  if (entry.rollbackOf) out["RollbackOf"] = *entry.rollbackOf;
  out["Complete"] = entry.complete;
  Json& attributes = out["Attributes"] = Json::array();
  for (const JournalAttribute& a : entry.attributes) {
    Json item;
    item["AttributeName"] = a.name;
    if (a.password) {
      item["Password"] = true;
    } else {
      item["Value"] = a.value;
      item["OldValue"] = a.oldValue;
    }
    if (a.storage)
      item["Storage"] = Json{{"Variable", a.storage->variable}, {"Guid", FormatGuidText(a.storage->guid)},
                             {"Offset", a.storage->offset}, {"Width", a.storage->width}};
    attributes.push_back(std::move(item));
  }
  Json& variables = out["Variables"] = Json::array();
  for (const JournalVariable& v : entry.variables) {
    Json item;
    item["Name"] = v.name;
    item["Guid"] = FormatGuidText(v.guid);
    item["Attributes"] = v.attributes;
    PutBytes(item, "Before", v.before);
    if (entry.complete) PutBytes(item, "After", v.after);
    variables.push_back(std::move(item));
  }
  return out;
}

std::optional<JournalEntry> ParseEntry(std::string_view text, std::string& error) {
  if (text.empty()) {
    error = "the entry is empty";
    return std::nullopt;
  }
  // Parsed with a bound on nesting, and a name repeated in one object refused.
  JsonRefusal refusal;
  auto document = ParseGuardedJson(text, kMaxEntryDepth, refusal);
  if (!document) {
    if (refusal.kind == JsonRefusal::Kind::NotJson) error = "not JSON, or cut short";
    else if (refusal.kind == JsonRefusal::Kind::TooDeep) error = "nested deeper than an entry is";
    else error = "the name \"" + refusal.detail + "\" appears twice in one object";
    return std::nullopt;
  }
  return EntryReader(error).Read(*document);
}

JournalOptions DefaultJournalOptions() {
  JournalOptions options;
  const char* state = std::getenv("KESTREL_STATE_DIR");
  options.directory = state && *state ? state : kDefaultJournalDirectory;
  const char* boot = std::getenv("KESTREL_BOOT_ID");
  options.bootIdFile = boot && *boot ? boot : kDefaultBootIdFile;
  return options;
}

std::optional<std::string> ReadBootId(const std::string& file, std::string& error) {
  auto bytes = ReadWholeFile(file, 256);
  if (!bytes) {
    error = "cannot read the boot id from " + file + ": " + std::strerror(errno ? errno : EIO);
    return std::nullopt;
  }
  std::string text = Trim(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!IsBootIdText(text)) {
    error = file + " holds no boot id";
    return std::nullopt;
  }
  return text;
}

std::string JournalTime() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool Journal::Open(bool create, std::string& error, bool* exists) {
  const std::string& dir = options_.directory;
  if (exists) *exists = false;
  if (dir.empty()) {
    error = "no journal directory is given";
    return false;
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = "cannot reach the journal directory " + dir + ": " + std::strerror(errno);
      return false;
    }
    if (!create) return true;
    if (!MakeDirectories(dir) || chmod(dir.c_str(), 0700) != 0 || lstat(dir.c_str(), &st) != 0) {
      error = "cannot create the journal directory " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  // Entries are written back to the firmware by a rollback: nobody but their owner may put one
  // there.
  if (!S_ISDIR(st.st_mode)) {
    error = "the journal directory " + dir + " is not a directory";
    return false;
  }
  if (st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "the journal directory " + dir + " (mode " + mode + ", owner " + std::to_string(st.st_uid) +
            ") may be written by another user than " + std::to_string(geteuid()) + ": make it " +
            std::to_string(geteuid()) + "'s, mode 0700";
    return false;
  }
  if (exists) *exists = true;
  return true;
}

std::string Journal::PathOf(uint64_t id) const {
  char name[32];
  std::snprintf(name, sizeof name, "%08llu.json", static_cast<unsigned long long>(id));
  return options_.directory + "/" + name;
}

bool Journal::Write(const JournalEntry& entry, std::string& error) {
  std::string path = PathOf(entry.id);
  std::string text = EntryToJson(entry).dump(2) + "\n";
  OutputFile file;
  bool ok = file.Open(path);
  if (ok) {
    (void)fchmod(fileno(file.get()), 0600);
    ok = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() && file.Commit();
  }
  if (!ok) error = "cannot write the journal entry " + path + ": " + std::strerror(errno ? errno : EIO);
  return ok;
}

bool Journal::Add(JournalEntry& entry, std::string& error) {
  DirectoryLock lock(options_.directory);
  if (!lock.Held()) {
    error = "cannot open the journal directory " + options_.directory + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint64_t> ids = Ids();
  if (!ids.empty() && ids.back() >= kMaxEntryId) {
    error = "the journal " + options_.directory + " holds an entry numbered " + std::to_string(ids.back()) +
            ", past the last id an entry can have";
    return false;
  }
  entry.id = ids.empty() ? 1 : ids.back() + 1;
  if (!Write(entry, error)) return false;
  ids.push_back(entry.id);
  size_t keep = std::max<size_t>(options_.keep, 1);
  for (size_t i = 0; i + keep < ids.size(); ++i) Remove(ids[i]);
  return true;
}

bool Journal::Replace(const JournalEntry& entry, std::string& error) { return Write(entry, error); }

void Journal::Remove(uint64_t id) { unlink(PathOf(id).c_str()); }

std::vector<uint64_t> Journal::Ids() const {
  std::vector<uint64_t> ids;
  DIR* dir = opendir(options_.directory.c_str());
  if (!dir) return ids;
  while (const dirent* e = readdir(dir))
    if (uint64_t id = IdOfName(e->d_name)) ids.push_back(id);
  closedir(dir);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::optional<JournalEntry> Journal::Read(uint64_t id, std::string& error) const {
  std::string path = PathOf(id);
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = fd < 0 && errno == ENOENT ? "the journal has no entry " + std::to_string(id)
                                      : "cannot read the journal entry " + path;
    if (fd >= 0) close(fd);
    return std::nullopt;
  }
  std::string text;
  if (static_cast<uint64_t>(st.st_size) > kMaxEntryBytes) {
    close(fd);
    error = "the journal entry " + path + " is larger than an entry can be";
    return std::nullopt;
  }
  text.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(got);
  std::string why;
  auto entry = ParseEntry(text, why);
  if (entry && entry->id != id) {
    why = "it names itself entry " + std::to_string(entry->id);
    entry.reset();
  }
  if (!entry) error = "the journal entry " + path + " is damaged: " + why;
  return entry;
}

}  // namespace kes::attrs
