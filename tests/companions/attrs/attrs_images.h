// The firmware images the kestrel-attrs tests read offline: the demo firmware, the older-layout
// demo and every real capture in tests/data/real-hii/ (found there, not named), each with a
// directory of variables, and running kestrel-attrs and the test's Python scripts.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/guid.h"
#include "base/text.h"
#include "hii/question_walk.h"
#include "tests/support/test_support.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"

namespace kes::attrs::test_images {

inline kes::test::ProcessResult RunAttrs(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KESTREL_ATTRS_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return kes::test::RunProcess(argv);
}

// Runs a script of tests/companions/attrs with Debian's python3.
inline kes::test::ProcessResult RunPython(const std::string& script, const std::vector<std::string>& args) {
  std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  std::vector<std::string> argv{python, kes::test::SourceDir() + "/tests/companions/attrs/" + script};
  argv.insert(argv.end(), args.begin(), args.end());
  return kes::test::RunProcess(argv);
}

// The real captures, by file name.
inline std::vector<std::string> RealCaptures() {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(kes::test::SourceDir() + "/tests/data/real-hii")) {
    std::string name = entry.path().filename().string();
    if (name.size() > 8 && name.compare(name.size() - 8, 8, "-hii.bin") == 0) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A real capture's varstores hold no variables on the machine it came from: each is supplied,
// zero-filled, at its declared size.
inline bool WriteZeroVariables(const std::string& hii, const std::string& vars) {
  kes::test::MakeDirs(vars);
  Session probe;
  if (!probe.Open({hii, vars, {}})) return false;
  QuestionWalk walk = probe.Setup().NewWalk(WalkContext{});
  std::map<std::string, std::vector<uint8_t>> files;
  QuestionVisitor visitor;
  visitor.question = [&](const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
    if (const VarStoreEntry* e = walk.VarStores().At(r.VarStoreIndex))
      files[ToNarrow(e->Name) + "-" + FormatGuidText(e->Guid)] = std::vector<uint8_t>(4 + e->Size, 0);
  };
  walk.WalkQuestions(visitor);
  for (auto& [file, bytes] : files) {
    bytes[0] = 7;
    kes::test::WriteFileBytes(vars + "/" + file, bytes);
  }
  return true;
}

struct Image {
  std::string name;
  std::string hii;
  std::string vars;
};

// The images by name: "demo", "older" and each real capture's file name.
inline std::vector<std::string> ImageNames() {
  std::vector<std::string> out{"demo", "older"};
  for (const std::string& capture : RealCaptures()) out.push_back(capture);
  return out;
}

// One image, written under `dir`; none when it cannot be.
inline std::optional<Image> MakeImage(const std::string& name, const std::string& dir) {
  if (name == "demo" || name == "older") {
    hiibuild::EmulatorImage built = name == "demo" ? hiibuild::BuildDemoFirmware() : hiibuild::BuildOlderDemoFirmware();
    if (!hiibuild::WriteEmulatorImage(dir + "/" + name, built).empty()) return std::nullopt;
    return Image{name, dir + "/" + name + "/hii.bin", dir + "/" + name + "/vars"};
  }
  Image image{name, kes::test::SourceDir() + "/tests/data/real-hii/" + name, dir + "/" + name + "-vars"};
  if (!WriteZeroVariables(image.hii, image.vars)) return std::nullopt;
  return image;
}

// Every image, written under `dir`.
inline std::vector<Image> AllImages(const std::string& dir) {
  std::vector<Image> out;
  for (const std::string& name : ImageNames())
    if (auto image = MakeImage(name, dir)) out.push_back(std::move(*image));
  return out;
}

// A test name for an image.
inline std::string ImageTestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string out = info.param;
  for (char& c : out)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) c = '_';
  return out;
}

// Every file of a variables directory with its bytes.
inline std::map<std::string, std::vector<uint8_t>> Variables(const std::string& vars) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (const auto& entry : std::filesystem::directory_iterator(vars)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("KMBX-", 0) == 0) continue;  // the mailbox
    out[name] = kes::test::ReadFileBytes(entry.path().string()).value_or(std::vector<uint8_t>{});
  }
  return out;
}

}  // namespace kes::attrs::test_images
