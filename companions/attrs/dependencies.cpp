#include "companions/attrs/dependencies.h"

#include <algorithm>

#include "base/console.h"
#include "hii/hii_format.h"

namespace kes::attrs {

using namespace hii;

namespace {

const char* ConditionName(uint8_t code) {
  switch (code) {
    case IFR_SUPPRESS_IF: return "suppress-if";
    case IFR_GRAY_OUT_IF: return "gray-out-if";
    case IFR_DISABLE_IF: return "disable-if";
    default: return "condition";
  }
}

// The properties a condition sets, in the order they are listed.
std::vector<const char*> PropertiesOf(uint8_t code, bool readOnlyFlag) {
  std::vector<const char*> out;
  if (code == IFR_SUPPRESS_IF || code == IFR_DISABLE_IF) out.push_back("Hidden");
  if (code == IFR_GRAY_OUT_IF) out.push_back("GrayOut");
  if ((code == IFR_GRAY_OUT_IF || code == IFR_DISABLE_IF) && !readOnlyFlag) out.push_back("ReadOnly");
  return out;
}

const char* MapCondition(Comparison c) {
  switch (c) {
    case Comparison::Equal: return "EQU";
    case Comparison::NotEqual: return "NEQ";
    case Comparison::Greater: return "GTR";
    case Comparison::GreaterEqual: return "GEQ";
    case Comparison::Less: return "LSS";
    default: return "LEQ";
  }
}

Comparison Negated(Comparison c) {
  switch (c) {
    case Comparison::Equal: return Comparison::NotEqual;
    case Comparison::NotEqual: return Comparison::Equal;
    case Comparison::Greater: return Comparison::LessEqual;
    case Comparison::GreaterEqual: return Comparison::Less;
    case Comparison::Less: return Comparison::GreaterEqual;
    default: return Comparison::Greater;
  }
}

// A question's value against a constant as the evaluator compares them: by the signed 64-bit
// difference.
bool Compares(uint64_t value, Comparison c, uint64_t constant) {
  int64_t d = static_cast<int64_t>(value - constant);
  switch (c) {
    case Comparison::Equal: return d == 0;
    case Comparison::NotEqual: return d != 0;
    case Comparison::Greater: return d > 0;
    case Comparison::GreaterEqual: return d >= 0;
    case Comparison::Less: return d < 0;
    default: return d <= 0;
  }
}

std::string QuestionText(uint16_t id) { return NFormat("question 0x%04X", static_cast<unsigned>(id)); }

// "a one-of", "a checkbox", ...: what kind of question an opcode is.
std::string KindText(uint8_t code) {
  switch (code) {
    case IFR_ONE_OF: return "a one-of";
    case IFR_CHECKBOX: return "a checkbox";
    case IFR_NUMERIC: return "a numeric";
    case IFR_STRING: return "a string";
    case IFR_PASSWORD: return "a password";
    case IFR_ORDERED_LIST: return "an ordered list";
    case IFR_DATE: return "a date";
    case IFR_TIME: return "a time";
    default: return "a question";
  }
}

}  // namespace

// Writes one condition's terms as Map dependencies: NOT folded into the comparisons, comparisons
// of an enumeration or boolean turned into the values they allow (written as EQU terms joined by
// OR, or NEQ terms joined by AND, whichever joins its neighbours), constants folded, an OR at the
// top split into one dependency per branch, and each branch written as one chain in which at most
// one group of terms comes first and single terms follow.
class MapTranslator {
 public:
  using Controller = DependencyWriter::Controller;

  explicit MapTranslator(const DependencyWriter::Controllers& controllers) : controllers_(controllers) {}

  DependencyWriter::Translation Run(const ConditionTerms& terms) {
    DependencyWriter::Translation out;
    std::vector<Raw> stack;
    for (const ConditionTerm& t : terms.postfix) {
      Raw r;
      r.term = &t;
      size_t operands = t.kind == TermKind::And || t.kind == TermKind::Or ? 2 : t.kind == TermKind::Not ? 1 : 0;
      if (stack.size() < operands) {
        out.reason = "the expression cannot be read";
        return out;
      }
      r.children.assign(std::make_move_iterator(stack.end() - static_cast<std::ptrdiff_t>(operands)),
                        std::make_move_iterator(stack.end()));
      stack.resize(stack.size() - operands);
      stack.push_back(std::move(r));
    }
    if (stack.size() != 1) {
      out.reason = "the expression cannot be read";
      return out;
    }
    Node root = Normal(stack.back(), false);
    if (!reason_.empty()) {
      out.reason = reason_;
      return out;
    }
    if (root.kind == Node::True) {
      out.reason = "it holds whatever the attributes' values are";
      return out;
    }
    if (root.kind == Node::False) {
      out.reason = "it holds for no value of the attributes it reads";
      return out;
    }
    std::vector<Node> parts;
    if (root.kind == Node::Or) {
      parts = std::move(root.children);
    } else {
      parts.push_back(std::move(root));
    }
    for (const Node& part : parts) {
      std::vector<Term> chain = Chain(part);
      if (!reason_.empty()) {
        out.reason = reason_;
        out.chains.clear();
        return out;
      }
      Json mapFrom = Json::array();
      for (size_t i = 0; i < chain.size(); ++i) {
        Json m = Json::object();
        m["MapFromAttribute"] = chain[i].controller->name;
        m["MapFromProperty"] = "CurrentValue";
        m["MapFromCondition"] = MapCondition(chain[i].comparison);
        m["MapFromValue"] = chain[i].value;
        if (i > 0) m["MapTerms"] = chain[i].joinAnd ? "AND" : "OR";
        mapFrom.push_back(std::move(m));
      }
      out.chains.push_back(std::move(mapFrom));
    }
    return out;
  }

 private:
  struct Raw {
    const ConditionTerm* term = nullptr;
    std::vector<Raw> children;
  };
  // One comparison after NOT was folded in.
  struct Literal {
    const Controller* controller = nullptr;
    enum Kind : uint8_t { Set, Number, NumberList } kind = Number;
    std::vector<bool> allowed;  // Set: by position in the controller's values
    Comparison comparison = Comparison::Equal;  // Number
    Json value;                                 // Number
    std::vector<Json> values;                   // NumberList
    bool negated = false;                       // NumberList: the value is none of them
  };
  struct Node {
    enum Kind : uint8_t { Leaf, And, Or, True, False } kind = True;
    Literal literal;
    std::vector<Node> children;
  };
  struct Term {
    const Controller* controller;
    Comparison comparison;
    Json value;
    bool joinAnd = false;  // how it joins the terms before it
  };

  void Fail(std::string why) {
    if (reason_.empty()) reason_ = std::move(why);
  }

  static Node Constant(bool value) {
    Node n;
    n.kind = value ? Node::True : Node::False;
    return n;
  }

  // AND or OR of the children, with constants folded and children of the same kind merged.
  static Node Join(Node::Kind kind, std::vector<Node> children) {
    bool isAnd = kind == Node::And;
    Node out;
    out.kind = kind;
    for (Node& c : children) {
      if (c.kind == (isAnd ? Node::False : Node::True)) return Constant(!isAnd);
      if (c.kind == (isAnd ? Node::True : Node::False)) continue;
      if (c.kind == kind) {
        for (Node& g : c.children) out.children.push_back(std::move(g));
      } else {
        out.children.push_back(std::move(c));
      }
    }
    if (out.children.empty()) return Constant(isAnd);
    if (out.children.size() == 1) return std::move(out.children.front());
    return out;
  }

  Node Normal(const Raw& r, bool negate) {
    if (!reason_.empty()) return Constant(false);
    switch (r.term->kind) {
      case TermKind::True: return Constant(!negate);
      case TermKind::False: return Constant(negate);
      case TermKind::Not: return Normal(r.children[0], !negate);
      case TermKind::And:
      case TermKind::Or: {
        bool isAnd = (r.term->kind == TermKind::And) != negate;
        std::vector<Node> children;
        for (const Raw& c : r.children) children.push_back(Normal(c, negate));
        return Join(isAnd ? Node::And : Node::Or, std::move(children));
      }
      default: return Leaf(*r.term, negate);
    }
  }

  const Controller* Find(const TermQuestion& q) {
    if (q.control == 0) {
      Fail("it reads " + QuestionText(q.questionId) + ", which does not exist");
      return nullptr;
    }
    if (q.code == IFR_ACTION || q.code == IFR_REF) {
      Fail("it reads " + QuestionText(q.questionId) + (q.code == IFR_ACTION ? ", an action" : ", a reference to a form") +
           ", which holds no value");
      return nullptr;
    }
    if (!q.readable) {
      Fail("it reads " + QuestionText(q.questionId) + ", whose variable the tool does not hold");
      return nullptr;
    }
    const Controller* c = controllers_.Find(q.control);
    if (!c) {
      Fail("it reads " + QuestionText(q.questionId) + ", " + KindText(q.code) +
           " that is not an attribute (no prompt, or in no form the walk reaches)");
      return nullptr;
    }
    if (c->kind == Controller::Other) {
      Fail("it compares " + c->name + ", " + c->typeName);
      return nullptr;
    }
    return c;
  }

  Node Leaf(const ConditionTerm& t, bool negate) {
    const Controller* c = Find(t.question);
    if (!c) return Constant(false);
    bool list = t.kind == TermKind::InList;
    auto holds = [&](uint64_t v) {
      bool h = list ? std::find(t.values.begin(), t.values.end(), v) != t.values.end() : Compares(v, t.comparison, t.value);
      return h != negate;
    };
    Node n;
    n.kind = Node::Leaf;
    Literal& l = n.literal;
    l.controller = c;
    if (c->kind == Controller::Choices || c->kind == Controller::Boolean) {
      l.kind = Literal::Set;
      size_t count = c->kind == Controller::Boolean ? 2 : c->values.size();
      size_t allowed = 0;
      for (size_t i = 0; i < count; ++i) {
        l.allowed.push_back(holds(c->kind == Controller::Boolean ? i : c->values[i].first));
        allowed += l.allowed.back() ? 1 : 0;
      }
      if (allowed == 0 || allowed == count) return Constant(allowed != 0);
      return n;
    }
    // Integers, shown unsigned or with their sign; a constant they cannot hold is folded.
    uint64_t max = c->width >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * c->width)) - 1;
    bool isSigned = c->kind == Controller::Signed;
    auto shown = [&](uint64_t v) {
      if (!isSigned || c->width >= 8) return isSigned ? Json(static_cast<int64_t>(v)) : Json(v);
      uint64_t sign = uint64_t{1} << (8 * c->width - 1);
      return Json(static_cast<int64_t>((v ^ sign) - sign));
    };
    if (list) {
      l.kind = Literal::NumberList;
      l.negated = negate;
      for (uint64_t v : t.values)
        if (v <= max) l.values.push_back(shown(v));
      if (l.values.empty()) return Constant(negate);
      return n;
    }
    Comparison cmp = negate ? Negated(t.comparison) : t.comparison;
    if (t.value > max) {
      return Constant(cmp == Comparison::NotEqual || cmp == Comparison::Less || cmp == Comparison::LessEqual);
    }
    if (isSigned && cmp != Comparison::Equal && cmp != Comparison::NotEqual) {
      Fail("it orders " + c->name + ", a signed integer, by its stored bytes");
      return Constant(false);
    }
    l.kind = Literal::Number;
    l.comparison = cmp;
    l.value = shown(t.value);
    return n;
  }

  // The terms of a literal joined by AND (NEQ each excluded value) or by OR (EQU each allowed
  // value); none when it cannot be written that way.
  std::optional<std::vector<Term>> Spelled(const Literal& l, bool joinAnd) {
    std::vector<Term> out;
    auto add = [&](Comparison cmp, Json value) { out.push_back({l.controller, cmp, std::move(value), joinAnd}); };
    switch (l.kind) {
      case Literal::Number:
        add(l.comparison, l.value);
        return out;
      case Literal::NumberList:
        if (l.values.size() > 1 && joinAnd != l.negated) return std::nullopt;
        for (const Json& v : l.values) add(l.negated ? Comparison::NotEqual : Comparison::Equal, v);
        return out;
      case Literal::Set: {
        // One value allowed (or one left out) is one term, which joins either way.
        size_t allowed = static_cast<size_t>(std::count(l.allowed.begin(), l.allowed.end(), true));
        if (allowed == 1) joinAnd = false;
        else if (allowed + 1 == l.allowed.size()) joinAnd = true;
        for (size_t i = 0; i < l.allowed.size(); ++i) {
          if (l.allowed[i] == joinAnd) continue;  // AND: the values left out; OR: those allowed
          Json value = l.controller->kind == Controller::Boolean ? Json(i == 1) : Json(l.controller->values[i].second);
          add(joinAnd ? Comparison::NotEqual : Comparison::Equal, std::move(value));
        }
        return out;
      }
    }
    return std::nullopt;
  }

  std::vector<Term> Chain(const Node& node) {
    if (node.kind == Node::Leaf) {
      const Literal& l = node.literal;
      bool joinAnd = l.kind == Literal::NumberList ? l.negated : false;
      if (l.kind == Literal::Set) {
        size_t allowed = static_cast<size_t>(std::count(l.allowed.begin(), l.allowed.end(), true));
        joinAnd = allowed > l.allowed.size() - allowed;  // the shorter spelling
      }
      return Spelled(l, joinAnd).value_or(std::vector<Term>{});
    }
    bool joinAnd = node.kind == Node::And;
    std::vector<Term> single;
    const Node* group = nullptr;
    for (const Node& child : node.children) {
      std::optional<std::vector<Term>> spelled;
      if (child.kind == Node::Leaf) spelled = Spelled(child.literal, joinAnd);
      if (spelled) {
        for (Term& t : *spelled) single.push_back(std::move(t));
        continue;
      }
      if (group) {
        Fail("it joins more than one group of terms, which a left-to-right chain cannot write");
        return {};
      }
      group = &child;
    }
    std::vector<Term> out = group ? Chain(*group) : std::vector<Term>{};
    for (Term& t : single) {
      t.joinAnd = joinAnd;
      out.push_back(std::move(t));
    }
    return out;
  }

  const DependencyWriter::Controllers& controllers_;
  std::string reason_;
};

void DependencyWriter::Controllers::Add(Controller c) {
  // The walk goes forward through the image; the legacy device groups of one question share its
  // opcode, and the first stands for it.
  if (!all_.empty() && all_.back().opcode >= c.opcode) return;
  all_.push_back(std::move(c));
}

const DependencyWriter::Controller* DependencyWriter::Controllers::Find(size_t opcode) const {
  auto it = std::lower_bound(all_.begin(), all_.end(), opcode, [](const Controller& c, size_t at) { return c.opcode < at; });
  return it != all_.end() && it->opcode == opcode ? &*it : nullptr;
}

void DependencyWriter::Remember(const Attribute& a) {
  if (a.opcode == 0) return;
  Controller c;
  c.opcode = a.opcode;
  c.name = a.name;
  c.width = a.width;
  if (a.special == SpecialControlKind::None && a.form == ValueForm::Plain && a.kind == IFR_ONE_OF) {
    c.kind = Controller::Choices;
    c.values.reserve(a.choices.size());
    for (const Choice& choice : a.choices) {
      bool seen = std::any_of(c.values.begin(), c.values.end(), [&](const auto& v) { return v.first == choice.value; });
      if (!seen) c.values.emplace_back(choice.value, choice.name);
    }
  } else if (a.kind == IFR_CHECKBOX) {
    c.kind = Controller::Boolean;
  } else if (a.kind == IFR_NUMERIC) {
    c.kind = a.numericDisplay == kDisplaySignedDecimal ? Controller::Signed : Controller::Unsigned;
  } else {
    c.typeName = a.special != SpecialControlKind::None ? "a control whose value is not its variable's bytes"
                 : a.type == AttrType::Password ? "a password" : "whose value is not a number";
  }
  controllers_.Add(std::move(c));
}

const DependencyWriter::Translation& DependencyWriter::Translate(const AttributeCondition& c) {
  auto it = translations_.find(c.opcode);
  if (it != translations_.end()) return it->second;
  Translation t;
  if (!evaluated_) {
    t.reason = "the conditions of the older HII layout are not evaluated";
  } else {
    const ConditionTerms& terms = book_.Terms(c);
    if (!terms.unreadable.empty()) {
      t.reason = terms.unreadable;
    } else {
      t = MapTranslator(controllers_).Run(terms);
    }
  }
  return translations_.emplace(c.opcode, std::move(t)).first->second;
}

void DependencyWriter::Settle(Attribute& a) {
  Json unmapped = Json::array();
  for (const AttributeCondition& c : a.conditions) {
    const Translation& t = Translate(c);
    if (t.reason.empty()) {
      records_.push_back({a.name, c.opcode, c.code, a.readOnlyFlag});
      continue;
    }
    Json properties = Json::array();
    for (const char* p : PropertiesOf(c.code, false)) properties.push_back(p);
    Json entry = Json::object();
    entry["Condition"] = ConditionName(c.code);
    entry["Properties"] = std::move(properties);
    entry["Reason"] = t.reason;
    unmapped.push_back(std::move(entry));
  }
  if (!unmapped.empty()) a.unmappedConditions = std::move(unmapped);
}

void DependencyWriter::Add(Attribute&& a, const Ready& ready) {
  Remember(a);
  size_t waitFor = 0;
  for (const AttributeCondition& c : a.conditions)
    for (const TermQuestion& q : book_.Terms(c).questions) waitFor = std::max(waitFor, q.control);
  size_t position = a.opcode;
  if (held_.empty() && waitFor <= position) {
    Settle(a);
    ready(std::move(a));
    return;
  }
  held_.push_back({std::move(a), waitFor});
  // Every question before this one in image order has been walked.
  while (!held_.empty() && held_.front().waitFor <= position) {
    Settle(held_.front().attribute);
    ready(std::move(held_.front().attribute));
    held_.pop_front();
  }
}

void DependencyWriter::Finish(const Ready& ready) {
  for (Held& h : held_) {
    Settle(h.attribute);
    ready(std::move(h.attribute));
  }
  held_.clear();
}

void DependencyWriter::Write(const ElementSink& element) {
  // One object written over for every entry; the MapFrom arrays are lent to it, not copied.
  Json d = Json::object();
  d["DependencyFor"] = "";
  d["Type"] = "Map";
  Json& dependency = d["Dependency"];
  dependency["MapFrom"] = Json::array();
  dependency["MapToAttribute"] = "";
  dependency["MapToProperty"] = "";
  dependency["MapToValue"] = true;
  Json& mapFrom = dependency["MapFrom"];
  for (const Record& r : records_) {
    Translation& t = translations_.at(r.condition);
    d["DependencyFor"].get_ref<std::string&>() = r.name;
    dependency["MapToAttribute"].get_ref<std::string&>() = r.name;
    for (const char* property : PropertiesOf(r.code, r.readOnlyFlag)) {
      dependency["MapToProperty"].get_ref<std::string&>() = property;
      for (Json& chain : t.chains) {
        std::swap(mapFrom, chain);
        element(d);
        std::swap(mapFrom, chain);
      }
    }
  }
}

}  // namespace kes::attrs
