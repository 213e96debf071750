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

// Indented by 2; text that is not valid UTF-8 (none should reach a document) is replaced, never
// a reason to stop half-way.
bool Serialize(const Json& document, const std::function<bool(std::string_view)>& out) {
  ChunkBuffer buffer(out);
  {
    std::ostream stream(&buffer);
    nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(stream), ' ',
                                                  Json::error_handler_t::replace);
    serializer.dump(document, true, false, 2);
    stream << '\n';
    stream.flush();
  }
  buffer.pubsync();
  return buffer.ok();
}

}  // namespace

Json RegistryEntry(const Attribute& a) {
  Json e;
  e["AttributeName"] = a.name;
  e["DisplayName"] = a.displayName;
  e["HelpText"] = a.helpText;
  e["Type"] = TypeName(a.type);
  if (!a.choices.empty()) {
    Json values = Json::array();
    for (const Choice& c : a.choices) values.push_back(Json{{"ValueName", c.name}, {"ValueDisplayName", c.display}});
    e["Value"] = std::move(values);
  }
  if (a.lowerBound) e["LowerBound"] = *a.lowerBound;
  if (a.lowerBoundU) e["LowerBound"] = *a.lowerBoundU;
  if (a.upperBound) e["UpperBound"] = *a.upperBound;
  if (a.upperBoundU) e["UpperBound"] = *a.upperBoundU;
  if (a.scalarIncrement) e["ScalarIncrement"] = *a.scalarIncrement;
  if (a.minLength) e["MinLength"] = *a.minLength;
  if (a.maxLength) e["MaxLength"] = *a.maxLength;
  if (!a.valueExpression.empty()) e["ValueExpression"] = a.valueExpression;
  e["CurrentValue"] = a.current;
  e["DefaultValue"] = a.biosDefault;
  e["ReadOnly"] = a.readOnly;
  e["Hidden"] = a.hidden;
  e["GrayOut"] = a.grayOut;
  e["ResetRequired"] = a.resetRequired;
  e["MenuPath"] = a.menuPath;
  e["DisplayOrder"] = a.displayOrder;
  Json oem;
  oem["VariableName"] = EncodeText(a.variableName);
  oem["VariableGuid"] = FormatGuidText(a.variableGuid);
  oem["Offset"] = a.offset;
  oem["Width"] = a.width;
  oem["QuestionId"] = a.questionId;
  oem["QuestionKind"] = KindName(a);
  oem["MfgDefaultValue"] = a.mfgDefault;
  if (a.form == ValueForm::LegacyOrder) oem["BbsDeviceType"] = a.legacyType;
  oem["SharesStorage"] = a.sharesStorage;
  oem["Settable"] = a.unreachable.empty() && !a.readOnly;
  e["Oem"] = Json{{"Kestrel", std::move(oem)}};
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
  r["RegistryEntries"] = Json{{"Attributes", Json::array()}};
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

bool WriteDocument(const Json& document, std::FILE* file) {
  bool ok = Serialize(document, [file](std::string_view piece) { return FileWriteNarrow(file, piece); });
  return ok && std::fflush(file) == 0;
}

void PrintDocument(const Json& document) {
  Serialize(document, [](std::string_view piece) {
    WriteNarrow(Stream::Out, piece);
    return true;
  });
}

std::optional<AttributeValues> ReadAttributeValues(std::string_view text, std::string& error) {
  constexpr int kMaxDepth = 64;
  // Repeated names are refused: which of two values a reader keeps is nobody's guess.
  std::vector<std::set<std::string>> keys;
  std::string repeated;
  bool tooDeep = false;
  auto callback = [&](int depth, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        keys.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!keys.empty()) keys.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!keys.empty() && !keys.back().insert(parsed.get<std::string>()).second && repeated.empty())
          repeated = parsed.get<std::string>();
        break;
      default:
        break;
    }
    if (depth > kMaxDepth) tooDeep = true;
    return !tooDeep && repeated.empty();
  };
  Json document;
  try {
    document = Json::parse(text.begin(), text.end(), callback);
  } catch (const Json::exception& e) {
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
  if (!document.is_object() || !document.contains("Attributes") || !document["Attributes"].is_object()) {
    error = "the document has no \"Attributes\" object";
    return std::nullopt;
  }
  AttributeValues out;
  for (auto& [name, value] : document["Attributes"].items()) {
    if (value.is_object() || value.is_array()) {
      error = "the value of \"" + name + "\" is not a string, number, boolean or null";
      return std::nullopt;
    }
    out.emplace_back(name, std::move(value));
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
