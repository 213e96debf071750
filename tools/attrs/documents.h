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

#include "tools/attrs/attribute_model.h"

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

// The registry's envelope: RegistryEntries.Attributes is kStreamedArray.
Json NewRegistry();
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

// A document with one large array, written while its elements are made: the member of
// `envelope` whose value is kStreamedArray becomes the array. `produce` is called once and hands
// each element to the function it gets, in order; every element is written and dropped at once,
// so the document is never whole in memory.
inline constexpr const char* kStreamedArray = "\x01streamed array\x01";
using ElementSink = std::function<void(const Json&)>;
bool SerializeStreamed(const Json& envelope, const std::function<void(const ElementSink&)>& produce,
                       const TextSink& out);

// Name/value pairs in document order.
using AttributeValues = std::vector<std::pair<std::string, Json>>;

// Reads the "Attributes" object of a Bios document (or of a settings file, which needs nothing
// else) from JSON text. None, with `error` set, when the text is not JSON, is nested deeper than
// 64 levels, repeats a name in one object, has no "Attributes" object, or an attribute's value
// is not a string, number, boolean or null.
std::optional<AttributeValues> ReadAttributeValues(std::string_view text, std::string& error);

// The whole file (at most 256 MiB); none, with `error` set, when it cannot be read.
std::optional<std::string> ReadInputFile(const std::string& path, std::string& error);

}  // namespace kes::attrs
