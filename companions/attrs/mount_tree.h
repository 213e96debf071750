// The attributes of one SetupContext laid out as the kernel's firmware-attributes class directory:
//
//   <driver>/attributes/<AttributeName>/{type,current_value,default_value,display_name,...}
//   <driver>/attributes/{pending_reboot,reset_bios}
//   <driver>/authentication/<PasswordName>/{is_enabled,role,mechanism,...}
//
// Paths are relative to the mount point ("kestrel/attributes/PROC001/type"). Answers come from a
// snapshot of the attributes, which every read of a value (current_value, default_value,
// reset_bios), every listing and every write first bring up to date: when any variable the
// snapshot was built from (the questions' variables, the boot order and language variables, the
// default stores) reads differently now, it is taken again. The other files describe the
// questions as the HII database does. A write of current_value goes through SetAttributes, the same validation and
// commit as kestrel-attrs set. Nothing here knows about FUSE.
//
// Two things are shown as fwupd reads them: the current_value of a setting that cannot be changed
// (read-only, grayed out, out of the import's reach) ends with "[Status:ShowOnly]", the mark some
// kernel drivers give such settings and the only one fwupd takes for read-only; and an integer
// whose range goes below zero has type "string" (with min_length and max_length besides its
// min_value, max_value and scalar_increment), since fwupd reads min_value unsigned and would show
// -128 as 18446744073709551488 and refuse every value.
#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hii/setup_context.h"
#include "companions/attrs/attribute_model.h"
#include "companions/attrs/documents.h"
#include "companions/attrs/journal.h"

namespace kes::attrs {

// The text of a write without its line end: one trailing "\n" or "\r\n" dropped.
std::string_view WithoutLineEnd(std::string_view text);
// Value text as written to current_value: its line end dropped (WithoutLineEnd); integers in
// decimal, checkboxes 0 or 1, ordered lists joined by ";" (or ","). Empty when the text cannot be
// a value of the attribute (also when it holds another line end, a carriage return or a NUL).
std::optional<Json> ParseValueText(const Attribute& a, std::string_view text);
// The value as current_value shows it, without the newline.
std::string ValueText(const Attribute& a, const Json& value);

// What the tree tells its host: why a write was refused or failed (one line each, without the
// program's name), and that values changed. Either may be empty.
struct TreeHooks {
  std::function<void(const std::string&)> say;
  std::function<void()> changed;
};

class AttributeTree {
 public:
  // `journal`: every write that changes a value or a password is recorded there (none: not
  // recorded); it must outlive the tree. `hooks`: what the tree tells its host.
  AttributeTree(const SetupContext& setup, std::string driver, const JournalOptions* journal = nullptr,
                TreeHooks hooks = {});

  enum class Kind { None, Directory, File };
  struct NodeInfo {
    Kind kind = Kind::None;
    bool readable = false, writable = false;
  };
  NodeInfo Lookup(std::string_view path) const;
  // The names in a directory; empty when `path` is none. Brings the snapshot up to date first.
  std::optional<std::vector<std::string>> List(std::string_view path);
  // The file's text; an errno when it cannot be read. `fresh`: a value file's read brings the
  // snapshot up to date first (set for a read from the start of the file).
  int Read(std::string_view path, bool fresh, std::string& text);
  // Applies one write of `data` to the file, from an up-to-date snapshot; 0 or an errno.
  // `followsWrite`: an earlier write went to the same open file. Such a write holding only a line
  // end is the end of the line the earlier write carried (a shell writes a value and its line
  // end separately): it changes nothing.
  int Write(std::string_view path, std::string_view data, bool followsWrite = false);

  // Says why the file at `path` takes no write (a value that cannot be changed), for a write
  // refused when the file is opened.
  void ExplainRefusal(std::string_view path);

  // Takes the snapshot again.
  void Refresh();
  // Takes the snapshot again when a variable it was built from has changed since.
  void Sync();

 private:
  struct Parsed {
    const Attribute* attribute = nullptr;
    bool authentication = false;
    std::string special;  // pending_reboot, reset_bios
    std::string file;     // empty for the attribute's directory
    int depth = 0;        // components matched
  };
  Parsed Parse(std::string_view path) const;
  std::vector<std::string> Files(const Attribute& a, bool authentication) const;
  std::optional<std::string> FileText(const Attribute& a, const std::string& file) const;
  int WriteValue(const Attribute& a, std::string_view data);
  int ResetBios(std::string_view data);
  int WritePassword(const Attribute& a, const std::string& file, std::string_view data);
  // Applies values through SetAttributes; 0 or an errno.
  int Apply(const AttributeValues& values, bool defaultsLoad);
  void Say(const std::string& text) const;
  void SayLines(const std::string& text) const;  // each line of a program's messages, trimmed
  std::string AdminPasswordFile() const;         // "<driver>/authentication/<name>/current_password"

  const SetupContext& setup_;
  std::string driver_;
  const JournalOptions* journal_ = nullptr;
  TreeHooks hooks_;
  std::string language_;
  std::vector<Attribute> attributes_;   // every attribute of the walk
  std::unordered_map<std::string, size_t> byName_;
  std::vector<std::string> visible_, passwords_;   // directory listings, walk order
  // The variables the snapshot was read from, with the bytes read (none: absent).
  std::map<std::string, FirmwareAccess::VariableContent> sources_;
  bool pendingReboot_ = false;
  std::string lastReset_;
};

}  // namespace kes::attrs
