// The registry's Dependencies: each condition of an attribute written as a Redfish "Map"
// dependency where it can be (comparisons of another attribute's CurrentValue with a constant,
// joined left to right by AND and OR), and listed with the reason under the attribute's
// Oem.Kestrel.UnmappedConditions where it cannot.
//
// A suppress-if maps to Hidden, a gray-out-if to GrayOut and ReadOnly, a disable-if to Hidden and
// ReadOnly (ReadOnly is left out for a question whose own read-only flag is set: it is read-only
// whatever its conditions say). A client evaluates them as follows: a property that dependencies
// of an attribute map to is true when one of them evaluates true, false when none does; the
// MapFrom terms of a dependency are evaluated in order, each joined to the result so far by its
// MapTerms.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "hii/condition_terms.h"
#include "companions/attrs/attribute_model.h"
#include "companions/attrs/conditions.h"
#include "companions/attrs/documents.h"

namespace kes::attrs {

class DependencyWriter {
 public:
  // `evaluated`: the conditions are evaluated (false for the older layout, whose conditions are
  // not).
  DependencyWriter(ConditionBook& book, bool evaluated) : book_(book), evaluated_(evaluated) {}

  // Takes the attributes in walk order and hands each on to `ready`, in the same order, with its
  // unmapped conditions filled in, as soon as every question its conditions read has been walked
  // (a condition may read a question further on in its package list).
  using Ready = std::function<void(Attribute&&)>;
  void Add(Attribute&& attribute, const Ready& ready);
  // Hands on what is still held; call once after the walk.
  void Finish(const Ready& ready);

  // The Dependencies array, in attribute order (after Finish).
  void Write(const ElementSink& element);

 private:
  // What a condition reads, as far as the registry can say it.
  struct Controller {
    size_t opcode = 0;  // the question's
    std::string name;
    enum Kind : uint8_t { Choices, Boolean, Unsigned, Signed, Other } kind = Other;
    uint16_t width = 0;
    std::vector<std::pair<uint64_t, std::string>> values;  // Choices: each distinct value and its ValueName
    const char* typeName = "";                              // Other: what it is
  };
  // The controllers in walk order, which is the order of their opcodes in the image.
  class Controllers {
   public:
    void Add(Controller c);
    const Controller* Find(size_t opcode) const;

   private:
    std::vector<Controller> all_;
  };
  // A condition written in Map terms: one MapFrom array per dependency, or why not.
  struct Translation {
    std::string reason;
    std::vector<Json> chains;
  };
  struct Held {
    Attribute attribute;
    size_t waitFor = 0;  // the furthest question its conditions read
  };
  struct Record {
    std::string name;
    size_t condition = 0;  // its opcode: the key of translations_
    uint8_t code = 0;
    bool readOnlyFlag = false;
  };

  void Remember(const Attribute& a);
  void Settle(Attribute& a);
  const Translation& Translate(const AttributeCondition& c);

  ConditionBook& book_;
  bool evaluated_;
  Controllers controllers_;
  std::unordered_map<size_t, Translation> translations_;
  std::deque<Held> held_;
  std::vector<Record> records_;

  friend class MapTranslator;
};

}  // namespace kes::attrs
