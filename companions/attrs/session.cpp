#include "companions/attrs/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "firmware/hii_retrieval.h"
#include "firmware/passwords.h"
#include "firmware/platform.h"
#include "hii/older_layout.h"

namespace kes::attrs {

namespace {

// The largest HII dump read offline; real databases are a few megabytes at most.
constexpr size_t kMaxHiiFileBytes = size_t{256} << 20;

void Say(const std::string& text) { WriteNarrow(Stream::Err, "kestrel-attrs: " + text + "\n"); }

}  // namespace

Session::~Session() {
  setup_.reset();
  evaluator_.reset();
  strings_.reset();
  database_.reset();
  if (firmware_ && unlocked_) {
    std::string said;
    {
      ConsoleCapture capture;
      RelockProtectedVariables(*firmware_);
      said = capture.out() + capture.err();
    }
    WriteNarrow(Stream::Err, said);
  }
  std::fill(run_.currentAdmin.Text.begin(), run_.currentAdmin.Text.end(), L'\0');
  std::fill(run_.currentAdmin.Units.begin(), run_.currentAdmin.Units.end(), uint16_t{0});
  if (!offlineRoot_.empty()) {
    // Only what this session made: the link (never what it points to) and two directories.
    unlink((offlineRoot_ + "/efi/efivars").c_str());
    rmdir((offlineRoot_ + "/efi").c_str());
    rmdir(offlineRoot_.c_str());
  }
}

bool Session::Open(const SessionOptions& options) {
  // The boot order control is taken by the import only when asked for, as /b does.
  run_.switches.Set(Switch::B);
  bool offline = !options.hiiFile.empty() || !options.varsDir.empty();
  return offline ? OpenOffline(options) : OpenLive(options);
}

bool Session::OpenLive(const SessionOptions& options) {
  // Standard output carries the document alone: what the firmware steps say goes to standard
  // error.
  std::string said;
  bool opened;
  {
    ConsoleCapture capture;
    opened = OpenLiveSteps(options);
    said = capture.out() + capture.err();
  }
  WriteNarrow(Stream::Err, said);
  return opened;
}

bool Session::OpenLiveSteps(const SessionOptions& options) {
  firmware_ = std::make_unique<FirmwareAccess>();
  firmware_->log = &run_.log;
  if (!ValidatePlatform(run_, *firmware_)) {
    Say("this platform is not supported (no firmware identification table under " + firmware_->Root() + ")");
    return false;
  }
  if (options.currentAdmin.Given()) {
    run_.currentAdmin = options.currentAdmin;
    run_.switches.Set(Switch::Cpwd);
    Status s = ChangeSetupPasswords(run_, *firmware_);
    unlocked_ = firmware_->setupUnlocked;
    if (s != status::kSuccess) {
      Say("the current admin password was not accepted");
      return false;
    }
  }
  if (Status s = RetrieveHiiDatabase(run_, *firmware_); s != status::kSuccess) {
    Say(NFormat("the HII database could not be read from the firmware (status 0x%X)", static_cast<unsigned>(s)));
    return false;
  }
  return Prepare();
}

bool Session::OpenOffline(const SessionOptions& options) {
  if (options.hiiFile.empty() || options.varsDir.empty()) {
    Say("offline use needs both --hii FILE and --vars DIR");
    return false;
  }
  auto bytes = ReadWholeFile(options.hiiFile, kMaxHiiFileBytes + 1);
  if (!bytes || bytes->size() > kMaxHiiFileBytes) {
    Say("cannot read the HII database " + options.hiiFile);
    return false;
  }
  run_.options.HiiDatabase = std::move(*bytes);
  struct stat st {};
  char resolved[PATH_MAX];
  if (stat(options.varsDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !realpath(options.varsDir.c_str(), resolved)) {
    Say("the variables directory " + options.varsDir + " does not exist");
    return false;
  }
  // A firmware root laid out like /sys/firmware whose efivars is the given directory, so that
  // every variable goes through the firmware access layer as on a live system.
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrel-attrs-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    Say("cannot make a temporary directory");
    return false;
  }
  offlineRoot_ = name.data();
  if (mkdir((offlineRoot_ + "/efi").c_str(), 0700) != 0 ||
      symlink(resolved, (offlineRoot_ + "/efi/efivars").c_str()) != 0) {
    Say("cannot prepare the offline firmware root in " + offlineRoot_);
    return false;
  }
  firmware_ = std::make_unique<FirmwareAccess>(offlineRoot_, true);
  firmware_->log = &run_.log;
  return Prepare();
}

bool Session::Prepare() {
  Bytes image(run_.options.HiiDatabase);
  if (ClassifyHiiLayout(image) == HiiFormat::Unknown) {
    Say("the HII database is in no layout this tool reads");
    return false;
  }
  database_ = std::make_unique<HiiDatabase>(image);
  StringOptions stringOptions;
  bool older = database_->Format() == HiiFormat::Older;
  if (older) stringOptions.olderLanguage = older::ReadLanguage(*firmware_);
  strings_ = std::make_unique<StringLookup>(*database_, std::move(stringOptions));
  evaluator_ = std::make_unique<Evaluator>(*database_, *strings_, *firmware_);
  // The older layout's conditions are not expressions; without evaluation nothing is hidden.
  bool evaluating = !older && evaluator_->InitializeEvaluation() == efi::kSuccess;
  if (!older && !evaluating) Say("warning: conditions cannot be evaluated; Hidden and GrayOut are false throughout");
  setup_.emplace(SetupContext{run_, *firmware_, *database_, *strings_, evaluating ? evaluator_.get() : nullptr});
  return true;
}

}  // namespace kes::attrs
