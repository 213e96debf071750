// Setup questions as typed attributes: one Attribute per question the script export writes (and
// per password question), in walk order, with a name that is unique and stable on one firmware.
// The attributes come from the export's own walk over a SetupContext; nothing here parses HII.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/guid.h"
#include "hii/setup_context.h"
#include "hii/varstore_table.h"

namespace kes::attrs {

using Json = nlohmann::ordered_json;

enum class AttrType { Enumeration, Boolean, Integer, String, Password };

// How a value is spelled, beyond its JSON type.
enum class ValueForm {
  Plain,        // one-of (a choice's name), checkbox, numeric, string, password
  Date,         // "YYYY-MM-DD"
  Time,         // "HH:MM:SS"
  OrderedList,  // choice names joined by ","
  BootOrder,    // "Boot0001,Boot0000": every load option of BootOrder, in order
  LegacyOrder,  // one legacy device group: its 16-bit device entries as 4 hex digits, joined by ","
  Language,     // a language code of the control's list
};

struct Choice {
  std::string name;     // ValueName: unique within the attribute
  std::string display;  // ValueDisplayName
  uint64_t value = 0;   // the option's value (a boot option's number, a language's position)
};

struct Attribute {
  std::string name;          // AttributeName
  std::string displayName;   // the prompt
  std::string helpText;
  std::string menuPath;      // "./<form set title>/<form title>"
  size_t displayOrder = 0;   // 1-based, walk order
  AttrType type = AttrType::String;
  ValueForm form = ValueForm::Plain;
  Json current;              // null when it cannot be shown (a password, a value no choice has)
  Json biosDefault;          // null when the firmware has none
  Json mfgDefault;
  std::optional<int64_t> lowerBound, upperBound, scalarIncrement;   // Integer (signed display)
  std::optional<uint64_t> lowerBoundU, upperBoundU;                  // Integer (unsigned display)
  std::optional<uint64_t> minLength, maxLength;                       // String
  std::string valueExpression;                                        // Date, Time, lists
  std::vector<Choice> choices;
  bool readOnly = false, hidden = false, grayOut = false, resetRequired = false;
  bool sharesStorage = false;  // an earlier question uses the same variable bytes
  std::optional<uint64_t> currentRaw;  // a one-of, checkbox, numeric, date or time: its stored bytes

  // Where the value lives and how the import finds the question.
  std::wstring variableName;
  EfiGuid variableGuid;
  uint16_t offset = 0, width = 0, questionId = 0;
  uint16_t kind = 0;                   // the IFR opcode
  SpecialControlKind special = SpecialControlKind::None;
  uint32_t legacyType = 0;             // LegacyOrder: the group's BBS device type
  uint8_t numericDisplay = 0;          // Integer: kDisplay...
  std::string identity;                // the import's matching text (prompt or control name)
  // Why a set cannot reach this question (empty when it can): the import matches by prompt and
  // question id, and an earlier question with both the same would take the value.
  std::string unreachable;
};

// Names: ASCII letters and digits are kept, every run of other characters becomes one "_", and
// "_" at either end is dropped. A name that does not then start with a letter, or is shorter
// than two characters, gets "Q_" in front ("Q" plus the question id in hexadecimal when nothing
// is left). A name taken by an earlier attribute in walk order gets "_2", "_3", ... appended.
std::string MakeName(std::string_view text);

// What a walk visits.
struct AttributeSink {
  std::function<void(Attribute&)> attribute;
  std::function<bool()> stop;  // checked after each attribute
  // Off for a walk that only wants names and values: the attributes come without their texts
  // (display name, help text, menu path, identity), variable name, `sharesStorage` and
  // `unreachable` (the last two take a look-up over the questions so far).
  bool describe = true;
  bool defaults = true;  // off: biosDefault and mfgDefault stay null
};

// Walks the questions of `setup` (its evaluator decides Hidden and GrayOut; none: both false)
// and hands out every attribute in walk order. The walk evaluates suppress-if and gray-out-if
// conditions and marks what they hide instead of leaving it out, as an export with /sp /g /ce
// does, and shows the boot order and legacy order controls, as /b does.
void WalkAttributes(const SetupContext& setup, const AttributeSink& sink);

// The attribute's value (current or default) in JSON from the variable bytes of the question.
Json ValueFromBytes(const Attribute& attribute, const std::vector<uint8_t>& bytes);

// Why the integer `value` cannot be stored in the attribute: it lies outside the attribute's
// bounds (signed or unsigned, whichever the model gives), which the reason names. Empty when it
// lies within them, when the attribute has no bounds, or when `value` is no integer. set and the
// mount refuse such a value before anything is written, so that no value is ever cut to the
// question's width.
std::string BoundsRefusal(const Attribute& attribute, const Json& value);

}  // namespace kes::attrs
