#include "companions/attrs/documents.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <type_traits>
#include <set>

#include "base/console.h"
#include "base/guid.h"
#include "base/text.h"
#include "hii/hii_format.h"

namespace kes::attrs {

std::vector<Json::object_t::value_type>& Members(Json& object) {
  return static_cast<std::vector<Json::object_t::value_type>&>(object.get_ref<Json::object_t&>());
}

namespace {

const char* TypeName(AttrType type) {
  switch (type) {
    case AttrType::Enumeration: return "Enumeration";
    case AttrType::Boolean: return "Boolean";
    case AttrType::Integer: return "Integer";
    case AttrType::Password: return "Password";
    default: return "String";
  }
}

const char* KindName(const Attribute& a) {
  switch (a.special) {
    case SpecialControlKind::Language: return "Language";
    case SpecialControlKind::PlatformLanguage: return "PlatformLanguage";
    case SpecialControlKind::BootOrder: return "BootOrder";
    case SpecialControlKind::LegacyOrder: return "LegacyDeviceOrder";
    default: break;
  }
  switch (a.kind) {
    case hii::IFR_ONE_OF: return "OneOf";
    case hii::IFR_CHECKBOX: return "CheckBox";
    case hii::IFR_NUMERIC: return "Numeric";
    case hii::IFR_STRING: return "String";
    case hii::IFR_PASSWORD: return "Password";
    case hii::IFR_DATE: return "Date";
    case hii::IFR_TIME: return "Time";
    case hii::IFR_ORDERED_LIST: return "OrderedList";
    default: return "Other";
  }
}

// The serializer's output, gathered in a 64 KiB buffer and handed on whenever it fills. Nothing
// is handed on after a write failed.
class ChunkOutput : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  explicit ChunkOutput(const TextSink& out) : out_(out) {}

  void write_character(char c) override {
    if (used_ == buffer_.size()) Drain();
    buffer_[used_++] = c;
  }
  void write_characters(const char* s, std::size_t length) override {
    while (length > 0) {
      if (used_ == buffer_.size()) Drain();
      size_t n = std::min(length, buffer_.size() - used_);
      std::memcpy(buffer_.data() + used_, s, n);
      used_ += n;
      s += n;
      length -= n;
    }
  }
  void Write(std::string_view text) { write_characters(text.data(), text.size()); }
  // Hands on what is left; false when any write failed.
  bool Finish() {
    Drain();
    return ok_;
  }

 private:
  void Drain() {
    if (used_ > 0 && ok_) ok_ = out_(std::string_view(buffer_.data(), used_));
    used_ = 0;
  }
  const TextSink& out_;
  std::array<char, 65536> buffer_;
  size_t used_ = 0;
  bool ok_ = true;
};

// Indented by 2 from `indent`; text that is not valid UTF-8 (none should reach a document) is
// replaced, never a reason to stop half-way.
class Serializer {
 public:
  explicit Serializer(const std::shared_ptr<ChunkOutput>& output)
      : serializer_(output, ' ', Json::error_handler_t::replace) {}
  void Dump(const Json& value, unsigned indent) { serializer_.dump(value, true, false, 2, indent); }

 private:
  nlohmann::detail::serializer<Json> serializer_;
};

}  // namespace

namespace {

// Writes an object's members in order: appended to a new object, or assigned in place over the
// members an earlier object of the same shape left, whose storage is reused.
class MemberWriter {
 public:
  MemberWriter(Json& object, bool fresh, size_t count) : members_(Members(object)), fresh_(fresh) {
    if (fresh_) members_.reserve(count);
  }

  template <typename T>
  void Put(const char* name, T&& value) {
    if (fresh_) {
      members_.emplace_back(name, Json(std::forward<T>(value)));
      return;
    }
    Json& slot = members_[next_++].second;
    if constexpr (std::is_same_v<std::decay_t<T>, std::string> || std::is_same_v<std::decay_t<T>, const char*>) {
      if (slot.is_string()) {
        slot.get_ref<std::string&>() = std::forward<T>(value);
        return;
      }
    }
    slot = std::forward<T>(value);
  }
  // A member holding an object or array, filled by the caller: `initial` for a new object.
  Json& Nested(const char* name, Json initial) {
    if (fresh_) return members_.emplace_back(name, std::move(initial)).second;
    return members_[next_++].second;
  }

 private:
  std::vector<Json::object_t::value_type>& members_;
  bool fresh_;
  size_t next_ = 0;
};

// The members an entry has: which optional ones, and how many choices.
uint64_t EntryShape(const Attribute& a) {
  uint64_t bits = (a.lowerBound ? 1 : 0) | (a.lowerBoundU ? 2 : 0) | (a.upperBound ? 4 : 0) | (a.upperBoundU ? 8 : 0) |
                  (a.scalarIncrement ? 16 : 0) | (a.minLength ? 32 : 0) | (a.maxLength ? 64 : 0) |
                  (a.valueExpression.empty() ? 0 : 128) | (a.form == ValueForm::LegacyOrder ? 256 : 0) |
                  (a.unmappedConditions.is_null() ? 0 : 512);
  return bits | (static_cast<uint64_t>(a.choices.size()) << 16) | (a.choices.empty() ? 0 : uint64_t{1} << 15);
}

void FillEntry(Json& e, Attribute&& a, bool fresh) {
  MemberWriter w(e, fresh, 24);
  w.Put("AttributeName", std::move(a.name));
  w.Put("DisplayName", std::move(a.displayName));
  w.Put("HelpText", std::move(a.helpText));
  w.Put("Type", TypeName(a.type));
  if (!a.choices.empty()) {
    Json& values = w.Nested("Value", Json::array());
    auto& elements = values.get_ref<Json::array_t&>();
    if (fresh) elements.reserve(a.choices.size());
    for (size_t i = 0; i < a.choices.size(); ++i) {
      if (fresh) elements.push_back(Json::object());
      MemberWriter v(elements[i], fresh, 2);
      v.Put("ValueName", std::move(a.choices[i].name));
      v.Put("ValueDisplayName", std::move(a.choices[i].display));
    }
  }
  if (a.lowerBound) w.Put("LowerBound", *a.lowerBound);
  if (a.lowerBoundU) w.Put("LowerBound", *a.lowerBoundU);
  if (a.upperBound) w.Put("UpperBound", *a.upperBound);
  if (a.upperBoundU) w.Put("UpperBound", *a.upperBoundU);
  if (a.scalarIncrement) w.Put("ScalarIncrement", *a.scalarIncrement);
  if (a.minLength) w.Put("MinLength", *a.minLength);
  if (a.maxLength) w.Put("MaxLength", *a.maxLength);
  if (!a.valueExpression.empty()) w.Put("ValueExpression", std::move(a.valueExpression));
  w.Put("CurrentValue", std::move(a.current));
  w.Put("DefaultValue", std::move(a.biosDefault));
  w.Put("ReadOnly", a.readOnly);
  w.Put("Hidden", a.hidden);
  w.Put("GrayOut", a.grayOut);
  w.Put("ResetRequired", a.resetRequired);
  w.Put("MenuPath", std::move(a.menuPath));
  w.Put("DisplayOrder", a.displayOrder);
  Json& kestrel = w.Nested("Oem", Json::object());
  MemberWriter k(kestrel, fresh, 1);
  MemberWriter o(k.Nested("Kestrel", Json::object()), fresh, 10);
  o.Put("VariableName", EncodeText(a.variableName));
  o.Put("VariableGuid", FormatGuidText(a.variableGuid));
  o.Put("Offset", a.offset);
  o.Put("Width", a.width);
  o.Put("QuestionId", a.questionId);
  o.Put("QuestionKind", KindName(a));
  o.Put("MfgDefaultValue", std::move(a.mfgDefault));
  if (a.form == ValueForm::LegacyOrder) o.Put("BbsDeviceType", a.legacyType);
  o.Put("SharesStorage", a.sharesStorage);
  o.Put("Settable", a.unreachable.empty() && !a.readOnly);
  if (!a.unmappedConditions.is_null()) o.Put("UnmappedConditions", std::move(a.unmappedConditions));
}

}  // namespace

const Json& RegistryEntries::Make(Attribute&& a) {
  // Few shapes recur through a whole firmware; past kShapes, entries are made afresh.
  constexpr size_t kShapes = 64;
  uint64_t shape = EntryShape(a);
  auto it = shapes_.find(shape);
  if (it != shapes_.end()) {
    FillEntry(it->second, std::move(a), false);
    return it->second;
  }
  Json& e = shapes_.size() < kShapes ? shapes_[shape] : scratch_;
  e = Json::object();
  FillEntry(e, std::move(a), true);
  return e;
}

Json NewRegistry() {
  Json r;
  r["@odata.type"] = "#AttributeRegistry.v1_4_0.AttributeRegistry";
  r["Id"] = kRegistryId;
  r["Name"] = "Kestrel Setup Attribute Registry";
  r["Description"] = "The Setup questions of this firmware as typed attributes";
  r["Language"] = "en";
  r["OwningEntity"] = "Kestrel";
  r["RegistryVersion"] = "1.0.0";
  Json& entries = r["RegistryEntries"];
  entries["Attributes"] = kStreamedArrays[0];
  entries["Menus"] = kStreamedArrays[1];
  entries["Dependencies"] = kStreamedArrays[2];
  return r;
}

Json MenuEntry(const Menu& m) {
  Json e = Json::object();
  e["MenuName"] = m.name;
  e["DisplayName"] = m.displayName;
  e["DisplayOrder"] = m.displayOrder;
  e["MenuPath"] = m.path;
  e["ReadOnly"] = m.readOnly;
  e["Hidden"] = m.hidden;
  e["GrayOut"] = m.grayOut;
  Json& k = e["Oem"]["Kestrel"];
  k["FormSetTitle"] = m.formSetTitle;
  k["FormSetGuid"] = FormatGuidText(m.formSetGuid);
  k["FormId"] = m.formId;
  return e;
}

Json NewBios(const char* name) {
  Json b;
  b["@odata.id"] = "/redfish/v1/Systems/1/Bios";
  b["@odata.type"] = "#Bios.v1_2_3.Bios";
  b["Id"] = "Bios";
  b["Name"] = name;
  b["AttributeRegistry"] = kRegistryId;
  b["Attributes"] = Json::object();
  return b;
}

TextSink FileSink(std::FILE* file) {
  return [file](std::string_view piece) { return FileWriteNarrow(file, piece); };
}

TextSink ConsoleSink() {
  return [](std::string_view piece) {
    WriteNarrow(Stream::Out, piece);
    return true;
  };
}

bool SerializeDocument(const Json& document, const TextSink& out) {
  auto output = std::make_shared<ChunkOutput>(out);
  Serializer(output).Dump(document, 0);
  output->write_character('\n');
  return output->Finish();
}

bool SerializeStreamed(const Json& envelope, const std::vector<ArrayProducer>& produce, const TextSink& out) {
  // The envelope's own text, split where the markers stand.
  std::string frame;
  if (!SerializeDocument(envelope, [&](std::string_view piece) {
        frame.append(piece);
        return true;
      }))
    return false;
  auto output = std::make_shared<ChunkOutput>(out);
  Serializer serializer(output);
  size_t written = 0;  // of the frame
  for (size_t i = 0; i < produce.size() && i < std::size(kStreamedArrays); ++i) {
    std::string marker = Json(kStreamedArrays[i]).dump(-1, ' ', false, Json::error_handler_t::replace);
    size_t at = frame.find(marker, written);
    if (at == std::string::npos) return false;
    size_t lineStart = frame.rfind('\n', at) + 1;
    unsigned indent = static_cast<unsigned>(frame.find_first_not_of(' ', lineStart) - lineStart);
    output->Write(std::string_view(frame).substr(written, at - written));
    output->write_character('[');
    size_t count = 0;
    std::string pad(indent + 2, ' ');
    produce[i]([&](const Json& element) {
      output->Write(count++ == 0 ? "\n" : ",\n");
      output->Write(pad);
      serializer.Dump(element, indent + 2);
    });
    if (count > 0) {
      output->write_character('\n');
      output->Write(std::string(indent, ' '));
    }
    output->write_character(']');
    written = at + marker.size();
  }
  output->Write(std::string_view(frame).substr(written));
  return output->Finish();
}

bool WriteDocument(const Json& document, std::FILE* file) {
  return SerializeDocument(document, FileSink(file)) && std::fflush(file) == 0;
}

void PrintDocument(const Json& document) { SerializeDocument(document, ConsoleSink()); }

std::optional<Json> ParseGuardedJson(std::string_view text, int maxDepth, JsonRefusal& refusal,
                                     const std::function<void(int depth, const std::string& key)>& onKey) {
  std::vector<std::set<std::string>> keys;
  std::optional<std::string> repeated;  // the first name seen twice in one object ("" included)
  bool tooDeep = false;
  auto callback = [&](int depth, nlohmann::json::parse_event_t event, Json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    if (event == Event::object_start) {
      keys.emplace_back();
    } else if (event == Event::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == Event::key) {
      const std::string& key = parsed.get_ref<const std::string&>();
      if (!keys.empty() && !keys.back().insert(key).second && !repeated) repeated = key;
      if (onKey && !repeated) onKey(depth, key);
    }
    if (depth > maxDepth) tooDeep = true;
    return !tooDeep && !repeated;
  };
  Json document;
  try {
    document = Json::parse(text.begin(), text.end(), callback);
  } catch (const nlohmann::json::exception& e) {
    if (!tooDeep && !repeated) {
      refusal = {JsonRefusal::Kind::NotJson, e.what()};
      return std::nullopt;
    }
  }
  if (tooDeep) {
    refusal = {JsonRefusal::Kind::TooDeep, ""};
    return std::nullopt;
  }
  if (repeated) {
    refusal = {JsonRefusal::Kind::Repeated, *repeated};
    return std::nullopt;
  }
  return document;
}

std::optional<AttributeValues> ReadAttributeValues(std::string_view text, std::string& error) {
  constexpr int kMaxDepth = 64;
  // Parsed into sorted objects (an ordered object looks every key up linearly); the order of the
  // attributes is taken from the parse itself.
  std::vector<std::string> order;  // the keys of the top-level "Attributes" object, in order
  std::string topKey;
  JsonRefusal refusal;
  auto parsed = ParseGuardedJson(text, kMaxDepth, refusal, [&](int depth, const std::string& key) {
    if (depth == 1) topKey = key;
    if (depth == 2 && topKey == "Attributes") order.push_back(key);
  });
  if (!parsed) {
    if (refusal.kind == JsonRefusal::Kind::NotJson) error = "not valid JSON: " + refusal.detail;
    else if (refusal.kind == JsonRefusal::Kind::TooDeep) error = "the document is nested deeper than 64 levels";
    else error = "the name \"" + refusal.detail + "\" appears twice in one object";
    return std::nullopt;
  }
  Json& document = *parsed;
  auto attributes = document.is_object() ? document.find("Attributes") : document.end();
  if (!document.is_object() || attributes == document.end() || !attributes->is_object()) {
    error = "the document has no \"Attributes\" object";
    return std::nullopt;
  }
  AttributeValues out;
  out.reserve(order.size());
  for (const std::string& name : order) {
    auto value = attributes->find(name);
    if (value == attributes->end()) continue;
    if (value->is_object() || value->is_array()) {
      error = "the value of \"" + name + "\" is not a string, number, boolean or null";
      return std::nullopt;
    }
    out.emplace_back(name, Json(std::move(*value)));
  }
  return out;
}

std::optional<std::string> ReadInputFile(const std::string& path, std::string& error) {
  constexpr size_t kMaxBytes = size_t{256} << 20;
  std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  std::array<char, 65536> chunk;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
    if (text.size() + n > kMaxBytes) {
      error = path + " is larger than 256 MiB";
      break;
    }
    text.append(chunk.data(), n);
  }
  bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (!error.empty()) return std::nullopt;
  if (failed) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  return text;
}

}  // namespace kes::attrs
