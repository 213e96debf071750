// kestrel-attrs: the Setup questions as a Redfish-shaped JSON attribute registry and Bios
// resource, with get, set, plan, find and diff for automation.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/output_file.h"
#include "base/text.h"
#include "hii/strings.h"
#include "companions/attrs/html.h"
#include "companions/attrs/journal_commands.h"
#include "companions/attrs/operations.h"
#include "companions/attrs/session.h"
#ifdef KESTREL_ATTRS_MOUNT
#include "companions/attrs/mount.h"
#endif
#ifdef KESTREL_ATTRS_FWUPD
#include "companions/attrs/fwupd_reread.h"
#endif

namespace kes::attrs {
namespace {

constexpr const char* kUsage =
    "usage: kestrel-attrs [--hii FILE --vars DIR] [/cpwd PASSWORD | /cpwdf FILE] COMMAND\n"
    "  registry [-o FILE]                          the attribute registry\n"
    "  get [NAME...] [--defaults bios|mfg] [-o FILE]  the Bios resource (current values or defaults)\n"
    "  set NAME=VALUE... | --file FILE [--dry-run] [-o FILE]\n"
    "                                              change values; the report is JSON\n"
    "  plan NAME=VALUE... | --file FILE [-o FILE]  what set would do, and what it would hide,\n"
    "                                              gray out or make read-only; writes nothing\n"
    "  find TEXT [--text] [-o FILE]                attributes whose name, display name or help\n"
    "                                              text holds TEXT (any case)\n"
    "  diff [A.json [B.json]] [--from-defaults] [-o FILE]\n"
    "                                              attributes that differ\n"
    "  mount MOUNTPOINT [--driver NAME] [--detach]  the attributes as a firmware-attributes tree\n"
    "  html [-o FILE]                              the menus and settings as one HTML page\n"
    "  html --compare A.json B.json... [-o FILE]   the attributes that differ between machines\n"
    "  journal [--json]                            the changes recorded, with their status\n"
    "  verify [ID]                                 after a reboot: did each value of a change hold\n"
    "  rollback [ID] [--dry-run] [--force]         write back what a change overwrote\n"
    "journal options (set, mount, rollback): --no-journal, --journal-keep N (default 100)\n"
    "exit status: 0 done, 1 diff found differences or find found nothing, 2 usage or input error,\n"
    "3 refused (nothing written), 4 a write failed or a value did not hold, 5 the Setup data could\n"
    "not be read, 6 verify: no reboot since the change, 7 verify: a value did not hold over the\n"
    "reboot, 8 the journal cannot be written or read (nothing written)\n";

// After values changed: a running fwupd daemon is asked to read them again (fwupd_reread.h).
void ValuesChanged() {
#ifdef KESTREL_ATTRS_FWUPD
  AskFwupdToReread(5000);
#endif
}

int Usage(const std::string& problem) {
  if (!problem.empty()) WriteNarrow(Stream::Err, "kestrel-attrs: " + problem + "\n");
  WriteNarrow(Stream::Err, kUsage);
  return kExitUsage;
}

int Fail(const std::string& problem, int status) {
  WriteNarrow(Stream::Err, "kestrel-attrs: " + problem + "\n");
  return status;
}

struct CommandLine {
  std::string command;
  std::vector<std::string> words;   // names, NAME=VALUE pairs or documents
  std::string output;
  std::string file;                 // set --file
  std::string defaults;             // get --defaults
  bool dryRun = false;
  bool fromDefaults = false;
  bool text = false;                // find --text
  std::string driver;               // mount --driver
  bool detach = false;              // mount --detach
  bool compare = false;             // html --compare
  bool json = false;                // journal --json
  bool force = false;               // rollback --force
  JournalOptions journal = DefaultJournalOptions();
  SessionOptions session;
};

// The current admin password from a file: UTF-16LE text, as the tool reads it.
bool ReadPasswordFile(const std::string& path, PasswordInput& input) {
  auto bytes = ReadWholeFile(path, size_t{1} << 20);
  if (!bytes || bytes->empty() || bytes->size() >= (size_t{1} << 20)) return false;
  bytes->push_back(0);
  bytes->push_back(0);
  input.Text = Utf16BytesToWide(*bytes, true);
  input.Length = static_cast<uint32_t>(input.Text.size() + 1);
  input.Type = PasswordType::Plain;
  return true;
}

bool ReadKeep(const std::string& text, size_t& keep) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  keep = std::stoul(text);
  return keep >= 1 && keep <= 1000000;
}

int Parse(int argc, char** argv, CommandLine& line) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    bool ok = true;
    if (word == "--hii") ok = value(line.session.hiiFile);
    else if (word == "--vars") ok = value(line.session.varsDir);
    else if (word == "-o" || word == "--output") ok = value(line.output);
    else if (word == "--file" || word == "-f") ok = value(line.file);
    else if (word == "--defaults") ok = value(line.defaults);
    else if (word == "--dry-run") line.dryRun = true;
    else if (word == "--from-defaults") line.fromDefaults = true;
    else if (word == "--text") line.text = true;
    else if (word == "--driver") ok = value(line.driver);
    else if (word == "--detach") line.detach = true;
    else if (word == "--compare") line.compare = true;
    else if (word == "--json") line.json = true;
    else if (word == "--force") line.force = true;
    else if (word == "--no-journal") line.journal.enabled = false;
    else if (word == "--journal-keep") {
      std::string count;
      ok = value(count);
      if (ok && !ReadKeep(count, line.journal.keep)) return Usage("--journal-keep takes a number from 1 to 1000000");
    }
    else if (word == "-h" || word == "--help") return Usage("");
    else if (CompareNoCase(word, "/cpwd") == 0) {
      std::string text;
      ok = value(text);
      if (ok) {
        line.session.currentAdmin.Text = DecodeText(text);
        line.session.currentAdmin.Length = static_cast<uint32_t>(line.session.currentAdmin.Text.size() + 1);
        line.session.currentAdmin.Type = PasswordType::Plain;
        std::fill(text.begin(), text.end(), '\0');
      }
    } else if (CompareNoCase(word, "/cpwdf") == 0) {
      std::string path;
      ok = value(path);
      if (ok && !ReadPasswordFile(path, line.session.currentAdmin))
        return Usage("cannot read the password file " + path);
    } else if (word.size() > 1 && word[0] == '-' && word != "-") {
      return Usage("unknown option " + word);
    } else if (line.command.empty()) {
      line.command = word;
    } else {
      line.words.push_back(word);
    }
    if (!ok) return Usage(word + " needs a value");
  }
  if (line.command.empty()) return Usage("no command given");
  return kExitSuccess;
}

// Writes a document through `write` to -o FILE (replaced only once complete) or standard output.
int Emit(const std::function<bool(const TextSink&)>& write, const std::string& output, int status) {
  if (output.empty() || output == "-") {
    write(ConsoleSink());
    return status;
  }
  OutputFile file;
  if (!file.Open(output)) return Fail("cannot open " + output + ": " + std::strerror(errno), kExitUsage);
  if (!write(FileSink(file.get())) || !file.Commit()) return Fail("cannot write " + output, kExitUsage);
  return status;
}

int Emit(const Json& document, const std::string& output, int status) {
  return Emit([&](const TextSink& sink) { return SerializeDocument(document, sink); }, output, status);
}

// The journal's commands: their words checked before the firmware is read.
int CheckJournalWords(const CommandLine& line, bool journalCommand) {
  const std::string& command = line.command;
  if (line.json && command != "journal") return Usage("--json belongs to journal");
  if (line.force && command != "rollback") return Usage("--force belongs to rollback");
  if (!journalCommand) return kExitSuccess;
  if (!line.session.hiiFile.empty() || !line.session.varsDir.empty())
    return Usage("the journal records the live firmware: " + command + " does not go with --hii and --vars");
  if (command == "journal" ? !line.words.empty() : line.words.size() > 1)
    return Usage(command == "journal" ? "journal takes no names" : command + " takes one entry id at most");
  if (!line.words.empty() && (line.words[0].empty() || line.words[0].size() > 19 ||
                              line.words[0].find_first_not_of("0123456789") != std::string::npos))
    return Usage("\"" + line.words[0] + "\" is no journal entry id");
  return kExitSuccess;
}

int RunJournalCommand(const SetupContext& setup, const CommandLine& line) {
  std::optional<uint64_t> id;
  if (!line.words.empty()) id = std::stoull(line.words[0]);
  Outcome outcome;
  if (line.command == "journal") {
    outcome = ListJournal(setup, line.journal);
    if (!outcome.report.is_null() && !line.json)
      return Emit([&](const TextSink& sink) { return sink(JournalTable(outcome.report)); }, line.output, outcome.status);
  } else if (line.command == "verify") {
    outcome = VerifyEntry(setup, line.journal, id);
  } else {
    outcome = RollbackEntry(setup, line.journal, id, line.dryRun, line.force);
  }
  if (outcome.report.is_null()) return outcome.status;
  return Emit(outcome.report, line.output, outcome.status);
}

// NAME=VALUE words: the value is text, typed by the attribute when the set looks it up.
bool ReadPairs(const std::vector<std::string>& words, AttributeValues& values, std::string& error) {
  for (const std::string& word : words) {
    size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      error = "\"" + word + "\" is not NAME=VALUE";
      return false;
    }
    values.emplace_back(word.substr(0, equals), Json(word.substr(equals + 1)));
  }
  return true;
}

std::optional<AttributeValues> ReadDocument(const std::string& path, std::string& error) {
  auto text = ReadInputFile(path, error);
  if (!text) return std::nullopt;
  auto values = ReadAttributeValues(*text, error);
  if (!values) error = path + ": " + error;
  return values;
}

// html: the Setup page, or with --compare the page of the machines' differences, which gets its
// menus from the Setup where one can be read (quietly when live, as diff does; an offline Setup
// that cannot be read is an error).
int Html(const CommandLine& line) {
  std::vector<MachineDocument> machines;
  if (line.compare) {
    if (line.words.size() < 2) return Usage("html --compare takes two or more documents");
    for (const std::string& path : line.words) {
      std::string error;
      auto text = ReadInputFile(path, error);
      auto machine = text ? ReadMachineDocument(*text, path, error) : std::nullopt;
      if (!machine) return Fail(text ? path + ": " + error : error, kExitUsage);
      machines.push_back(std::move(*machine));
    }
  } else if (!line.words.empty()) {
    return Usage("html takes documents only with --compare");
  }
  Session session;
  bool opened;
  if (line.compare && line.session.hiiFile.empty()) {
    ConsoleCapture quiet;
    opened = session.Open(line.session);
  } else {
    opened = session.Open(line.session);
    if (!opened) return kExitFirmware;
  }
  const std::string source = SetupSource(line.session);
  Page page = line.compare ? ComparePage(std::move(machines), opened ? &session.Setup() : nullptr, source)
                           : SetupPage(session.Setup(), source);
  return Emit([&](const TextSink& sink) { return WritePage(page, sink); }, line.output, kExitSuccess);
}

int RunCommand(const CommandLine& line) {
  const std::string& command = line.command;
  bool journalCommand = command == "journal" || command == "verify" || command == "rollback";
  if (command != "registry" && command != "get" && command != "set" && command != "plan" && command != "find" &&
      command != "diff" && command != "mount" && command != "html" && !journalCommand)
    return Usage("unknown command " + command);
  if (line.compare && command != "html") return Usage("--compare belongs to html");
  bool changes = command == "set" || command == "plan";
  if (line.text && command != "find") return Usage("--text belongs to find");
  if (command == "find" && line.words.size() != 1) return Usage("find takes one text");
  if (int status = CheckJournalWords(line, journalCommand); status != kExitSuccess) return status;
  if ((!line.driver.empty() || line.detach) && command != "mount") return Usage("--driver and --detach belong to mount");
  if (command == "mount" && line.words.size() != 1) return Usage("mount takes one mount point");
  if (command == "registry" && !line.words.empty()) return Usage("registry takes no names");
  if (!line.defaults.empty() && command != "get") return Usage("--defaults belongs to get");
  if (line.dryRun && command != "set" && command != "rollback") return Usage("--dry-run belongs to set and rollback");
  if (line.fromDefaults && command != "diff") return Usage("--from-defaults belongs to diff");
  if (!line.file.empty() && !changes) return Usage("--file belongs to set and plan");
  if (command == "html") return Html(line);

  // Inputs first: a bad document is reported before the firmware is touched.
  std::string error;
  AttributeValues values;
  std::vector<AttributeValues> documents;
  bool textValues = false;
  if (changes) {
    if (line.file.empty() == line.words.empty()) return Usage(command + " takes NAME=VALUE pairs or --file FILE");
    if (!line.file.empty()) {
      auto read = ReadDocument(line.file, error);
      if (!read) return Fail(error, kExitUsage);
      values = std::move(*read);
    } else if (!ReadPairs(line.words, values, error)) {
      return Usage(error);
    } else {
      textValues = true;
    }
  }
  if (command == "diff") {
    if (line.words.size() > 2) return Usage("diff takes at most two documents");
    if (line.words.size() == 2 && line.fromDefaults) return Usage("--from-defaults compares one document at most");
    for (const std::string& path : line.words) {
      auto read = ReadDocument(path, error);
      if (!read) return Fail(error, kExitUsage);
      documents.push_back(std::move(*read));
    }
    if (documents.empty() && !line.fromDefaults) return Usage("diff needs a document (or --from-defaults)");
    if (documents.size() == 2) {
      // Two documents need no firmware; where it can be read, it gives the display names.
      Session session;
      bool opened;
      {
        ConsoleCapture quiet;
        opened = session.Open(line.session);
      }
      Outcome outcome = DiffAttributes(opened ? &session.Setup() : nullptr, &documents[0], &documents[1], false);
      return Emit(outcome.report, line.output, outcome.status);
    }
  }
  Defaults defaults = Defaults::None;
  if (line.defaults == "bios") defaults = Defaults::Bios;
  else if (line.defaults == "mfg") defaults = Defaults::Mfg;
  else if (!line.defaults.empty()) return Usage("--defaults takes bios or mfg");

  Session session;
  if (!session.Open(line.session)) return kExitFirmware;
  const SetupContext& setup = session.Setup();
  if (command == "mount") {
#ifdef KESTREL_ATTRS_MOUNT
    AttrsMountOptions options;
    options.mountPoint = line.words[0];
    if (!line.driver.empty()) options.driver = line.driver;
    options.detach = line.detach;
    if (line.journal.enabled) options.journal = line.journal;
    if (line.session.hiiFile.empty()) options.changed = ValuesChanged;  // offline mounts change files only
    return ServeAttributes(setup, options);
#else
    return Fail("this kestrel-attrs was built without libfuse3: mount is not available", kExitUsage);
#endif
  }
  if (command == "registry")
    return Emit([&](const TextSink& sink) { return WriteRegistry(setup, sink); }, line.output, kExitSuccess);
  if (command == "get") {
    std::vector<std::string> missing;
    Json bios = BuildBios(setup, line.words, defaults, missing);
    if (!missing.empty()) {
      for (const std::string& n : missing) WriteNarrow(Stream::Err, "kestrel-attrs: no attribute named " + n + "\n");
      return kExitUsage;
    }
    return Emit(bios, line.output, kExitSuccess);
  }
  if (command == "set") {
    // A live set that writes is recorded in the journal first (an offline one writes files).
    std::optional<JournalRecorder> recorder;
    if (line.journal.enabled && line.session.hiiFile.empty()) recorder.emplace(setup, line.journal, "set");
    Outcome outcome = SetAttributes(setup, values, line.dryRun, textValues, true, recorder ? &recorder->Observer() : nullptr);
    if (recorder && recorder->EntryId()) outcome.report["JournalEntry"] = recorder->EntryId();
    // An offline set (--hii, --vars) changes files, not what fwupd reads.
    if (!line.dryRun && line.session.hiiFile.empty() && !outcome.report["Changed"].empty()) ValuesChanged();
    return Emit(outcome.report, line.output, outcome.status);
  }
  if (command == "plan") {
    Outcome outcome = PlanAttributes(setup, values, textValues);
    return Emit(outcome.report, line.output, outcome.status);
  }
  if (command == "find") {
    Outcome outcome = FindAttributesByText(setup, line.words[0]);
    if (!line.text) return Emit(outcome.report, line.output, outcome.status);
    std::string lines = FoundLines(outcome.report);
    return Emit([&](const TextSink& sink) { return sink(lines); }, line.output, outcome.status);
  }
  if (journalCommand) return RunJournalCommand(setup, line);
  Outcome outcome = DiffAttributes(&setup, documents.empty() ? nullptr : &documents[0], nullptr, line.fromDefaults);
  return Emit(outcome.report, line.output, outcome.status);
}

}  // namespace
}  // namespace kes::attrs

int main(int argc, char** argv) {
  using namespace kes::attrs;
  try {
    CommandLine line;
    if (int status = Parse(argc, argv, line); status != kExitSuccess || line.command.empty()) return status;
    return RunCommand(line);
  } catch (const kes::UnsupportedStringBlocks&) {
    return Fail("the HII database has string blocks this tool cannot read", kExitFirmware);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory", kExitFirmware);
  }
}
