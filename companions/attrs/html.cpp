#include "companions/attrs/html.h"

#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "kestrel_version.h"
#include "companions/attrs/html_assets.h"

namespace kes::attrs {

namespace {

// A value as the page shows it and as data-value carries it: text as it is, true or false,
// numbers in decimal (exact, as text: the page's script would round integers above 2^53);
// null (no value) stays null.
Json ValueText(const Json& value) {
  if (value.is_null() || value.is_string()) return value;
  return Json(value.dump());
}

const char* TypeLetter(AttrType type) {
  switch (type) {
    case AttrType::Enumeration: return "E";
    case AttrType::Boolean: return "B";
    case AttrType::Integer: return "I";
    case AttrType::Password: return "P";
    default: return "S";
  }
}

// Flags of the page's data, attributes and menus alike.
constexpr unsigned kHidden = 1, kGrayOut = 2, kReadOnly = 4, kChanged = 8, kResetRequired = 16;

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

// The Setup's data, read by the page's script (page.js):
//   menus:   [MenuName, DisplayName, parent (position in menus, -1 at the top), at, flags], in
//            walk order; `at` is the number of the parent's own attributes that come before the
//            REF leading here, so that settings and submenus show in the firmware's order
//   choices: the distinct option lists, each [[ValueName, ValueDisplayName], ...]
//   attrs:   [AttributeName, DisplayName, menu (position in menus, -1: none), type letter (E, B,
//            I, S, P), current value, BIOS default (both as text, null for none), flags, HelpText,
//            {c: choice list, lo, hi, st: bounds and step as text, mn, mx: lengths, fx: format}]
//            in walk order
Json SetupPageData(const SetupContext& setup) {
  std::vector<Menu> menus;
  std::unordered_map<std::string, int> menuByPath;
  std::vector<std::vector<size_t>> offsets;  // per menu: its attributes' opcodes, in walk order
  Json attrs = Json::array();
  Json choices = Json::array();
  std::unordered_map<std::string, size_t> choiceLists;  // a list's texts -> its position

  auto choiceList = [&](const std::vector<Choice>& list) {
    std::string key;
    for (const Choice& c : list) {
      key += c.name;
      key += '\0';
      key += c.display;
      key += '\0';
    }
    auto [it, added] = choiceLists.emplace(std::move(key), choices.size());
    if (added) {
      Json entries = Json::array();
      for (const Choice& c : list) entries.push_back(Json::array({c.name, c.display}));
      choices.push_back(std::move(entries));
    }
    return it->second;
  };

  AttributeSink sink;
  sink.menus = [&](const std::vector<Menu>& all) {
    menus = all;
    offsets.resize(menus.size());
    for (size_t i = 0; i < menus.size(); ++i) menuByPath.emplace(menus[i].path, static_cast<int>(i));
  };
  sink.attribute = [&](Attribute& a) {
    auto menu = menuByPath.find(a.menuPath);
    int at = menu == menuByPath.end() ? -1 : menu->second;
    if (at >= 0) offsets[static_cast<size_t>(at)].push_back(a.opcode);
    bool changed = !a.biosDefault.is_null() && a.current != a.biosDefault;
    unsigned flags = (a.hidden ? kHidden : 0) | (a.grayOut ? kGrayOut : 0) | (a.readOnly ? kReadOnly : 0) |
                     (changed ? kChanged : 0) | (a.resetRequired ? kResetRequired : 0);
    Json extra = Json::object();
    if (!a.choices.empty()) extra["c"] = choiceList(a.choices);
    if (a.lowerBound) extra["lo"] = std::to_string(*a.lowerBound);
    if (a.lowerBoundU) extra["lo"] = std::to_string(*a.lowerBoundU);
    if (a.upperBound) extra["hi"] = std::to_string(*a.upperBound);
    if (a.upperBoundU) extra["hi"] = std::to_string(*a.upperBoundU);
    if (a.scalarIncrement) extra["st"] = std::to_string(*a.scalarIncrement);
    if (a.minLength) extra["mn"] = *a.minLength;
    if (a.maxLength) extra["mx"] = *a.maxLength;
    if (!a.valueExpression.empty()) extra["fx"] = a.valueExpression;
    Json entry = Json::array();
    entry.get_ref<Json::array_t&>().reserve(9);
    entry.push_back(std::move(a.name));
    entry.push_back(std::move(a.displayName));
    entry.push_back(at);
    entry.push_back(TypeLetter(a.type));
    entry.push_back(ValueText(a.current));
    entry.push_back(ValueText(a.biosDefault));
    entry.push_back(flags);
    entry.push_back(std::move(a.helpText));
    entry.push_back(std::move(extra));
    attrs.push_back(std::move(entry));
  };
  WalkAttributes(setup, sink);

  for (std::vector<size_t>& list : offsets) std::sort(list.begin(), list.end());
  Json menuData = Json::array();
  for (const Menu& m : menus) {
    size_t before = 0;
    if (m.parent >= 0) {
      const std::vector<size_t>& siblings = offsets[static_cast<size_t>(m.parent)];
      before = static_cast<size_t>(std::lower_bound(siblings.begin(), siblings.end(), m.reference) - siblings.begin());
    }
    unsigned flags = (m.hidden ? kHidden : 0) | (m.grayOut ? kGrayOut : 0) | (m.readOnly ? kReadOnly : 0);
    menuData.push_back(Json::array({m.name, m.displayName, m.parent, before, flags}));
  }
  Json data = Json::object();
  data["menus"] = std::move(menuData);
  data["choices"] = std::move(choices);
  data["attrs"] = std::move(attrs);
  return data;
}

std::string ScriptSafeJson(const Json& data) {
  std::string text = data.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  // Outside strings JSON text holds none of these characters, so each is inside a string, where
  // the escape stands for the same character.
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' && (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string SetupSource(const SessionOptions& options) {
  if (!options.hiiFile.empty()) return "offline: " + options.hiiFile;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "live firmware";
  return std::string("live firmware of ") + host;
}

Page SetupPage(const SetupContext& setup, const std::string& source) {
  Page page;
  const std::string live = "live firmware of ";
  page.title = source.rfind(live, 0) == 0 ? "Setup of " + source.substr(live.size())
               : source.empty()           ? std::string("Setup")
                                          : "Setup (" + source + ")";
  page.data["source"] = source;
  page.data["setup"] = SetupPageData(setup);
  return page;
}

Page ComparePage(std::vector<MachineDocument> machines, const SetupContext* setup, const std::string& source) {
  Page page;
  page.title = "Setup differences between " + std::to_string(machines.size()) + " machines";
  page.data["source"] = setup ? "menus from " + source : std::string("no Setup read: rows without menus");
  Json setupData;
  if (setup) setupData = SetupPageData(*setup);
  page.data["compare"] = ComparePageData(std::move(machines), setup ? &setupData : nullptr);
  if (setup) page.data["setup"] = std::move(setupData);
  return page;
}

bool WritePage(const Page& content, const TextSink& out) {
  // The template's markers, each replaced once, in this order.
  const std::string_view page = kHtmlPageTemplate;
  const std::string escapedTitle = Escaped(content.title);
  const std::string json = ScriptSafeJson(content.data);
  struct Piece {
    std::string_view marker;
    std::string_view text;
  };
  const Piece pieces[] = {
      {"@VERSION@", KESTREL_VERSION_STRING}, {"@TITLE@", escapedTitle}, {"@STYLE@", kHtmlPageStyle},
      {"@HEADING@", escapedTitle},           {"@DATA@", json},          {"@SCRIPT@", kHtmlPageScript},
  };
  size_t from = 0;
  for (const Piece& p : pieces) {
    size_t at = page.find(p.marker, from);
    if (at == std::string_view::npos) return false;
    if (!out(page.substr(from, at - from)) || !out(p.text)) return false;
    from = at + p.marker.size();
  }
  return out(page.substr(from));
}

}  // namespace kes::attrs
