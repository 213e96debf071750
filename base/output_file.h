// A file the run writes, which replaces what the user had only when the run succeeds.
//
// A regular file (or a name that does not exist yet) is written to a new temporary file in the
// same directory, created exclusively; Commit() moves it over the target once everything has
// been written, flushed and synced. Until then the target is untouched, and a temporary that is
// never committed is removed (on Discard(), on reset() and in the destructor), so a failed run
// leaves neither a damaged old file nor a partial new one.
//
// Anything else (a pipe, a FIFO, a terminal, /dev/stdout, or a regular file that is the tool's
// own standard output or error) cannot be replaced and is written directly, opened write-only so
// that the tool never becomes a reader of its own pipe.
//
// The same holder also keeps a stream opened elsewhere (reset(stream)), for example an input
// file carried in the same option-record field: it is closed at the end and never renamed.
#pragma once
#include <cstdio>
#include <string>

namespace kes {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Discard(); }
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` for writing as described above; a temporary file is readable as well. Any
  // stream held before is discarded. False, with errno set, when nothing could be opened.
  bool Open(const std::string& path);

  // Discards what is held and keeps `stream` (may be null) instead.
  void reset(std::FILE* stream = nullptr);

  std::FILE* get() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }
  // True while a temporary stands in for the target (nothing of the target touched yet).
  bool Replacing() const { return !temp_.empty(); }

  // Flushes, syncs (temporaries) and closes the stream; the temporary stays for Commit(). False
  // when any of it failed: the output is then discarded.
  bool Close();
  // Close() when still open, then moves the temporary over the target. False when that failed
  // (the target is then as it was). True when nothing is held.
  bool Commit();
  // Closes the stream and removes the temporary; the target stays as it was.
  void Discard();

 private:
  std::FILE* stream_ = nullptr;
  std::string target_;  // the file a temporary replaces
  std::string temp_;    // the temporary, empty when writing directly or holding a foreign stream
};

// A new file that must not exist yet (O_EXCL), opened for writing and reading. Null, with errno
// set, when it exists or cannot be created: a file of the user's is never clobbered.
std::FILE* CreateNewFile(const std::string& path);

// True when both names lead to one file: the same device and inode when both exist, otherwise
// the same absolute path once "." and ".." and the symbolic links of existing directories are
// resolved.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kes
