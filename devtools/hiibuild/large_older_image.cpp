// A large image in the older HII layout for the export benchmark: 100 data tables per scale,
// each a form set of four forms with 50 questions (one-of, checkbox, numeric, string in turn),
// every fifth question under a suppress-if, and a second varstore selected for a few questions
// of each form. Strings in "eng" with a "fra" pack; "Lang" says "eng".
#include <stdexcept>
#include <string>

#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/older_layout.h"

namespace kes::hiibuild {

namespace {

constexpr unsigned kTablesPerScale = 100;
constexpr unsigned kForms = 4;
constexpr unsigned kQuestionsPerForm = 50;
constexpr uint16_t kSlot = 4;  // bytes of the variable per question
constexpr uint16_t kSetupSize = kForms * kQuestionsPerForm * kSlot;
constexpr uint16_t kExtraSize = 64;

EfiGuid TableGuid(unsigned index) {
  return {0x0DE0A000 + index, 0x5A5A, 0x4C4C, {0x81, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}};
}
const EfiGuid kExtraGuid{0x0DE0B000, 0x5A5A, 0x4C4C, {0x81, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x09}};

}  // namespace

LargeImage BuildLargeOlderImage(unsigned scale) {
  if (scale == 0) throw std::invalid_argument("scale must be at least 1");
  LargeImage out;
  std::vector<ByteVector> tables;
  std::vector<uint8_t> extra(kExtraSize, 0);
  for (unsigned index = 0; index < kTablesPerScale * scale; ++index) {
    EfiGuid guid = TableGuid(index);
    OlderTable t(static_cast<uint16_t>(index + 1), guid);
    t.AddLanguage("fra", L"Francais");
    t.FormSet(guid, L"Bench " + std::to_wstring(index), L"Benchmark form set", 1);
    t.VarStore(1, kExtraGuid, "BenchOlderExtra", kExtraSize);
    VarBuffer setup(kSetupSize);
    for (unsigned form = 0; form < kForms; ++form) {
      t.Form(static_cast<uint16_t>(form + 1), L"Form " + std::to_wstring(form));
      t.Subtitle(L"Settings");
      for (unsigned q = 0; q < kQuestionsPerForm; ++q) {
        unsigned n = form * kQuestionsPerForm + q;
        auto offset = static_cast<uint16_t>(n * kSlot);
        std::wstring name = L"Setting " + std::to_wstring(index) + L"." + std::to_wstring(n);
        bool conditional = q % 5 == 4;
        if (conditional) {
          t.SuppressIf();
          t.EqIdVal(static_cast<uint16_t>(offset - kSlot), 1, 7);
        }
        bool inExtra = q == 10 || q == 30;  // the second varstore, then back to Setup
        if (inExtra) {
          t.VarStoreSelect(1);
          offset = static_cast<uint16_t>((n % (kExtraSize / kSlot)) * kSlot);
        }
        switch (n % 4) {
          case 0:
            t.OneOf({.prompt = name, .help = L"Choose one", .offset = offset, .width = 1},
                    {{0, L"Disabled"}, {1, L"Enabled"}, {2, L"Auto", older::flags::kDefault}});
            if (!inExtra) setup.Put(offset, 2, 1);
            break;
          case 1:
            t.CheckBox({.prompt = name, .help = L"On or off", .offset = offset, .width = 1,
                        .key = static_cast<uint16_t>(0x1000 + n), .flags = older::flags::kDefault});
            break;
          case 2:
            t.Numeric({.prompt = name, .help = L"A number", .offset = offset, .width = 2,
                       .key = static_cast<uint16_t>(0x1000 + n)},
                      0, 1000, 1, 10);
            if (!inExtra) setup.Put(offset, n % 1000, 2);
            break;
          default:
            t.String({.prompt = name, .help = L"Two characters", .offset = offset, .width = 4,
                      .key = static_cast<uint16_t>(0x1000 + n)},
                     0, 2);
            if (!inExtra) setup.PutUcs2(offset, L"ok", 2);
            break;
        }
        if (inExtra) t.VarStoreSelect(0);
        if (conditional) t.EndIf();
        ++out.questions;
      }
      t.EndForm();
    }
    t.EndFormSet();
    out.stringsPerLanguage += t.tokenCount() - 1;
    tables.push_back(t.Bytes());
    out.variables.push_back({"Setup", guid, attr::kNvBsRt, setup.Take()});
    ++out.packageLists;
  }
  out.hii = OlderImageBytes(tables);
  out.variables.push_back({"BenchOlderExtra", kExtraGuid, attr::kNvBsRt, extra});
  out.variables.push_back({"Lang", kes::guids::kGlobalVariable, attr::kNvBsRt, {'e', 'n', 'g'}});
  return out;
}

}  // namespace kes::hiibuild
