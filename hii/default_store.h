// The firmware's default stores: "StdDefaults" (a question's "BIOS Default") and "MfgDefaults"
// (its "MFG Default"), each a whole NVAR store held in one UEFI variable. A question's default
// is the Width bytes at its VarOffset in its varstore variable's data inside the store.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"
#include "hii/nvar_store.h"

namespace kes {

enum class DefaultStore : uint8_t { Std = 0, Mfg = 1 };

// The variable name: L"StdDefaults" or L"MfgDefaults" (GUID nvar::kDefaultsGuid).
const wchar_t* DefaultStoreName(DefaultStore store);

// Erase polarity as reported by the firmware; ours never report one.
inline constexpr uint8_t kPolarityUnknown = 0xFF;

// The state of the default stores in one run.
struct DefaultStoreState {
  struct Image {
    bool present = false;        // the variable exists
    uint32_t attributes = 0;     // its attributes as read
    std::vector<uint8_t> bytes;  // its content as read (or as last written back)
    std::array<std::optional<NvarStore>, 2> byPolarity;  // opened on first use
    bool changed = false;        // a default was set into byPolarity[polarity]
    // The last variable looked up (found or not), so that the questions of one varstore share
    // one walk of the store.
    struct Lookup {
      std::u16string name;
      EfiGuid guid;
      std::optional<std::vector<uint8_t>> data;
      uint32_t attributes = 0;
    };
    std::optional<Lookup> last;
  };
  bool loaded = false;
  // The firmware's polarity (0 or 1), or kPolarityUnknown until a lookup succeeds under one;
  // that one is then kept for the rest of the run.
  uint8_t polarity = kPolarityUnknown;
  std::array<Image, 2> images;
};

// The two default stores of one run, read through the firmware access on first use and kept
// until the object goes away.
class DefaultStores {
 public:
  explicit DefaultStores(FirmwareAccess& firmware) : firmware_(firmware) {}

  // Reads both variables (again). The lookups below load them on first use.
  void LoadDefaultStores();
  bool DefaultStorePresent(DefaultStore store);

  // The whole data of a varstore variable inside a default store; nullopt when the store is
  // absent or does not hold the variable.
  std::optional<std::vector<uint8_t>> FindDefaultVariable(DefaultStore store, const EfiGuid& guid,
                                                          std::wstring_view name, uint32_t* attributes = nullptr);
  // A question's default: width bytes at varOffset of its variable in the store; nullopt also when
  // they run past the variable's data.
  std::optional<std::vector<uint8_t>> FindQuestionDefault(DefaultStore store, const EfiGuid& guid,
                                                          std::wstring_view name, size_t varOffset, size_t width);

  // Sets the whole data of a variable into the store image (with its attributes, or 7 when the
  // store does not hold it yet). kNotFound when the store itself is absent.
  EfiStatus SetDefaultVariable(DefaultStore store, const EfiGuid& guid, std::wstring_view name,
                               std::span<const uint8_t> data);
  // Replaces value.size() bytes at varOffset of a variable the store holds. False when the store
  // or the variable is absent, the bytes run past its data, or the store cannot take the write.
  bool SetQuestionDefault(DefaultStore store, const EfiGuid& guid, std::wstring_view name, size_t varOffset,
                          std::span<const uint8_t> value);

  // After an import: every image changed in this run whose content differs from the variable as
  // the firmware now holds it is written back with the variable's attributes. A failure prints
  // "Error Writing Variable %ls to NVRAM\n" and sets run.ImportErrors; a write sets run.SystemModified.
  // Returns 0, or 1 when a write failed.
  Status WriteBackDefaultStores(RunState& run);

  // The state, for tests.
  const DefaultStoreState& State() const { return state_; }

 private:
  DefaultStoreState::Image& ImageOf(DefaultStore store);

  FirmwareAccess& firmware_;
  DefaultStoreState state_;
};

}  // namespace kes
