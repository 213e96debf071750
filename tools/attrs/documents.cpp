#include "tools/attrs/documents.h"

#include <array>
#include <cstring>
#include <ostream>
#include <set>
#include <streambuf>

#include "base/console.h"
#include "base/guid.h"
#include "base/text.h"
#include "hii/hii_format.h"

namespace kes::attrs {

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

// Appends a member the object does not hold yet (without the ordered object's linear search).
template <typename T>
void Put(Json& object, const char* name, T&& value) {
  auto& members = static_cast<std::vector<Json::object_t::value_type>&>(object.get_ref<Json::object_t&>());
  members.emplace_back(name, Json(std::forward<T>(value)));
}

// Hands the serializer's output on in 64 KiB pieces.
class ChunkBuffer : public std::streambuf {
 public:
  explicit ChunkBuffer(std::function<bool(std::string_view)> out) : out_(std::move(out)) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  ~ChunkBuffer() override { sync(); }
  bool ok() const { return ok_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    size_t n = static_cast<size_t>(pptr() - pbase());
    if (n > 0 && ok_) ok_ = out_(std::string_view(pbase(), n));
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return ok_;
  }
  std::function<bool(std::string_view)> out_;
  std::array<char, 65536> buffer_{};
  bool ok_ = true;
};

}  // namespace

Json RegistryEntry(Attribute&& a) {
  Json e = Json::object();
  Put(e, "AttributeName", std::move(a.name));
  Put(e, "DisplayName", std::move(a.displayName));
  Put(e, "HelpText", std::move(a.helpText));
  Put(e, "Type", TypeName(a.type));
  if (!a.choices.empty()) {
    Json values = Json::array();
    for (Choice& c : a.choices) {
      Json value = Json::object();
      Put(value, "ValueName", std::move(c.name));
      Put(value, "ValueDisplayName", std::move(c.display));
      values.push_back(std::move(value));
    }
    Put(e, "Value", std::move(values));
  }
  if (a.lowerBound) Put(e, "LowerBound", *a.lowerBound);
  if (a.lowerBoundU) Put(e, "LowerBound", *a.lowerBoundU);
  if (a.upperBound) Put(e, "UpperBound", *a.upperBound);
  if (a.upperBoundU) Put(e, "UpperBound", *a.upperBoundU);
  if (a.scalarIncrement) Put(e, "ScalarIncrement", *a.scalarIncrement);
  if (a.minLength) Put(e, "MinLength", *a.minLength);
  if (a.maxLength) Put(e, "MaxLength", *a.maxLength);
  if (!a.valueExpression.empty()) Put(e, "ValueExpression", std::move(a.valueExpression));
  Put(e, "CurrentValue", std::move(a.current));
  Put(e, "DefaultValue", std::move(a.biosDefault));
  Put(e, "ReadOnly", a.readOnly);
  Put(e, "Hidden", a.hidden);
  Put(e, "GrayOut", a.grayOut);
  Put(e, "ResetRequired", a.resetRequired);
  Put(e, "MenuPath", std::move(a.menuPath));
  Put(e, "DisplayOrder", a.displayOrder);
  Json oem = Json::object();
  Put(oem, "VariableName", EncodeText(a.variableName));
  Put(oem, "VariableGuid", FormatGuidText(a.variableGuid));
  Put(oem, "Offset", a.offset);
  Put(oem, "Width", a.width);
  Put(oem, "QuestionId", a.questionId);
  Put(oem, "QuestionKind", KindName(a));
  Put(oem, "MfgDefaultValue", std::move(a.mfgDefault));
  if (a.form == ValueForm::LegacyOrder) Put(oem, "BbsDeviceType", a.legacyType);
  Put(oem, "SharesStorage", a.sharesStorage);
  Put(oem, "Settable", a.unreachable.empty() && !a.readOnly);
  Json kestrel = Json::object();
  Put(kestrel, "Kestrel", std::move(oem));
  Put(e, "Oem", std::move(kestrel));
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
  r["RegistryEntries"] = Json{{"Attributes", kStreamedArray}};
  return r;
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

namespace {

// Indented by 2 from `indent`; text that is not valid UTF-8 (none should reach a document) is
// replaced, never a reason to stop half-way.
void Dump(std::ostream& stream, const Json& value, unsigned indent) {
  nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(stream), ' ',
                                                Json::error_handler_t::replace);
  serializer.dump(value, true, false, 2, indent);
}

}  // namespace

bool SerializeDocument(const Json& document, const TextSink& out) {
  ChunkBuffer buffer(out);
  {
    std::ostream stream(&buffer);
    Dump(stream, document, 0);
    stream << '\n';
    stream.flush();
  }
  buffer.pubsync();
  return buffer.ok();
}

bool SerializeStreamed(const Json& envelope, const std::function<void(const ElementSink&)>& produce,
                       const TextSink& out) {
  // The envelope's own text, split where the marker stands.
  std::string frame;
  if (!SerializeDocument(envelope, [&](std::string_view piece) {
        frame.append(piece);
        return true;
      }))
    return false;
  std::string marker = Json(kStreamedArray).dump(-1, ' ', false, Json::error_handler_t::replace);
  size_t at = frame.find(marker);
  if (at == std::string::npos) return false;
  size_t lineStart = frame.rfind('\n', at) + 1;
  unsigned indent = static_cast<unsigned>(frame.find_first_not_of(' ', lineStart) - lineStart);
  // Elements are serialized into one buffer, handed on whenever it holds 64 KiB.
  constexpr size_t kPiece = 65536;
  std::string text(frame, 0, at);
  text += '[';
  text.reserve(2 * kPiece);
  bool ok = true;
  size_t count = 0;
  std::string pad(indent + 2, ' ');
  nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(text), ' ',
                                                Json::error_handler_t::replace);
  produce([&](const Json& element) {
    text += count++ == 0 ? "\n" : ",\n";
    text += pad;
    serializer.dump(element, true, false, 2, indent + 2);
    if (text.size() >= kPiece) {
      ok = ok && out(text);
      text.clear();
    }
  });
  if (count > 0) text += '\n' + std::string(indent, ' ');
  text += ']';
  text.append(frame, at + marker.size());
  return out(text) && ok;
}

bool WriteDocument(const Json& document, std::FILE* file) {
  return SerializeDocument(document, FileSink(file)) && std::fflush(file) == 0;
}

void PrintDocument(const Json& document) { SerializeDocument(document, ConsoleSink()); }

std::optional<AttributeValues> ReadAttributeValues(std::string_view text, std::string& error) {
  constexpr int kMaxDepth = 64;
  // Parsed into sorted objects (an ordered object looks every key up linearly); the order of the
  // attributes is taken from the parse itself. Repeated names are refused: which of two values a
  // reader keeps is nobody's guess.
  std::vector<std::set<std::string>> keys;
  std::vector<std::string> order;   // the keys of the top-level "Attributes" object, in order
  std::string topKey, repeated;
  bool tooDeep = false;
  auto callback = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    if (event == Event::object_start) {
      keys.emplace_back();
    } else if (event == Event::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == Event::key) {
      const std::string& key = parsed.get_ref<const std::string&>();
      if (!keys.empty() && !keys.back().insert(key).second && repeated.empty()) repeated = key;
      if (depth == 1) topKey = key;
      if (depth == 2 && keys.size() == 2 && topKey == "Attributes") order.push_back(key);
    }
    if (depth > kMaxDepth) tooDeep = true;
    return !tooDeep && repeated.empty();
  };
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.begin(), text.end(), callback);
  } catch (const nlohmann::json::exception& e) {
    if (!tooDeep && repeated.empty()) {
      error = std::string("not valid JSON: ") + e.what();
      return std::nullopt;
    }
  }
  if (tooDeep) {
    error = "the document is nested deeper than 64 levels";
    return std::nullopt;
  }
  if (!repeated.empty()) {
    error = "the name \"" + repeated + "\" appears twice in one object";
    return std::nullopt;
  }
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
