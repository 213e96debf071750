#include "script/export.h"

#include "base/console.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/hii_database.h"
#include "hii/question_walk.h"
#include "hii/setup_context.h"
#include "hii/strings.h"
#include "commit/special_controls.h"
#include "script/question_block.h"
#include "script/script_defaults.h"

namespace kes {

using namespace hii;

namespace {

struct ExportRun {
  std::FILE* main = nullptr;
  std::FILE* duplicates = nullptr;
  bool compareMode = false;
  bool warnedDuplicate = false;
  size_t exported = 0;
};

void WriteSubtitle(const StringLookup& strings, std::FILE* out, const PackageList& list, const IfrOp& op) {
  std::wstring text = ScriptString(strings, list, OpPrompt(op), false);
  if (IsBlankText(text)) return;
  FilePrint(out, L"\n// SUBTITLE\t= %ls\n", text.c_str());
}

// The blocks of a special control: the language options, the boot order list (with /b) or one
// block per LegacyDevOrder group (with /b). None when nothing is written.
std::optional<std::wstring> FormatSpecialBlocks(const StringLookup& strings, Bytes image, const PackageList& list,
                                                QuestionRecord& record, SpecialControlKind kind, bool withBoot,
                                                SpecialControls& special, BlockOptions options) {
  bool language = kind == SpecialControlKind::Language || kind == SpecialControlKind::PlatformLanguage;
  if (!language && !withBoot) return std::nullopt;
  std::wstring prompt = ScriptString(strings, list, record.Prompt, false);
  std::wstring mapPrompt = ScriptString(strings, list, record.Prompt, true);
  if (kind != SpecialControlKind::LegacyOrder) {
    std::wstring name = SpecialControls::ControlName(kind, prompt);
    std::wstring mapName = SpecialControls::ControlName(kind, mapPrompt);
    options.specialName = &name;
    options.specialMapName = &mapName;
    if (language) {
      options.specialValue = [&](bool commented) {
        return std::wstring(commented ? L"// Options\t=" : L"Options\t=") + special.WriteLanguageOptions(record);
      };
    } else {
      options.specialValue = [&](bool commented) {
        special.ReadBootOptions();
        std::wstring text = special.WriteBootOrderList(commented ? L"// ListOrder\t=" : L"ListOrder\t=");
        special.FreeBootOptions();
        return text;
      };
    }
    return FormatQuestionBlock(image, record, options);
  }
  auto groups = special.LegacyGroups();
  if (!groups || groups->empty()) return std::nullopt;
  std::wstring out;
  for (const LegacyGroup& group : *groups) {
    std::wstring name = SpecialControls::LegacyGroupName(group.type, prompt);
    // A control without a map string stays without one (and is left out with /lang unless /a).
    std::wstring mapName = IsBlankText(mapPrompt) ? L"" : SpecialControls::LegacyGroupName(group.type, mapPrompt);
    options.specialName = &name;
    options.specialMapName = &mapName;
    options.specialValue = [&](bool commented) {
      return SpecialControls::WriteLegacyOrderList(group, commented ? L"// ListOrder\t=" : L"ListOrder\t=");
    };
    if (auto block = FormatQuestionBlock(image, record, options)) out += *block;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

void ExportQuestions(const SetupContext& setup, ExportRun& run, const DefaultsSource& defaults) {
  Bytes image = setup.database.Image();
  const StringLookup& strings = setup.strings;
  const SwitchSet& sw = setup.run.switches;
  QuestionWalk walk = setup.NewWalk();
  bool verbose = sw.Has(Switch::V), lang = sw.Has(Switch::Lang), all = sw.Has(Switch::A);
  bool commentOut = sw.Has(Switch::Ce);

  SeenStorage exported;
  SpecialControls special({setup.run, setup.firmware, walk.VarStores()});
  bool withBoot = sw.Has(Switch::B);
  for (const PackageList& list : setup.database.Lists()) {
    walk.VarStores().Clear();
    auto formSet = walk.FirstFormSet(list);
    if (!formSet) continue;
    exported.Clear();
    if (verbose) {
      std::wstring guid = FormatGuidTextW(formSet->guid);
      std::wstring title = ScriptString(strings, list, formSet->title, false);
      std::wstring help = ScriptString(strings, list, formSet->help, false);
      FilePrint(run.main, L"\n// FORM SET\n// GUID\t= %ls\n// Title\t= %ls\n// Help\t= %ls\n// Class\t= %02X\n// SubClass\t= %02X\n",
                guid.c_str(), title.c_str(), help.c_str(), formSet->classId, formSet->subClass);
    }
    walk.SetSubtitleSink([&](const IfrOp& op) { WriteSubtitle(strings, run.main, list, op); });

    FormInfo current;
    const FormInfo* previous = nullptr;
    while (auto form = walk.NextForm(*formSet, previous)) {
      current = *form;
      previous = &current;
      ReferenceMarks marks = walk.LookupReference(formSet->guid, current.formId);
      if (marks.hidden && !commentOut) {
        // A hidden form is walked without writing anything, so that the forms it refers to are
        // hidden too.
        size_t cursor = 0;
        QuestionRecord record;
        while (walk.NextQuestion(*formSet, current, cursor, record) != QuestionStep::FormDone) {
        }
        continue;
      }
      bool formSuppressed = marks.hidden && marks.suppressed;
      bool formGrayedOut = marks.hidden && marks.grayedOut && !marks.suppressed;
      const wchar_t* formMarker = formSuppressed ? L"\n// SUPPRESS FORM\n" : formGrayedOut ? L"\n// GRAYOUT FORM\n" : nullptr;
      bool markerWritten = false;
      if (verbose) {
        if (formMarker) {
          FileWrite(run.main, formMarker);
          markerWritten = true;
        }
        std::wstring title = ScriptString(strings, list, current.title, false);
        FilePrint(run.main, L"\n// FORM\n// FORM ID\t= %02X\n// Title\t= %ls\n", current.formId, title.c_str());
      }

      size_t cursor = 0;
      QuestionRecord record;
      while (true) {
        QuestionStep step = walk.NextQuestion(*formSet, current, cursor, record);
        if (step == QuestionStep::FormDone) break;
        if (step != QuestionStep::Question) continue;
        if (record.Kind == IFR_PASSWORD) continue;
        if (!strings.GetString(list, record.Prompt, false)) continue;

        bool duplicate = false;
        // The older layout has no duplicate detection: every question goes to the main file.
        bool testDuplicate = setup.database.Format() != HiiFormat::Older;
        if (lang && !all) testDuplicate = !IsBlankText(ScriptString(strings, list, record.Prompt, true));
        if (testDuplicate) duplicate = exported.Contains(walk.VarStores(), record);
        if (duplicate && !run.warnedDuplicate) {
          run.warnedDuplicate = true;
          if (!setup.run.Quiet() && !run.compareMode)
            Err(L"WARNING: Duplicate questions found. Only one question will be enabled in the script.");
        }

        BlockOptions options;
        options.strings = &strings;
        options.varStores = &walk.VarStores();
        options.list = &list;
        options.lang = lang;
        options.all = all;
        options.verbose = verbose;
        options.ndef = sw.Has(Switch::Ndef);
        options.duplicate = duplicate;
        options.toDuplicateFile = duplicate && run.duplicates;
        options.formSuppressed = formSuppressed;
        options.formGrayedOut = formGrayedOut;
        options.defaults = &defaults;
        std::FILE* target = options.toDuplicateFile ? run.duplicates : run.main;

        std::optional<std::wstring> block;
        SpecialControlKind kind = special.KindOf(record);
        if (kind == SpecialControlKind::None) {
          block = FormatQuestionBlock(image, record, options);
        } else {
          block = FormatSpecialBlocks(strings, image, list, record, kind, withBoot, special, options);
        }
        if (!block) continue;
        // Outside verbose mode a hidden form's marker precedes its first written question.
        if (!verbose && formMarker && !markerWritten && target == run.main) {
          FileWrite(run.main, formMarker);
          markerWritten = true;
        }
        FileWrite(target, *block);
        exported.Add(walk.VarStores(), record);
        ++run.exported;
      }
      if (formMarker && (verbose || markerWritten))
        FileWrite(run.main, formSuppressed ? L"// ENDOF SUPPRESSED FORM\n" : L"// ENDOF GRAYEDOUT FORM\n");
    }
  }
}

}  // namespace

Status ExportScriptTo(const SetupContext& setup, std::FILE* main, std::FILE* duplicates, bool compareMode) {
  ExportRun run;
  run.main = main;
  run.duplicates = duplicates;
  run.compareMode = compareMode;
  DefaultStores stores(setup.firmware);
  DefaultsSource defaults = LoadDefaultsSource(stores);
  if (setup.database.Format() != HiiFormat::Unknown) ExportQuestions(setup, run, defaults);
  if (run.exported == 0 && !setup.run.Quiet()) Err(L"WARNING: HII data does not have setup questions information\n");
  bool failed = std::fflush(main) != 0 || std::ferror(main);
  if (duplicates) failed = std::fflush(duplicates) != 0 || std::ferror(duplicates) || failed;
  if (failed) {
    Print(Stream::Err, L"ERROR:%X -  Writing NVRAM Script File\n", status::kFailure);
    return status::kFailure;
  }
  return status::kSuccess;
}

Status ExportScript(const SetupContext& setup) {
  ToolOptions& options = setup.run.options;
  if (!options.ScriptFile) {
    Print(Stream::Err, L"ERROR:%X -  Opening NVRAM Script File\n", status::kInvalidParameter);
    return status::kInvalidParameter;
  }
  // A run that ends in failure (unsupported string blocks included) never commits the script
  // files, so no partial output replaces the user's files.
  return ExportScriptTo(setup, options.ScriptFile.get(), options.DuplicateFile.get(), false);
}

void CheckMappingLanguages(const SetupContext& setup) {
  const auto& code = setup.run.langCode;
  if (!code) return;
  std::wstring names = *code;
  size_t start = 0;
  while (start <= names.size()) {
    size_t comma = names.find(L',', start);
    if (comma == std::wstring::npos) comma = names.size();
    std::wstring name = names.substr(start, comma - start);
    start = comma + 1;
    std::vector<std::string> languages{ToNarrow(name)};
    bool found = false;
    QuestionVisitor visitor;
    visitor.question = [&](const PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& record) {
      auto text = setup.strings.GetStringInLanguages(list, record.Prompt, languages);
      if (text && !text->empty()) found = true;
    };
    visitor.stop = [&] { return found; };
    setup.NewWalk().WalkQuestions(visitor, WalkMode::Plain);
    if (!found) Print(Stream::Err, L"WARNING: Given Mapping language(%ls) does not exist in the System\n", name.c_str());
  }
}

}  // namespace kes
