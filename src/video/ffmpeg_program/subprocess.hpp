#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>

#include "common/error.hpp"

namespace velmar::video {

// Where one standard stream of a child goes.
enum class Stdio {
  kInherit,  // the caller's own descriptor
  kNull,     // /dev/null
  kPipe,     // a pipe whose other end this object holds
};

struct StdioSetup {
  Stdio in = Stdio::kInherit;
  Stdio out = Stdio::kInherit;
  Stdio err = Stdio::kInherit;
};

// One child process started from an explicit argument vector (no shell).
//
// The child inherits the environment and the working directory; its signal
// mask is emptied and SIGPIPE/SIGXFSZ/SIGCHLD get their default action back
// (the Python interpreter ignores SIGPIPE, a caller may ignore SIGCHLD, and
// an ignored disposition would survive exec). Our ends of the pipes are close-on-exec, so other children
// never hold them open.
//
// Blocking calls retry on EINTR and call velmar::CheckInterrupt() first, so a
// Ctrl-C stops a blocked read or wait by throwing velmar::Interrupted. The
// destructor kills (SIGKILL) and reaps a child that has not been waited for,
// so no error path, exception or interrupt leaves a zombie or orphan behind.
class Subprocess {
 public:
  // Starts argv[0], looked up on PATH when it has no "/". Returns the
  // posix_spawnp error (ENOENT for a missing program) when it cannot start,
  // EINVAL for an empty vector or an argument holding a NUL.
  static Result<Subprocess> Spawn(std::span<const std::string> argv,
                                                          StdioSetup stdio);

  Subprocess(Subprocess&& other) noexcept;
  Subprocess& operator=(Subprocess&& other) noexcept;
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  ~Subprocess();

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Reads up to buffer.size() bytes from the child's stdout pipe. Returns the
  // count, 0 at end of stream. Throws Interrupted on Ctrl-C.
  Result<size_t> ReadStdout(std::span<uint8_t> buffer);

  // Reads the stdout and stderr pipes to end of stream at once (poll), so a
  // child that fills one pipe while we wait on the other cannot deadlock.
  // A null target discards that stream. Only pipes that were set up are read.
  // Each target keeps at most `limit` bytes; the rest is read and dropped.
  Result<void> DrainOutput(std::string* out, std::string* err,
                                                   size_t limit = SIZE_MAX);

  // Asks the kernel for a larger stdout pipe (fewer, larger reads); best effort.
  void GrowStdoutPipe(int bytes);

  // Our end of the child's stdin pipe (-1 when there is none); CloseStdin
  // sends end of stream.
  int stdin_fd() const { return in_fd_; }
  void CloseStdin();
  void CloseStdout();

  // Waits for the child to end and returns its wait status (see waitpid(2)).
  // ECHILD when the caller ignores SIGCHLD: the kernel reaps the child
  // itself (waitpid still returns only once it has ended), and its status
  // is lost.
  // Throws Interrupted on Ctrl-C; the destructor then kills and reaps.
  Result<int> Wait();

 private:
  Subprocess() = default;
  void KillAndReap() noexcept;
  void CloseAll() noexcept;

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
};

// True when a wait status means "exited normally with status 0".
bool ExitedWithSuccess(int wait_status);

}  // namespace velmar::video
