// What one kestrel-attrs run reads the Setup questions from: the live firmware (through the
// mailbox, under KESTREL_SYSFS_FIRMWARE like the tool), or offline an HII dump with a directory
// of variables in efivarfs format. The session owns the run record, the firmware access, the
// database, its string lookup and the evaluator, and hands out the SetupContext over them.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/setup_context.h"
#include "hii/strings.h"

namespace kes::attrs {

struct SessionOptions {
  std::string hiiFile;   // offline: the HII database dump
  std::string varsDir;   // offline: the variables, one efivarfs file each
  PasswordInput currentAdmin;  // presented before anything is read (live only)
};

class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Reads the HII database and prepares the evaluation. False after printing why not.
  bool Open(const SessionOptions& options);
  const SetupContext& Setup() const { return *setup_; }
  RunState& Run() { return run_; }

 private:
  bool OpenOffline(const SessionOptions& options);
  bool OpenLive(const SessionOptions& options);
  bool OpenLiveSteps(const SessionOptions& options);
  bool Prepare();

  RunState run_;
  std::unique_ptr<FirmwareAccess> firmware_;
  std::string offlineRoot_;   // the temporary firmware root of an offline session
  bool unlocked_ = false;
  std::unique_ptr<HiiDatabase> database_;
  std::unique_ptr<StringLookup> strings_;
  std::unique_ptr<Evaluator> evaluator_;
  std::optional<SetupContext> setup_;
};

}  // namespace kes::attrs
