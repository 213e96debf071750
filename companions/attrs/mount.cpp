#define FUSE_USE_VERSION 31
#include "companions/attrs/mount.h"

#include <fcntl.h>
#include <fuse.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "base/console.h"
#include "firmware/passwords.h"
#include "companions/attrs/mount_tree.h"
#include "companions/attrs/operations.h"

namespace kes::attrs {

namespace {

struct Mount {
  AttributeTree* tree = nullptr;
  uid_t uid = 0;
  gid_t gid = 0;
  time_t started = 0;
  uint64_t nextHandle = 1;
  std::unordered_set<uint64_t> written;  // the open files that have been written
};

Mount& State() { return *static_cast<Mount*>(fuse_get_context()->private_data); }

// A failure inside an operation (out of memory) fails that operation, never the mount.
template <typename F>
int Guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (const std::exception&) {
    return -EIO;
  }
}

void* Init(fuse_conn_info*, fuse_config* cfg) {
  // Every answer is computed afresh: no caching of names, attributes or data, and reads go
  // straight to the tree (file sizes are not known ahead, as in sysfs).
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  return Guarded([&] {
    std::memset(st, 0, sizeof *st);
    st->st_uid = State().uid;
    st->st_gid = State().gid;
    st->st_atime = st->st_mtime = st->st_ctime = State().started;
    AttributeTree::NodeInfo node = State().tree->Lookup(path ? path : "");
    switch (node.kind) {
      case AttributeTree::Kind::Directory:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
      case AttributeTree::Kind::File:
        st->st_mode = S_IFREG | (node.readable ? 0444 : 0) | (node.writable ? 0200 : 0);
        st->st_nlink = 1;
        st->st_size = 4096;  // as sysfs shows every attribute file
        return 0;
      case AttributeTree::Kind::None: break;
    }
    return -ENOENT;
  });
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
  return Guarded([&] {
    auto names = State().tree->List(path ? path : "");
    if (!names) return State().tree->Lookup(path ? path : "").kind == AttributeTree::Kind::None ? -ENOENT : -ENOTDIR;
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const std::string& name : *names) filler(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
  });
}

int Open(const char* path, fuse_file_info* fi) {
  return Guarded([&] {
    AttributeTree::NodeInfo node = State().tree->Lookup(path ? path : "");
    if (node.kind == AttributeTree::Kind::None) return -ENOENT;
    if (node.kind == AttributeTree::Kind::Directory) return -EISDIR;
    int mode = fi->flags & O_ACCMODE;
    if (mode != O_WRONLY && !node.readable) return -EACCES;
    if (mode != O_RDONLY && !node.writable) {
      // A value that cannot be changed (grayed out, read-only) refuses as the kernel's drivers do.
      State().tree->ExplainRefusal(path ? path : "");
      std::string p(path);
      bool value = p.size() > 14 && p.compare(p.size() - 14, 14, "/current_value") == 0;
      return value ? -EPERM : -EACCES;
    }
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fi->fh = State().nextHandle++;  // names the open file to its writes
    return 0;
  });
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
  return Guarded([&] {
    if (offset < 0) return -EINVAL;
    std::string text;
    if (int e = State().tree->Read(path ? path : "", offset == 0, text)) return -e;
    if (static_cast<uint64_t>(offset) >= text.size()) return 0;
    size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
    std::memcpy(buf, text.data() + offset, n);
    return static_cast<int>(n);
  });
}

int Write(const char* path, const char* buf, size_t size, off_t, fuse_file_info* fi) {
  // Each write() carries the whole value, wherever its offset, as a sysfs attribute takes it.
  return Guarded([&] {
    bool followsWrite = fi && !State().written.insert(fi->fh).second;
    if (int e = State().tree->Write(path ? path : "", std::string_view(buf, size), followsWrite)) return -e;
    return static_cast<int>(size);
  });
}

// Opening with O_TRUNC (a shell's ">") truncates first: nothing to do.
int Truncate(const char* path, off_t, fuse_file_info*) {
  return Guarded([&] {
    AttributeTree::NodeInfo node = State().tree->Lookup(path ? path : "");
    if (node.kind == AttributeTree::Kind::None) return -ENOENT;
    if (node.kind == AttributeTree::Kind::Directory) return -EISDIR;
    return node.writable ? 0 : -EACCES;
  });
}

// Attribute files are always ready, as sysfs files are. The handle is released here: libfuse
// would leak it when no poll operation is set.
int Poll(const char*, fuse_file_info*, fuse_pollhandle* handle, unsigned* events) {
  if (handle) fuse_pollhandle_destroy(handle);
  *events = POLLIN | POLLOUT;
  return 0;
}

int Refuse(const char*) { return -EPERM; }
int RefuseCreate(const char*, mode_t, fuse_file_info*) { return -EACCES; }
int RefuseMkdir(const char*, mode_t) { return -EPERM; }
int RefuseLink(const char*, const char*) { return -EPERM; }
int RefuseRename(const char*, const char*, unsigned int) { return -EPERM; }
int RefuseChmod(const char*, mode_t, fuse_file_info*) { return -EPERM; }
int RefuseChown(const char*, uid_t, gid_t, fuse_file_info*) { return -EPERM; }
int Release(const char*, fuse_file_info* fi) {
  if (fi) State().written.erase(fi->fh);
  return 0;
}
int Utimens(const char*, const timespec*, fuse_file_info*) { return 0; }
int Flush(const char*, fuse_file_info*) { return 0; }
int Fsync(const char*, int, fuse_file_info*) { return 0; }

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.create = RefuseCreate;
  ops.unlink = Refuse;
  ops.rmdir = Refuse;
  ops.mkdir = RefuseMkdir;
  ops.symlink = RefuseLink;
  ops.link = RefuseLink;
  ops.rename = RefuseRename;
  ops.chmod = RefuseChmod;
  ops.chown = RefuseChown;
  ops.utimens = Utimens;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.poll = Poll;
  return ops;
}

int Fail(const std::string& problem) {
  WriteNarrow(Stream::Err, "kestrel-attrs: " + problem + "\n");
  return kExitUsage;
}

// Runs the host's `changed` off the request thread, one call at a time: the call may wait for a
// program (fwupd's daemon) that is itself waiting for this mount to answer. A change while a
// call runs makes one more call after it.
class ChangeNotifier {
 public:
  explicit ChangeNotifier(std::function<void()> call) : call_(std::move(call)) {}
  ~ChangeNotifier() {
    if (worker_.joinable()) worker_.join();
  }
  ChangeNotifier(const ChangeNotifier&) = delete;
  ChangeNotifier& operator=(const ChangeNotifier&) = delete;

  void Notify() {
    if (!call_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
      again_ = true;
      return;
    }
    if (worker_.joinable()) worker_.join();  // the last call has finished
    running_ = true;
    worker_ = std::thread([this] {
      for (;;) {
        call_();
        std::lock_guard<std::mutex> done(mutex_);
        if (!again_) {
          running_ = false;
          return;
        }
        again_ = false;
      }
    });
  }

 private:
  std::function<void()> call_;
  std::mutex mutex_;
  bool running_ = false, again_ = false;
  std::thread worker_;
};

// The system log as a detached mount writes it: datagrams "<PRI>kestrel-attrs[PID]: TEXT" to
// /dev/log (journald and every syslog daemon listen there), or to the socket KESTREL_SYSLOG_SOCKET
// names (tests). A log that cannot be reached loses the line; serving goes on.
class SystemLog {
 public:
  SystemLog() {
    const char* path = std::getenv("KESTREL_SYSLOG_SOCKET");
    std::string target = path && *path ? path : "/dev/log";
    if (target.size() >= sizeof address_.sun_path) return;
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, target.c_str(), target.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  ~SystemLog() {
    if (fd_ >= 0) close(fd_);
  }
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  void Warn(const std::string& text) const {
    if (fd_ < 0) return;
    // Appended piece by piece: GCC 12 at -O2 warns falsely on a chain of operator+ here.
    std::string line = "<";
    line += std::to_string(LOG_DAEMON | LOG_WARNING);
    line += ">kestrel-attrs[";
    line += std::to_string(getpid());
    line += "]: ";
    line += text;
    sendto(fd_, line.data(), line.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
  }

 private:
  int fd_ = -1;
  sockaddr_un address_{};
};

// True when the process making the current request is fwupd's daemon, which knows the values it
// writes itself.
bool RequestFromFwupd() {
  std::ifstream comm("/proc/" + std::to_string(fuse_get_context()->pid) + "/comm");
  std::string name;
  return std::getline(comm, name) && name == "fwupd";
}

}  // namespace

int ServeAttributes(const SetupContext& setup, const AttrsMountOptions& options) {
  const std::string& driver = options.driver;
  if (driver.empty() || driver == "." || driver == ".." || driver.find('/') != std::string::npos)
    return Fail("--driver takes a directory name");
  struct stat st {};
  if (stat(options.mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Fail("the mount point " + options.mountPoint + " is not a directory");
  if (access("/dev/fuse", R_OK | W_OK) != 0)
    return Fail("/dev/fuse is not usable here: " + std::string(std::strerror(errno)));

  // Why writes are refused: on standard error, and in the system log once standard error is gone.
  std::optional<SystemLog> log;
  if (options.detach) log.emplace();
  TreeHooks hooks;
  hooks.say = [&](const std::string& text) {
    WriteNarrow(Stream::Err, "kestrel-attrs: " + text + "\n");
    if (log) log->Warn(options.mountPoint + ": " + text);
  };
  ChangeNotifier notifier(options.changed);
  hooks.changed = [&] {
    if (!RequestFromFwupd()) notifier.Notify();
  };
  AttributeTree tree(setup, driver, options.journal ? &*options.journal : nullptr, std::move(hooks));
  Mount mount;
  mount.tree = &tree;
  mount.uid = getuid();
  mount.gid = getgid();
  mount.started = time(nullptr);

  std::vector<std::string> argvText = {"kestrel-attrs", "-o", "fsname=kestrel-attrs"};
  if (options.fuseDebug) argvText.push_back("-d");
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_operations ops = Operations();
  fuse* f = fuse_new(&args, &ops, sizeof ops, &mount);
  if (!f) {
    fuse_opt_free_args(&args);
    return Fail("cannot set up the file system");
  }
  if (fuse_mount(f, options.mountPoint.c_str()) != 0) {
    fuse_destroy(f);
    fuse_opt_free_args(&args);
    return Fail("cannot mount on " + options.mountPoint + " (is /dev/fuse there, and fusermount3 installed?)");
  }
  fuse_session* session = fuse_get_session(f);
  int result = kExitFirmware;
  // libfuse only takes over signals left at their default; a shell starting the mount in the
  // background ignores SIGINT, which must still stop it cleanly.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  if (fuse_set_signal_handlers(session) != 0) {
    Fail("cannot install the signal handlers");
  } else if (fuse_daemonize(options.detach ? 0 : 1) != 0) {
    Fail("cannot go to the background");
    fuse_remove_signal_handlers(session);
  } else {
    // Single-threaded: one request at a time, so writes are serialised.
    int loop = fuse_loop(f);
    fuse_remove_signal_handlers(session);
    // A signal that ends the loop comes back as its positive number: a clean stop.
    result = loop < 0 ? kExitFirmware : kExitSuccess;
    if (loop < 0) Fail(std::string("file system loop failed: ") + std::strerror(-loop));
  }
  fuse_unmount(f);
  fuse_destroy(f);
  fuse_opt_free_args(&args);
  // A password presented through authentication/ unlocked the variables: lock them again, as
  // every run of the tool does on its way out.
  if (setup.firmware.setupUnlocked) {
    std::string said;
    {
      ConsoleCapture capture;
      RelockProtectedVariables(setup.firmware);
      said = capture.out() + capture.err();
    }
    WriteNarrow(Stream::Err, said);
  }
  PasswordInput& current = setup.run.currentAdmin;
  std::fill(current.Text.begin(), current.Text.end(), L'\0');
  return result;
}

}  // namespace kes::attrs
