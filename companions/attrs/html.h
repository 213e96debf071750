// The HTML view of kestrel-attrs: one self-contained page (markup, style sheet, script and the
// data as JSON) that shows the Setup's menus as a tree, or the differences between the documents
// of several machines as a drift table. The Setup comes from the same attribute walk as the
// registry; the page needs nothing from the network.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hii/setup_context.h"
#include "companions/attrs/attribute_model.h"
#include "companions/attrs/documents.h"
#include "companions/attrs/session.h"

namespace kes::attrs {

// The page's data for the Setup of `setup`, from one attribute walk: {"menus", "choices",
// "attrs"}, each a compact array (the page's script reads them; html.cpp describes them).
Json SetupPageData(const SetupContext& setup);

// One machine of a compare page: its name and its attributes.
struct MachineDocument {
  std::string name;
  AttributeValues values;  // in document order
  // What the document's registry (saved facts carry one) says of an attribute: its display
  // name and menu path.
  std::unordered_map<std::string, std::pair<std::string, std::string>> described;
};

// Reads one machine's document: a Bios resource ("Attributes"), or the facts of
// kestrel.bios.bios_info as saved ("attributes" beside "registry", alone, under "kestrel_bios"
// as a fact cache keeps them, or under "ansible_facts"."kestrel_bios" as a module result, e.g.
// from `ansible -m kestrel.bios.bios_info --tree DIR`). The machine is named by the facts'
// "ansible_hostname" when the document has one, otherwise by `path` without its directory and a
// final ".json". None, with `error` set, when the text is not JSON, is nested deeper than 64
// levels, repeats a name in one object, holds no attributes in any of those places, or an
// attribute's value is not a string, number, boolean or null.
std::optional<MachineDocument> ReadMachineDocument(std::string_view text, const std::string& path, std::string& error);

// The compare page's data for `machines` (names made unique, in the order given): one row per
// attribute whose value is not the same on every machine (a machine without the attribute
// counts as a value of its own), with the majority value (the value most machines hold; on a
// tie the one the earliest machine holds) and the machines whose value differs from it; and per
// machine the number of rows where it differs. Rows follow the walk order of `setup` (when
// given; its data is then the page's menus) and then the order the documents name them in.
Json ComparePageData(std::vector<MachineDocument> machines, const Json* setupData);

// A page: its title, and its data: "setup" (SetupPageData), "compare" (ComparePageData) or
// both, and "source" (where the Setup was read; empty without one).
struct Page {
  std::string title;
  Json data;
};

// Where the session reads the Setup, as the page says it: "offline: FILE" or "live firmware of
// HOST".
std::string SetupSource(const SessionOptions& options);

// The Setup page of `setup`.
Page SetupPage(const SetupContext& setup, const std::string& source);
// The compare page of `machines`; `setup` (none when no Setup can be read) gives it its menus.
Page ComparePage(std::vector<MachineDocument> machines, const SetupContext* setup, const std::string& source);

// Writes the whole page: markup, style sheet, script and data.
bool WritePage(const Page& page, const TextSink& out);

// JSON text that can stand inside a <script> element: "<", ">" and "&" are written as \u003c,
// \u003e and \u0026 (so no "</script>" or "<!--" can appear), U+2028 and U+2029 as \u2028 and
// \u2029, and text that is not UTF-8 is replaced.
std::string ScriptSafeJson(const Json& data);

}  // namespace kes::attrs
