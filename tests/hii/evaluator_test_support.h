// Shared set-up of the condition evaluator's tests: a temporary efivarfs tree under
// KESTREL_SYSFS_FIRMWARE holding the variables a test writes, and the image under evaluation.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/run_state.h"
#include <memory>

#include "firmware/firmware_access.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/question_walk.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/emulator_image.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::evaltest {

inline constexpr EfiGuid kSetupGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EfiGuid kListGuid{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
inline constexpr EfiGuid kFormSetGuid{0xA0A0A0A0, 0xB1B1, 0xC2C2, {0xD3, 0xD3, 0xE4, 0xE4, 0xE4, 0xE4, 0xE4, 0xE4}};

// Offset in the image of an opcode of the first forms package of the first package list, from
// its offset inside the package (as the builder reports it).
inline size_t InImage(size_t packageOffset) { return hiibuild::kPackageListHeaderSize + packageOffset; }

class EvaluatorTest : public ::testing::Test {
 protected:
  void SetUp() override { PutVariable("PlatformLangCodes", guids::kGlobalVariable, Ascii("en-US")); }

  static std::vector<uint8_t> Ascii(const std::string& text) {
    std::vector<uint8_t> out(text.begin(), text.end());
    out.push_back(0);
    return out;
  }

  void PutVariable(const std::string& name, const EfiGuid& guid, std::vector<uint8_t> data, uint32_t attributes = 7) {
    firmware_.PutVar(name, guid, attributes, data);
  }
  void RemoveVariable(const std::string& name, const EfiGuid& guid) { firmware_.RemoveVar(name, guid); }

  // Makes `image` the run's image and initialises evaluation over it.
  void Load(std::vector<uint8_t> image) {
    evaluator_.reset();
    strings_.reset();
    image_ = std::move(image);
    database_ = std::make_unique<HiiDatabase>(image_);
    strings_ = std::make_unique<StringLookup>(*database_, StringOptions{});
    evaluator_ = std::make_unique<Evaluator>(*database_, *strings_, fw_);
    ASSERT_EQ(evaluator_->InitializeEvaluation(), efi::kSuccess);
  }

  // A question walk over the loaded image.
  void Walk(WalkContext context, const QuestionVisitor& visitor) {
    QuestionWalk(*database_, *strings_, fw_, evaluator_.get(), std::move(context)).WalkQuestions(visitor);
  }

  uint16_t Page(uint16_t formId, const EfiGuid& formSet = kFormSetGuid) {
    auto page = evaluator_->FindPageIndex(formId, formSet);
    EXPECT_TRUE(page.has_value()) << "form " << formId;
    return page.value_or(0);
  }

  test::PlainFirmwareRoot firmware_{true, true};
  FirmwareAccess& fw_ = firmware_.access();
  std::vector<uint8_t> image_;
  std::unique_ptr<HiiDatabase> database_;
  std::unique_ptr<StringLookup> strings_;
  std::unique_ptr<Evaluator> evaluator_;
};

}  // namespace kes::evaltest
