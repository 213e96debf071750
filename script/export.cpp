#include "script/export.h"

#include <unistd.h>

#include "base/console.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/hii_image.h"
#include "hii/question_walk.h"
#include "hii/strings.h"
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

void WriteSubtitle(std::FILE* out, const PackageList& list, const IfrOp& op) {
  std::wstring text = ScriptString(list, OpPrompt(op), false);
  if (IsBlankText(text)) return;
  FilePrint(out, L"\n// SUBTITLE\t= %ls\n", text.c_str());
}

void ExportUefi(ExportRun& run, const DefaultsSource& defaults) {
  Bytes image = HiiImage();
  const RunState& state = Run();
  const SwitchSet& sw = state.switches;
  WalkContext context = WalkContextFromRun();
  bool verbose = sw.Has(Switch::V), lang = sw.Has(Switch::Lang), all = sw.Has(Switch::A);
  bool commentOut = sw.Has(Switch::Ce);

  ResetWalkState();
  SeenStorage exported;
  for (const PackageList& list : PackageLists(image)) {
    FreeVarStoreTable();
    auto formSet = FirstFormSet(list);
    if (!formSet) continue;
    exported.Clear();
    if (verbose) {
      std::wstring guid = FormatGuidTextW(formSet->guid);
      std::wstring title = ScriptString(list, formSet->title, false);
      std::wstring help = ScriptString(list, formSet->help, false);
      FilePrint(run.main, L"\n// FORM SET\n// GUID\t= %ls\n// Title\t= %ls\n// Help\t= %ls\n// Class\t= %02X\n// SubClass\t= %02X\n",
                guid.c_str(), title.c_str(), help.c_str(), formSet->classId, formSet->subClass);
    }
    SetSubtitleSink([&](const IfrOp& op) { WriteSubtitle(run.main, list, op); });

    FormInfo current;
    const FormInfo* previous = nullptr;
    while (auto form = NextForm(*formSet, previous)) {
      current = *form;
      previous = &current;
      ReferenceMarks marks = LookupReference(formSet->guid, current.formId);
      if (marks.hidden && !commentOut) continue;
      bool formSuppressed = marks.hidden && marks.suppressed;
      bool formGrayedOut = marks.hidden && marks.grayedOut && !marks.suppressed;
      const wchar_t* formMarker = formSuppressed ? L"\n// SUPPRESS FORM\n" : formGrayedOut ? L"\n// GRAYOUT FORM\n" : nullptr;
      bool markerWritten = false;
      if (verbose) {
        if (formMarker) {
          FileWrite(run.main, formMarker);
          markerWritten = true;
        }
        std::wstring title = ScriptString(list, current.title, false);
        FilePrint(run.main, L"\n// FORM\n// FORM ID\t= %02X\n// Title\t= %ls\n", current.formId, title.c_str());
      }

      size_t cursor = 0;
      QuestionRecord record;
      while (true) {
        QuestionStep step = NextQuestion(*formSet, current, cursor, context, record);
        if (step == QuestionStep::FormDone) break;
        if (step != QuestionStep::Question) continue;
        if (record.Kind == IFR_PASSWORD) continue;
        if (!GetString(list, record.Prompt, false)) continue;

        bool duplicate = false;
        bool testDuplicate = true;
        if (lang && !all) testDuplicate = !IsBlankText(ScriptString(list, record.Prompt, true));
        if (testDuplicate) duplicate = exported.Contains(record);
        if (duplicate && !run.warnedDuplicate) {
          run.warnedDuplicate = true;
          if (!Quiet() && !run.compareMode)
            Err(L"WARNING: Duplicate questions found. Only one question will be enabled in the script.");
        }

        BlockOptions options;
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

        auto block = FormatQuestionBlock(image, record, options);
        if (!block) continue;
        // Outside verbose mode a hidden form's marker precedes its first written question.
        if (!verbose && formMarker && !markerWritten && target == run.main) {
          FileWrite(run.main, formMarker);
          markerWritten = true;
        }
        FileWrite(target, *block);
        exported.Add(record);
        ++run.exported;
      }
      if (formMarker && (verbose || markerWritten))
        FileWrite(run.main, formSuppressed ? L"// ENDOF SUPPRESSED FORM\n" : L"// ENDOF GRAYEDOUT FORM\n");
    }
  }
  SetSubtitleSink(nullptr);
  FreeVarStoreTable();
}

}  // namespace

Status ExportScriptTo(std::FILE* main, std::FILE* duplicates, bool compareMode) {
  ExportRun run;
  run.main = main;
  run.duplicates = duplicates;
  run.compareMode = compareMode;
  DefaultsSource defaults = LoadDefaultsSource();
  try {
    if (CurrentHiiFormat() == HiiFormat::Uefi) ExportUefi(run, defaults);
  } catch (...) {
    SetSubtitleSink(nullptr);
    ReleaseDefaultsSource();
    throw;
  }
  ReleaseDefaultsSource();
  if (run.exported == 0 && !Quiet()) Err(L"WARNING: HII data does not have setup questions information\n");
  bool failed = std::fflush(main) != 0 || std::ferror(main);
  if (duplicates) failed = std::fflush(duplicates) != 0 || std::ferror(duplicates) || failed;
  if (failed) {
    Print(Stream::Err, L"ERROR:%X -  Writing NVRAM Script File\n", status::kFailure);
    return status::kFailure;
  }
  return status::kSuccess;
}

Status ExportScript(ToolOptions& options) {
  if (!options.ScriptFile) {
    Print(Stream::Err, L"ERROR:%X -  Opening NVRAM Script File\n", status::kInvalidParameter);
    return status::kInvalidParameter;
  }
  try {
    return ExportScriptTo(options.ScriptFile.get(), options.DuplicateFile.get(), false);
  } catch (const UnsupportedStringBlocks&) {
    // No partial output: the script files are emptied before the run ends.
    for (std::FILE* f : {options.ScriptFile.get(), options.DuplicateFile.get()}) {
      if (!f) continue;
      std::fflush(f);
      if (ftruncate(fileno(f), 0) == 0) std::rewind(f);
    }
    throw;
  }
}

void CheckMappingLanguages(const ToolOptions&) {
  const auto& code = Run().langCode;
  if (!code) return;
  WalkContext context = WalkContextFromRun();
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
      auto text = GetStringInLanguages(list, record.Prompt, languages);
      if (text && !text->empty()) found = true;
    };
    visitor.stop = [&] { return found; };
    WalkQuestions(context, visitor, WalkMode::Plain);
    if (!found) Print(Stream::Err, L"WARNING: Given Mapping language(%ls) does not exist in the System\n", name.c_str());
  }
  FreeVarStoreTable();
}

}  // namespace kes
