#define FUSE_USE_VERSION 31
#include "companions/fwemu/fuse_filesystem.h"

#include <fuse.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <span>

namespace kes::fwemu {

namespace {

constexpr char kEfivarsDir[] = "/efi/efivars";
constexpr char kFidtPath[] = "/acpi/tables/FIDT";

// One open file: what the last write() carried, so that a write the kernel split into
// max_write-sized pieces still reaches the firmware as one SetVariable.
struct OpenFile {
  std::vector<uint8_t> written;
  uint64_t end = 0;
  size_t lastChunk = 0;
};

struct Filesystem {
  EfivarfsModel* efivars = nullptr;
  const std::optional<std::vector<uint8_t>>* fidt = nullptr;
  std::map<uint64_t, OpenFile> open;
  uint64_t nextHandle = 1;
  unsigned maxWrite = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  time_t started = 0;
  // When each variable file was last created or successfully written: efivarfs sets the
  // modification and change times then; other files keep the mount time.
  std::map<std::string, timespec> modified;
};

Filesystem& Fs() { return *static_cast<Filesystem*>(fuse_get_context()->private_data); }

enum class Node { kNone, kDirectory, kVariable, kFidt };

// Classifies a path; for a variable, fileName receives its canonical name. libfuse passes no
// path for a file that was unlinked while open.
Node Classify(const char* rawPath, std::string* fileName = nullptr) {
  if (!rawPath) return Node::kNone;
  std::string path(rawPath);
  if (path == "/" || path == "/efi" || path == kEfivarsDir || path == "/acpi" || path == "/acpi/tables") {
    return Node::kDirectory;
  }
  if (path == kFidtPath) return *Fs().fidt ? Node::kFidt : Node::kNone;
  std::string prefix = std::string(kEfivarsDir) + "/";
  if (path.rfind(prefix, 0) == 0 && path.find('/', prefix.size()) == std::string::npos) {
    std::string name = EfivarfsModel::Canonical(path.substr(prefix.size()));
    if (fileName) *fileName = name;
    return Node::kVariable;
  }
  return Node::kNone;
}

void FillTimes(struct stat* st) {
  st->st_uid = Fs().uid;
  st->st_gid = Fs().gid;
  st->st_atime = st->st_mtime = st->st_ctime = Fs().started;
}

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  // Every answer comes from the firmware afresh: no attribute, name or data caching, and
  // unlinking an open file removes it at once. There is no flush operation: a write reports its
  // outcome itself, so close() has nothing to wait for, and the kernel stops sending FLUSH after
  // the first one is refused as unimplemented.
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->hard_remove = 1;
  auto* fs = static_cast<Filesystem*>(fuse_get_context()->private_data);
  fs->maxWrite = conn->max_write;
  return fs;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  FillTimes(st);
  std::string name;
  switch (Classify(path, &name)) {
    case Node::kDirectory:
      st->st_mode = S_IFDIR | 0755;
      st->st_nlink = 2;
      return 0;
    case Node::kFidt:
      st->st_mode = S_IFREG | 0400;
      st->st_nlink = 1;
      st->st_size = static_cast<off_t>((*Fs().fidt)->size());
      return 0;
    case Node::kVariable:
      if (!Fs().efivars->Exists(name)) return -ENOENT;
      st->st_mode = S_IFREG | 0644;
      st->st_nlink = 1;
      st->st_size = static_cast<off_t>(Fs().efivars->Size(name));
      if (auto it = Fs().modified.find(name); it != Fs().modified.end()) st->st_mtim = st->st_ctim = it->second;
      return 0;
    case Node::kNone: break;
  }
  return -ENOENT;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (!path) return -ENOENT;
  std::string p(path);
  std::vector<std::string> names;
  if (p == "/") names = {"efi", "acpi"};
  else if (p == "/efi") names = {"efivars"};
  else if (p == "/acpi") names = {"tables"};
  else if (p == "/acpi/tables") {
    if (*Fs().fidt) names = {"FIDT"};
  } else if (p == kEfivarsDir) names = Fs().efivars->List();
  else return Classify(path) == Node::kNone ? -ENOENT : -ENOTDIR;
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto& name : names) filler(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

uint64_t NewHandle(fuse_file_info* fi) {
  uint64_t handle = Fs().nextHandle++;
  Fs().open[handle] = OpenFile{};
  fi->fh = handle;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return handle;
}

bool ForWriting(const fuse_file_info* fi) { return (fi->flags & O_ACCMODE) != O_RDONLY; }

void Touch(const std::string& name) { clock_gettime(CLOCK_REALTIME, &Fs().modified[name]); }

// Variable files cannot be seeked (lseek fails with ESPIPE), as efivarfs has no llseek.
void VariableHandle(fuse_file_info* fi) {
  NewHandle(fi);
  fi->nonseekable = 1;
}

int Open(const char* path, fuse_file_info* fi) {
  std::string name;
  switch (Classify(path, &name)) {
    case Node::kVariable:
      if (int e = Fs().efivars->CheckOpen(name, ForWriting(fi))) return -e;
      VariableHandle(fi);
      return 0;
    case Node::kFidt:
      if (ForWriting(fi)) return -EACCES;
      NewHandle(fi);
      return 0;
    case Node::kDirectory: return -EISDIR;
    case Node::kNone: break;
  }
  return -ENOENT;
}

int Create(const char* path, mode_t, fuse_file_info* fi) {
  std::string name;
  if (Classify(path, &name) != Node::kVariable) return Classify(path) == Node::kNone ? -EACCES : -EEXIST;
  int e = Fs().efivars->Create(name);
  if (e == EEXIST && !(fi->flags & O_EXCL)) e = Fs().efivars->CheckOpen(name, ForWriting(fi));
  if (e) return -e;
  Touch(name);
  VariableHandle(fi);
  return 0;
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
  std::string name;
  if (offset < 0) return -EINVAL;
  switch (Classify(path, &name)) {
    case Node::kVariable: {
      if (!Fs().efivars->Exists(name)) return -ENOENT;
      auto out = std::span(reinterpret_cast<uint8_t*>(buf), size);
      return static_cast<int>(Fs().efivars->Read(name, static_cast<uint64_t>(offset), out));
    }
    case Node::kFidt: {
      const auto& table = **Fs().fidt;
      if (static_cast<uint64_t>(offset) >= table.size()) return 0;
      size_t n = std::min(size, table.size() - static_cast<size_t>(offset));
      std::memcpy(buf, table.data() + offset, n);
      return static_cast<int>(n);
    }
    case Node::kDirectory: return -EISDIR;
    case Node::kNone: break;
  }
  return -ENOENT;
}

int Write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  std::string name;
  Node node = Classify(path, &name);
  if (node != Node::kVariable) return node == Node::kNone ? -ENOENT : -EACCES;
  OpenFile& file = Fs().open[fi->fh];
  // Every write() is one whole variable, wherever its offset (efivarfs ignores the offset), so a
  // client that writes the attribute word and the data separately fails as it would there. Only
  // a piece that follows a piece of (nearly: the kernel splits at page boundaries of the
  // caller's buffer) max_write bytes continues it: the kernel split one large write().
  static const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto split = [](size_t piece) { return Fs().maxWrite > pageSize && piece > Fs().maxWrite - pageSize; };
  bool continues = offset > 0 && static_cast<uint64_t>(offset) == file.end && split(file.lastChunk);
  std::span<const uint8_t> piece(reinterpret_cast<const uint8_t*>(buf), size);
  std::vector<uint8_t> joined;
  if (continues) {
    joined.reserve(file.written.size() + size);
    joined = file.written;
    joined.insert(joined.end(), piece.begin(), piece.end());
  }
  std::span<const uint8_t> content = continues ? std::span<const uint8_t>(joined) : piece;
  if (int e = Fs().efivars->Write(name, content)) return -e;
  Touch(name);
  // Only what a later piece may continue is kept: small writes (every mailbox request) are not
  // copied.
  if (!split(size)) file.written.clear();
  else if (continues) file.written = std::move(joined);
  else file.written.assign(piece.begin(), piece.end());
  file.end = static_cast<uint64_t>(offset) + size;
  file.lastChunk = size;
  return static_cast<int>(size);
}

int Truncate(const char* path, off_t, fuse_file_info* fi) {
  std::string name;
  switch (Classify(path, &name)) {
    case Node::kVariable:
      // Never changes the variable; by path it is refused while the file is immutable.
      if (!fi) {
        if (int e = Fs().efivars->CheckOpen(name, true)) return -e;
      }
      return Fs().efivars->Exists(name) ? 0 : -ENOENT;
    case Node::kFidt: return -EACCES;
    case Node::kDirectory: return -EISDIR;
    case Node::kNone: break;
  }
  return -ENOENT;
}

int Unlink(const char* path) {
  std::string name;
  Node node = Classify(path, &name);
  if (node != Node::kVariable) return node == Node::kNone ? -ENOENT : -EPERM;
  return -Fs().efivars->Unlink(name);
}

int Ioctl(const char* path, int cmd, void*, fuse_file_info*, unsigned int flags, void* data) {
  std::string name;
  if ((flags & FUSE_IOCTL_DIR) || Classify(path, &name) != Node::kVariable) return -ENOTTY;
  auto command = static_cast<unsigned int>(cmd);
  // The kernel passes the flags word as 4 bytes whatever the command's encoded size.
  if (command == static_cast<unsigned int>(FS_IOC_GETFLAGS) || command == static_cast<unsigned int>(FS_IOC32_GETFLAGS)) {
    uint32_t value = 0;
    if (int e = Fs().efivars->GetFlags(name, value)) return -e;
    std::memcpy(data, &value, sizeof value);
    return 0;
  }
  if (command == static_cast<unsigned int>(FS_IOC_SETFLAGS) || command == static_cast<unsigned int>(FS_IOC32_SETFLAGS)) {
    uint32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    return -Fs().efivars->SetFlags(name, value);
  }
  // The kernel reads the extended attribute word before it changes the flags.
  if (command == static_cast<unsigned int>(FS_IOC_FSGETXATTR)) {
    uint32_t value = 0;
    if (int e = Fs().efivars->GetFlags(name, value)) return -e;
    fsxattr attr{};
    attr.fsx_xflags = (value & kImmutableFlag) ? FS_XFLAG_IMMUTABLE : 0;
    std::memcpy(data, &attr, sizeof attr);
    return 0;
  }
  if (command == static_cast<unsigned int>(FS_IOC_FSSETXATTR)) {
    fsxattr attr{};
    std::memcpy(&attr, data, sizeof attr);
    if (attr.fsx_xflags & ~static_cast<uint32_t>(FS_XFLAG_IMMUTABLE)) return -EOPNOTSUPP;
    return -Fs().efivars->SetFlags(name, (attr.fsx_xflags & FS_XFLAG_IMMUTABLE) ? kImmutableFlag : 0);
  }
  return -ENOTTY;
}

int Release(const char*, fuse_file_info* fi) {
  Fs().open.erase(fi->fh);
  return 0;
}

int Refuse(const char*) { return -EPERM; }
int RefuseMkdir(const char*, mode_t) { return -EPERM; }
int RefuseLink(const char*, const char*) { return -EPERM; }
int RefuseRename(const char*, const char*, unsigned int) { return -EPERM; }
int RefuseChmod(const char*, mode_t, fuse_file_info*) { return -EPERM; }
int RefuseChown(const char*, uid_t, gid_t, fuse_file_info*) { return -EPERM; }
int Utimens(const char* path, const timespec*, fuse_file_info*) {
  return Classify(path) == Node::kNone ? -ENOENT : 0;
}
int Fsync(const char*, int, fuse_file_info*) { return 0; }

int StatFs(const char*, struct statvfs* st) {
  std::memset(st, 0, sizeof *st);
  st->f_bsize = 4096;
  st->f_frsize = 4096;
  st->f_namemax = 255;
  return 0;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.unlink = Unlink;
  ops.ioctl = Ioctl;
  ops.release = Release;
  ops.rmdir = Refuse;
  ops.mkdir = RefuseMkdir;
  ops.symlink = RefuseLink;
  ops.link = RefuseLink;
  ops.rename = RefuseRename;
  ops.chmod = RefuseChmod;
  ops.chown = RefuseChown;
  ops.utimens = Utimens;
  ops.fsync = Fsync;
  ops.statfs = StatFs;
  return ops;
}

}  // namespace

int ServeFirmware(EfivarfsModel& efivars, const std::optional<std::vector<uint8_t>>& fidt,
                  const MountOptions& options, std::string& error) {
  Filesystem fs;
  fs.efivars = &efivars;
  fs.fidt = &fidt;
  fs.uid = getuid();
  fs.gid = getgid();
  fs.started = time(nullptr);

  std::vector<std::string> argvText = {"kestrel-fwemu", "-o", "fsname=kestrel-fwemu,subtype=kestrel-fwemu"};
  for (const auto& o : options.fuseOptions) {
    argvText.push_back("-o");
    argvText.push_back(o);
  }
  if (options.fuseDebug) argvText.push_back("-d");
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());

  fuse_operations ops = Operations();
  fuse* f = fuse_new(&args, &ops, sizeof ops, &fs);
  if (!f) {
    error = "cannot set up the file system (bad -o option?)";
    fuse_opt_free_args(&args);
    return 1;
  }
  if (fuse_mount(f, options.mountPoint.c_str()) != 0) {
    error = "cannot mount on " + options.mountPoint + " (is /dev/fuse there, and fusermount3 installed?)";
    fuse_destroy(f);
    fuse_opt_free_args(&args);
    return 1;
  }
  fuse_session* session = fuse_get_session(f);
  int result = 1;
  // libfuse only takes over signals left at their default; a shell starting the emulator in the
  // background ignores SIGINT, which must still stop it cleanly.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  if (fuse_set_signal_handlers(session) != 0) {
    error = "cannot install the signal handlers";
  } else if (fuse_daemonize(options.foreground ? 1 : 0) != 0) {
    error = "cannot go to the background";
    fuse_remove_signal_handlers(session);
  } else {
    // Single-threaded: the firmware model needs no locking.
    int loop = fuse_loop(f);
    fuse_remove_signal_handlers(session);
    // A signal that ends the loop comes back as its positive number: a clean stop.
    result = loop < 0 ? 1 : 0;
    if (loop < 0) error = std::string("file system loop failed: ") + std::strerror(-loop);
  }
  fuse_unmount(f);
  fuse_destroy(f);
  fuse_opt_free_args(&args);
  return result;
}

}  // namespace kes::fwemu
