// The JSON documents of kestrel-attrs: the attribute registry, the Bios resource, the set and
// diff reports, and the reader of the Bios documents (and settings files) users hand in.
#pragma once
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "companions/attrs/attribute_model.h"

namespace kes::attrs {

inline constexpr const char* kRegistryId = "KestrelSetup.1.0.0";

// The members of an object in order, to append to without the ordered object's linear search
// for the key (for names known to be new).
std::vector<Json::object_t::value_type>& Members(Json& object);

// Makes the entries of RegistryEntries.Attributes one after another; the attribute's texts and
// values move into the entry, which is valid until the next call. An entry with the same members
// as an earlier one is written over that one's objects instead of allocating its own.
class RegistryEntries {
 public:
  const Json& Make(Attribute&& attribute);

 private:
  std::unordered_map<uint64_t, Json> shapes_;
  Json scratch_;
};

// The registry's envelope: RegistryEntries.Attributes, .Menus and .Dependencies are the streamed
// arrays kStreamedArrays[0], [1] and [2].
Json NewRegistry();
// The entry of RegistryEntries.Menus for a menu.
Json MenuEntry(const Menu& menu);
// A Bios resource without attributes (Attributes is an empty object).
Json NewBios(const char* name);

// Where document text goes, piece by piece; false when a write failed.
using TextSink = std::function<bool(std::string_view)>;
TextSink FileSink(std::FILE* file);
TextSink ConsoleSink();  // standard output, through the console layer

// Writes `document` (indented by 2, UTF-8, a line feed at the end) in pieces, without building
// its text in memory. False when a write failed.
bool SerializeDocument(const Json& document, const TextSink& out);
bool WriteDocument(const Json& document, std::FILE* file);
void PrintDocument(const Json& document);

// A document with large arrays, written while their elements are made: the members of
// `envelope` whose values are kStreamedArrays[i] become arrays, in document order, and
// produce[i] makes the elements of the i-th. Each producer is called once, in that order, and
// hands each element to the function it gets; every element is written and dropped at once, so
// the document is never whole in memory.
inline constexpr const char* kStreamedArrays[] = {"\x01streamed array\x01", "\x01streamed array 2\x01",
                                                  "\x01streamed array 3\x01"};
inline constexpr const char* kStreamedArray = kStreamedArrays[0];
using ElementSink = std::function<void(const Json&)>;
using ArrayProducer = std::function<void(const ElementSink&)>;
bool SerializeStreamed(const Json& envelope, const std::vector<ArrayProducer>& produce, const TextSink& out);

// Name/value pairs in document order.
using AttributeValues = std::vector<std::pair<std::string, Json>>;

// Reads the "Attributes" object of a Bios document (or of a settings file, which needs nothing
// else) from JSON text. None, with `error` set, when the text is not JSON, is nested deeper than
// 64 levels, repeats a name in one object, has no "Attributes" object, or an attribute's value
// is not a string, number, boolean or null.
std::optional<AttributeValues> ReadAttributeValues(std::string_view text, std::string& error);

// Why a guarded parse failed: not JSON (`detail` is the parser's message), nested deeper than
// allowed, or a name repeated in one object (`detail` is the name: which of two values a reader
// would keep is nobody's guess).
struct JsonRefusal {
  enum class Kind { NotJson, TooDeep, Repeated } kind = Kind::NotJson;
  std::string detail;
};

// Parses `text` with nesting bounded by `maxDepth` and repeated names refused. `onKey`, when
// given, sees each object key with its depth as the parser meets it (the order of the keys).
std::optional<Json> ParseGuardedJson(std::string_view text, int maxDepth, JsonRefusal& refusal,
                                     const std::function<void(int depth, const std::string& key)>& onKey = {});

// The whole file (at most 256 MiB); none, with `error` set, when it cannot be read.
std::optional<std::string> ReadInputFile(const std::string& path, std::string& error);

}  // namespace kes::attrs
