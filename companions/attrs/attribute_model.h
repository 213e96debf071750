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
class ConditionBook;

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

// A condition that applies to a question: a SUPPRESS_IF, GRAY_OUT_IF or DISABLE_IF whose scope
// encloses it, or encloses the REF that leads to its form (or to an ancestor of its form).
struct AttributeCondition {
  size_t opcode = 0;        // offset of the condition opcode in the image
  uint8_t code = 0;         // that opcode (in the older layout SUPPRESS_IF or GRAYOUT_IF)
  size_t list = 0;          // offset of the package list holding it
  uint16_t page = 0;        // the evaluator's page holding it
  uint16_t questionId = 0;  // the question it is evaluated for (the attribute's, or the REF's)
  bool evaluable = false;   // the evaluator knows its page (never in the older layout)
  bool holds = false;       // on the values read
};

// What the conditions of a question make of it: a suppress-if or disable-if hides it, a
// gray-out-if grays it out, a disable-if makes it read-only.
struct ConditionFlags {
  bool hidden = false, grayOut = false, disabled = false;
};
ConditionFlags FlagsOf(const std::vector<AttributeCondition>& conditions);

struct Attribute {
  std::string name;          // AttributeName
  std::string displayName;   // the prompt
  std::string helpText;
  std::string menuPath;      // the MenuPath of its form's menu
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
  // ReadOnly: the question's read-only flag, a gray-out-if or a disable-if.
  bool readOnly = false, hidden = false, grayOut = false, resetRequired = false;
  bool readOnlyFlag = false;   // the question's own read-only flag
  std::vector<AttributeCondition> conditions;  // those of its form's menu first, then its own
  Json unmappedConditions;     // the registry's Oem.Kestrel.UnmappedConditions (null: none)
  bool sharesStorage = false;  // an earlier question uses the same variable bytes
  std::optional<uint64_t> currentRaw;  // a one-of, checkbox, numeric, date or time: its stored bytes

  // Where the value lives and how the import finds the question.
  std::wstring variableName;
  EfiGuid variableGuid;
  uint16_t offset = 0, width = 0, questionId = 0;
  size_t opcode = 0;                   // offset of the question's opcode in the image
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

// A form the walk reaches, as a menu of the registry. Menus nest as the forms do: a form is under
// the form holding the first REF to it (the first form of a form set is always at the top).
struct Menu {
  std::string name;           // MenuName: its title made a name, unique among the menus
  std::string displayName;    // the form's title
  std::string path;           // MenuPath: "./<name>" at the top, else the parent's path, "/", the name
  size_t displayOrder = 0;    // 1-based, walk order
  int parent = -1;            // the parent menu's position; -1 at the top
  size_t reference = 0;       // offset of the REF in the parent's form that leads here; 0 at the top
  std::string formSetTitle;
  EfiGuid formSetGuid;
  uint16_t formId = 0;
  std::vector<AttributeCondition> conditions;  // around the REFs that lead to it, outermost first
  bool hidden = false, grayOut = false, readOnly = false;
};

// What a walk visits.
struct AttributeSink {
  std::function<void(Attribute&)> attribute;
  std::function<bool()> stop;  // checked after each attribute
  // The menus, once, before the first attribute.
  std::function<void(const std::vector<Menu>&)> menus;
  // Where conditions are evaluated (and their terms kept); none: the walk keeps its own.
  ConditionBook* conditions = nullptr;
  // Off for a walk that only wants names and values: the attributes come without their texts
  // (display name, help text, menu path, identity), variable name, `sharesStorage` and
  // `unreachable` (the last two take a look-up over the questions so far).
  bool describe = true;
  bool defaults = true;  // off: biosDefault and mfgDefault stay null
};

// Walks the questions of `setup` and hands out every attribute in walk order, as an export with
// /sp /g /ce would list them (hidden and grayed-out questions included and marked), with the boot
// order and legacy order controls, as /b does. Each condition around a question (or around the
// REF to its form) is evaluated once by `setup`'s evaluator; without one nothing holds.
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
