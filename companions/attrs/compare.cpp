// The compare page's side of the HTML view: machines' documents read, and the attributes whose
// values differ between the machines found.
#include <algorithm>
#include <unordered_set>

#include "companions/attrs/html.h"

namespace kes::attrs {

namespace {

// Where a document may hold a machine's attributes, in the order they are looked for.
enum Place : int { kBios, kFacts, kFactCache, kModuleResult, kPlaces };

// What an open object of the document is, as far as the reader cares.
enum class Role {
  Other,
  Root,
  KestrelBios,     // "kestrel_bios" of a fact cache (at the top) or of a module result
  AnsibleFacts,    // "ansible_facts" of a module result
  Attributes,      // the attributes of `place`
  Registry,        // the registry of `place` (facts): name -> entry
  RegistryEntry,   // one entry of such a registry
};

struct Frame {
  bool array = false;
  Role role = Role::Other;
  int place = -1;
  std::string key;                     // the key whose value comes next (objects)
  std::unordered_set<std::string> keys;  // the keys so far (objects), for repeated names
};

// Reads a document without building it: only the attributes, registry entries and host name
// are kept.
class MachineReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  static constexpr size_t kMaxDepth = 64;

  std::string error;
  std::string hostName;
  bool found[kPlaces] = {};
  AttributeValues values[kPlaces];
  std::unordered_map<std::string, std::pair<std::string, std::string>> described[kPlaces];

  bool null() override { return Scalar(Json()); }
  bool boolean(bool value) override { return Scalar(Json(value)); }
  bool number_integer(number_integer_t value) override { return Scalar(Json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Scalar(Json(value)); }
  bool number_float(number_float_t value, const string_t&) override { return Scalar(Json(value)); }
  bool string(string_t& value) override { return Scalar(Json(std::move(value))); }
  bool binary(binary_t&) override { return Fail("the document holds binary data"); }

  bool start_object(std::size_t) override { return Open(false); }
  bool start_array(std::size_t) override { return Open(true); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& name) override {
    Frame& top = stack_.back();
    if (!top.keys.insert(name).second) return Fail("the name \"" + name + "\" appears twice in one object");
    top.key = name;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    if (error.empty()) error = std::string("not valid JSON: ") + e.what();
    return false;
  }

 private:
  bool Fail(std::string why) {
    if (error.empty()) error = std::move(why);
    return false;
  }

  // The role of a value under `key` in `parent`.
  static std::pair<Role, int> RoleOf(const Frame* parent, const std::string& key) {
    if (!parent) return {Role::Root, -1};
    if (parent->array) return {Role::Other, -1};
    switch (parent->role) {
      case Role::Root:
        if (key == "Attributes") return {Role::Attributes, kBios};
        if (key == "attributes") return {Role::Attributes, kFacts};
        if (key == "registry") return {Role::Registry, kFacts};
        if (key == "kestrel_bios") return {Role::KestrelBios, kFactCache};
        if (key == "ansible_facts") return {Role::AnsibleFacts, -1};
        break;
      case Role::AnsibleFacts:
        if (key == "kestrel_bios") return {Role::KestrelBios, kModuleResult};
        break;
      case Role::KestrelBios:
        if (key == "attributes") return {Role::Attributes, parent->place};
        if (key == "registry") return {Role::Registry, parent->place};
        break;
      case Role::Registry:
        return {Role::RegistryEntry, parent->place};
      default:
        break;
    }
    return {Role::Other, -1};
  }

  bool Open(bool array) {
    if (stack_.size() >= kMaxDepth) return Fail("the document is nested deeper than 64 levels");
    const Frame* parent = stack_.empty() ? nullptr : &stack_.back();
    if (parent && !parent->array && parent->role == Role::Attributes)
      return Fail("the value of \"" + parent->key + "\" is not a string, number, boolean or null");
    auto [role, place] = RoleOf(parent, parent ? parent->key : std::string());
    if (array && role != Role::Other) role = Role::Other;  // an array is none of the places
    if (role == Role::Attributes) found[place] = true;
    Frame frame;
    frame.array = array;
    frame.role = role;
    frame.place = place;
    stack_.push_back(std::move(frame));
    return true;
  }

  bool Close() {
    if (!stack_.empty()) stack_.pop_back();
    return true;
  }

  bool Scalar(Json value) {
    if (stack_.empty()) return true;  // a document that is one value: no attributes
    Frame& top = stack_.back();
    if (top.array) return true;
    switch (top.role) {
      case Role::Attributes:
        values[top.place].emplace_back(top.key, std::move(value));
        break;
      case Role::RegistryEntry:
        if (value.is_string() && (top.key == "DisplayName" || top.key == "MenuPath")) {
          const std::string& name = stack_[stack_.size() - 2].key;
          auto& entry = described[top.place][name];
          (top.key == "DisplayName" ? entry.first : entry.second) = value.get<std::string>();
        }
        break;
      case Role::Root:
      case Role::AnsibleFacts:
        if (top.key == "ansible_hostname" && value.is_string() && hostName.empty()) hostName = value.get<std::string>();
        break;
      default:
        break;
    }
    return true;
  }

  std::vector<Frame> stack_;
};

// The file's name without its directory and a final ".json".
std::string NameFromPath(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) name.resize(name.size() - 5);
  return name.empty() || name == "-" ? "standard input" : name;
}

}  // namespace

std::optional<MachineDocument> ReadMachineDocument(std::string_view text, const std::string& path, std::string& error) {
  MachineReader reader;
  bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
  if (!parsed || !reader.error.empty()) {
    error = reader.error.empty() ? "not valid JSON" : reader.error;
    return std::nullopt;
  }
  for (int place = 0; place < kPlaces; ++place) {
    if (!reader.found[place]) continue;
    MachineDocument machine;
    machine.name = reader.hostName.empty() ? NameFromPath(path) : reader.hostName;
    machine.values = std::move(reader.values[place]);
    machine.described = std::move(reader.described[place]);
    return machine;
  }
  error = "the document holds no attributes: neither a Bios resource (\"Attributes\") nor the facts of "
          "kestrel.bios.bios_info (\"attributes\", under \"kestrel_bios\" or \"ansible_facts\")";
  return std::nullopt;
}

// The compare page's data:
//   machines:  [name, number of rows where it differs from the majority], in the order given
//   rows:      [AttributeName, DisplayName, MenuPath, majority (the first machine holding the
//              majority value), values (as text, null for null or missing), differing machines,
//              machines without the attribute]
//   attributes: how many attributes the documents name in all
// DisplayName and MenuPath come from the documents' registries where no Setup is at hand
// (empty where none says); with one, the page takes them from its menus.
Json ComparePageData(std::vector<MachineDocument> machines, const Json* setupData) {
  // Unique names: a later machine of the same name is "name (2)", "name (3)", ...
  std::unordered_set<std::string> taken;
  for (MachineDocument& m : machines) {
    std::string base = m.name;
    for (size_t n = 2; !taken.insert(m.name).second; ++n) m.name = base + " (" + std::to_string(n) + ")";
  }
  std::vector<std::string> order;
  std::unordered_map<std::string, size_t> position;
  std::unordered_map<std::string, std::string> displayNames;
  auto note = [&](const std::string& name) {
    if (position.emplace(name, order.size()).second) order.push_back(name);
  };
  if (setupData) {
    for (const Json& a : (*setupData)["attrs"]) {
      note(a[0].get<std::string>());
      displayNames.emplace(a[0].get<std::string>(), a[1].get<std::string>());
    }
  }
  std::vector<std::unordered_map<std::string, const Json*>> byName(machines.size());
  std::unordered_set<std::string> named;
  for (size_t i = 0; i < machines.size(); ++i) {
    for (const auto& [name, value] : machines[i].values) {
      byName[i].emplace(name, &value);
      named.insert(name);
      note(name);
    }
  }

  const size_t count = machines.size();
  std::vector<size_t> differing(count, 0);
  Json rows = Json::array();
  std::vector<std::string> keys(count);
  std::unordered_map<std::string, std::pair<size_t, size_t>> tally;  // value -> (machines, first)
  for (const std::string& name : order) {
    // A missing value's key is empty; any JSON text is not.
    bool same = true;
    for (size_t i = 0; i < count; ++i) {
      auto it = byName[i].find(name);
      keys[i] = it == byName[i].end() ? std::string() : it->second->dump(-1, ' ', false, Json::error_handler_t::replace);
      same = same && keys[i] == keys[0];
    }
    if (same) continue;
    tally.clear();
    size_t majority = 0, most = 0;
    for (size_t i = 0; i < count; ++i) {
      auto& [machinesHolding, first] = tally.try_emplace(keys[i], 0, i).first->second;
      if (++machinesHolding > most || (machinesHolding == most && first < majority)) {
        most = machinesHolding;
        majority = first;
      }
    }
    Json values = Json::array(), differs = Json::array(), missing = Json::array();
    for (size_t i = 0; i < count; ++i) {
      auto it = byName[i].find(name);
      if (it == byName[i].end()) {
        values.push_back(nullptr);
        missing.push_back(i);
      } else {
        values.push_back(it->second->is_null() || it->second->is_string() ? *it->second : Json(keys[i]));
      }
      if (keys[i] != keys[majority]) {
        differs.push_back(i);
        ++differing[i];
      }
    }
    std::string display, menuPath;
    if (auto it = displayNames.find(name); it != displayNames.end()) {
      display = it->second;
    } else if (!setupData) {
      for (const MachineDocument& m : machines) {
        auto d = m.described.find(name);
        if (d == m.described.end()) continue;
        display = d->second.first;
        menuPath = d->second.second;
        break;
      }
    }
    rows.push_back(Json::array({name, display, menuPath, majority, std::move(values), std::move(differs), std::move(missing)}));
  }
  Json list = Json::array();
  for (size_t i = 0; i < count; ++i) list.push_back(Json::array({machines[i].name, differing[i]}));
  Json data = Json::object();
  data["machines"] = std::move(list);
  data["rows"] = std::move(rows);
  data["attributes"] = named.size();
  return data;
}

}  // namespace kes::attrs
