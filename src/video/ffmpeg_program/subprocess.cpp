#include "video/ffmpeg_program/subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "common/interrupt.hpp"

extern char** environ;

namespace velmar::video {

namespace {

Error Errno(int err) { return Error::FromErrno(std::strerror(err), err); }

void CloseFd(int& fd) noexcept {
  if (fd >= 0) {
    ::close(fd);  // not retried on EINTR: Linux releases the descriptor anyway
    fd = -1;
  }
}

// Moves a new descriptor above 0..2. If the caller runs with a standard
// stream closed, pipe2 can hand out 0, 1 or 2, and the child's dup2 of one
// stream would then clobber another.
int AboveStdio(int fd) {
  if (fd > STDERR_FILENO) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

// Owns the spawn attribute objects and the child's ends of the pipes for
// the length of one Spawn call.
struct SpawnScratch {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool actions_ready = false;
  bool attr_ready = false;
  std::vector<int> child_ends;

  ~SpawnScratch() {
    if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    if (attr_ready) posix_spawnattr_destroy(&attr);
    for (int& fd : child_ends) CloseFd(fd);
  }
};

}  // namespace

Result<Subprocess> Subprocess::Spawn(std::span<const std::string> argv,
                                                             StdioSetup stdio) {
  if (argv.empty()) return std::unexpected(Errno(EINVAL));
  for (const std::string& arg : argv) {
    // exec would see only the text before a NUL: a different argument.
    if (arg.find('\0') != std::string::npos) return std::unexpected(Errno(EINVAL));
  }
  Subprocess child;  // holds our pipe ends; closes them if we fail below
  SpawnScratch scratch;
  if (int rc = posix_spawn_file_actions_init(&scratch.actions); rc != 0) {
    return std::unexpected(Errno(rc));
  }
  scratch.actions_ready = true;
  if (int rc = posix_spawnattr_init(&scratch.attr); rc != 0) return std::unexpected(Errno(rc));
  scratch.attr_ready = true;

  const Stdio modes[3] = {stdio.in, stdio.out, stdio.err};
  int* ours[3] = {&child.in_fd_, &child.out_fd_, &child.err_fd_};
  for (int target = 0; target < 3; ++target) {
    int rc = 0;
    switch (modes[target]) {
      case Stdio::kInherit:
        break;
      case Stdio::kNull:
        rc = posix_spawn_file_actions_addopen(&scratch.actions, target, "/dev/null",
                                              target == 0 ? O_RDONLY : O_WRONLY, 0);
        break;
      case Stdio::kPipe: {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(Errno(errno));
        // fds[0] reads, fds[1] writes; the child gets the end matching its stream.
        int child_end = target == 0 ? fds[0] : fds[1];
        int our_end = target == 0 ? fds[1] : fds[0];
        *ours[target] = AboveStdio(our_end);
        child_end = AboveStdio(child_end);
        if (child_end >= 0) scratch.child_ends.push_back(child_end);
        if (*ours[target] < 0 || child_end < 0) return std::unexpected(Errno(errno));
        // dup2 onto 0..2 clears close-on-exec on the child's copy only.
        rc = posix_spawn_file_actions_adddup2(&scratch.actions, child_end, target);
        break;
      }
    }
    if (rc != 0) return std::unexpected(Errno(rc));
  }

  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&scratch.attr, &empty_mask);
  posix_spawnattr_setsigdefault(&scratch.attr, &defaults);
  posix_spawnattr_setflags(&scratch.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &scratch.actions, &scratch.attr, args.data(), environ);
  if (rc != 0) return std::unexpected(Errno(rc));
  child.pid_ = pid;
  return child;
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      in_fd_(std::exchange(other.in_fd_, -1)),
      out_fd_(std::exchange(other.out_fd_, -1)),
      err_fd_(std::exchange(other.err_fd_, -1)) {}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
  if (this != &other) {
    CloseAll();
    KillAndReap();
    pid_ = std::exchange(other.pid_, -1);
    in_fd_ = std::exchange(other.in_fd_, -1);
    out_fd_ = std::exchange(other.out_fd_, -1);
    err_fd_ = std::exchange(other.err_fd_, -1);
  }
  return *this;
}

Subprocess::~Subprocess() {
  CloseAll();
  KillAndReap();
}

void Subprocess::CloseAll() noexcept {
  CloseFd(in_fd_);
  CloseFd(out_fd_);
  CloseFd(err_fd_);
}

void Subprocess::KillAndReap() noexcept {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void Subprocess::CloseStdin() { CloseFd(in_fd_); }
void Subprocess::CloseStdout() { CloseFd(out_fd_); }

void Subprocess::GrowStdoutPipe(int bytes) {
  if (out_fd_ >= 0) ::fcntl(out_fd_, F_SETPIPE_SZ, bytes);
}

Result<size_t> Subprocess::ReadStdout(std::span<uint8_t> buffer) {
  if (out_fd_ < 0) return std::unexpected(Errno(EBADF));
  for (;;) {
    CheckInterrupt();
    ssize_t n = ::read(out_fd_, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return std::unexpected(Errno(errno));
  }
}

Result<void> Subprocess::DrainOutput(std::string* out, std::string* err,
                                                             size_t limit) {
  int* fds[2] = {&out_fd_, &err_fd_};
  std::string* targets[2] = {out, err};
  char chunk[65536];
  for (;;) {
    pollfd polls[2];
    int open = 0;
    for (int i = 0; i < 2; ++i) {
      polls[i] = pollfd{*fds[i], POLLIN, 0};  // a negative fd is skipped by poll
      if (*fds[i] >= 0) ++open;
    }
    if (open == 0) return {};
    CheckInterrupt();
    if (::poll(polls, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Errno(errno));
    }
    for (int i = 0; i < 2; ++i) {
      if (*fds[i] < 0 || polls[i].revents == 0) continue;
      ssize_t n = ::read(*fds[i], chunk, sizeof chunk);
      if (n > 0) {
        std::string* target = targets[i];
        if (target != nullptr && target->size() < limit) {
          target->append(chunk, std::min(static_cast<size_t>(n), limit - target->size()));
        }
      } else if (n == 0) {
        CloseFd(*fds[i]);
      } else if (errno != EINTR && errno != EAGAIN) {
        return std::unexpected(Errno(errno));
      }
    }
  }
}

Result<int> Subprocess::Wait() {
  if (pid_ <= 0) return std::unexpected(Errno(ECHILD));
  for (;;) {
    CheckInterrupt();
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, 0);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (errno == EINTR) continue;
    // The child is gone some other way (e.g. SIGCHLD set to SIG_IGN reaps it
    // automatically); never signal that pid again, it may be reused.
    int e = errno;
    pid_ = -1;
    return std::unexpected(Errno(e));
  }
}

bool ExitedWithSuccess(int wait_status) {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

}  // namespace velmar::video
