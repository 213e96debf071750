#include "base/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <optional>
#include <utility>

namespace kes {
namespace {

constexpr int kMaxLinkHops = 40;       // as the kernel's own limit on symbolic links
constexpr int kMaxNameAttempts = 100;  // temporary names tried before giving up
constexpr size_t kMaxBaseInName = 200; // keeps the temporary's name below NAME_MAX

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a write would really land on: symbolic links of the last component are followed,
// so that replacing the file keeps the user's link and replaces what it points to.
std::optional<std::string> FollowLinks(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string link(PATH_MAX, '\0');
    ssize_t n = readlink(path.c_str(), link.data(), link.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) >= link.size()) {
      errno = ENAMETOOLONG;
      return std::nullopt;
    }
    link.resize(static_cast<size_t>(n));
    path = link.starts_with('/') ? link : DirectoryOf(path) + "/" + link;
  }
  errno = ELOOP;
  return std::nullopt;
}

// A regular file that is the tool's own standard output or error: the user asked for the
// stream (for example /dev/stdout redirected to a file), which cannot be replaced.
bool IsStandardStream(const struct stat& st) {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat s;
    if (fstat(fd, &s) == 0 && s.st_dev == st.st_dev && s.st_ino == st.st_ino) return true;
  }
  return false;
}

std::string TemporaryName(const std::string& target, int attempt) {
  uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  seed ^= (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15ULL;
  seed ^= seed >> 29;
  seed *= 0xBF58476D1CE4E5B9ULL;
  seed ^= seed >> 32;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(seed));
  return DirectoryOf(target) + "/." + BaseOf(target).substr(0, kMaxBaseInName) + suffix;
}

// Makes sure a completed rename survives a crash. A directory that cannot be synced changes
// nothing for the run.
void SyncDirectory(const std::string& path) {
  int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

std::FILE* StreamFor(int fd, const char* mode) {
  std::FILE* stream = fdopen(fd, mode);
  if (!stream) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}

}  // namespace

OutputFile::OutputFile(OutputFile&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      target_(std::move(other.target_)),
      temp_(std::exchange(other.temp_, std::string())) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Discard();
    stream_ = std::exchange(other.stream_, nullptr);
    target_ = std::move(other.target_);
    temp_ = std::exchange(other.temp_, std::string());
  }
  return *this;
}

bool OutputFile::Open(const std::string& path) {
  Discard();
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && (!S_ISREG(st.st_mode) || IsStandardStream(st))) {
    // Appending keeps what the stream already holds (the banner, when standard output is a
    // file); pipes and devices do not care.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    stream_ = StreamFor(fd, "w");
    return stream_ != nullptr;
  }

  std::optional<std::string> target = FollowLinks(path);
  if (!target) return false;
  // A file the user may not write stays refused, as opening it for writing would have been.
  if (exists && access(target->c_str(), W_OK) != 0) return false;
  int fd = -1;
  std::string temp;
  for (int attempt = 0; fd < 0 && attempt < kMaxNameAttempts; ++attempt) {
    temp = TemporaryName(*target, attempt);
    fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  if (exists) {
    // The replacement keeps the owner and the permissions of the file it replaces, as writing
    // into that file did (the tool runs as administrator on users' files).
    (void)fchown(fd, st.st_uid, st.st_gid);
    (void)fchmod(fd, st.st_mode & 0777);
  }
  stream_ = StreamFor(fd, "w+");
  if (!stream_) {
    int saved = errno;
    unlink(temp.c_str());
    errno = saved;
    return false;
  }
  target_ = std::move(*target);
  temp_ = std::move(temp);
  return true;
}

void OutputFile::reset(std::FILE* stream) {
  Discard();
  stream_ = stream;
}

bool OutputFile::Close() {
  if (!stream_) return true;
  std::FILE* stream = std::exchange(stream_, nullptr);
  bool ok = std::fflush(stream) == 0 && !std::ferror(stream);
  if (ok && Replacing()) ok = fsync(fileno(stream)) == 0;
  ok = std::fclose(stream) == 0 && ok;
  if (!ok) Discard();
  return ok;
}

bool OutputFile::Commit() {
  if (!Close()) return false;
  if (!Replacing()) return true;
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    int saved = errno;
    Discard();
    errno = saved;
    return false;
  }
  SyncDirectory(target_);
  temp_.clear();
  target_.clear();
  return true;
}

void OutputFile::Discard() {
  if (stream_) std::fclose(std::exchange(stream_, nullptr));
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
  target_.clear();
}

std::FILE* CreateNewFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  return fd < 0 ? nullptr : StreamFor(fd, "w+");
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  bool hasA = stat(a.c_str(), &sa) == 0, hasB = stat(b.c_str(), &sb) == 0;
  if (hasA && hasB) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (hasA != hasB) return false;
  namespace fs = std::filesystem;
  auto normal = [](const std::string& name) {
    std::error_code ec;
    fs::path absolute = fs::absolute(name, ec);
    if (ec) absolute = name;
    fs::path resolved = fs::weakly_canonical(absolute, ec);
    return (ec ? absolute : resolved).lexically_normal();
  };
  return normal(a) == normal(b);
}

}  // namespace kes
