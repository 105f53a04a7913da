#include "sim/campaign/fork_pool.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarn::sim {
namespace {

// What a copy ends with when it leaves its branch without finishing, and
// when it tries to split.
constexpr int kLeftItsBranch = 70;
constexpr int kSplitInCopy = 71;

[[noreturn]] void stop(const char* what) {
  std::fprintf(stderr, "fork pool: %s\n", what);
  std::abort();
}

}  // namespace

ForkPool::ForkPool(size_t recordSize, uint32_t jobs,
                   std::function<void(uint64_t, const void*)> sink)
    : recordSize_(recordSize),
      frameSize_(sizeof(Header) + recordSize),
      jobs_(jobs == 0 ? 1 : jobs),
      sink_(std::move(sink)),
      buffer_(64 * frameSize_) {
  // A frame no larger than PIPE_BUF arrives whole.
  if (recordSize_ == 0 || frameSize_ > PIPE_BUF) stop("a record does not fit the pipe whole");
  // Copies inherit how the process treats SIGCHLD: ignored, the kernel would
  // reap them before they could be waited for.
  struct sigaction action {};
  if (sigaction(SIGCHLD, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
    std::signal(SIGCHLD, SIG_DFL);
  }
  int fds[2];
  if (pipe(fds) != 0) stop("no pipe");
  readFd_ = fds[0];
  writeFd_ = fds[1];
  fcntl(readFd_, F_SETFL, fcntl(readFd_, F_GETFL) | O_NONBLOCK);
  // The pipe must hold every running copy's frame, so a copy never waits to
  // write it while the original waits for the copy to end.
  const long need = long(frameSize_ * jobs_);
  if (fcntl(writeFd_, F_GETPIPE_SZ) < need) fcntl(writeFd_, F_SETPIPE_SZ, int(need));
  if (fcntl(writeFd_, F_GETPIPE_SZ) < need) stop("the pipe cannot hold a record of every copy");
  running_.reserve(jobs_);
}

ForkPool::~ForkPool() {
  if (inCopy_) _exit(kLeftItsBranch);
  drain();
  close(readFd_);
  close(writeFd_);
}

void ForkPool::fail(uint64_t sequence, const char* what, bool stray) {
  if (!stray) {
    if (copies_[sequence].failed) return;
    copies_[sequence].failed = true;
  }
  ++failureCount_;
  if (failures_.size() >= 32) return;
  char line[128];
  std::snprintf(line, sizeof line, "copy %" PRIu64 " (cut %" PRIu64 ") %s", sequence,
                stray ? 0 : copies_[sequence].tag, what);
  failures_.emplace_back(line);
}

void ForkPool::readRecords() {
  for (;;) {
    const ssize_t got = read(readFd_, buffer_.data() + buffered_, buffer_.size() - buffered_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    buffered_ += size_t(got);
    size_t used = 0;
    for (; buffered_ - used >= frameSize_; used += frameSize_) {
      Header header;
      std::memcpy(&header, buffer_.data() + used, sizeof header);
      const uint64_t s = header.sequence;
      if (s >= copies_.size() || copies_[s].tag != header.tag) {
        fail(s, "sent a record under a sequence no copy has", true);
      } else if (copies_[s].record) {
        fail(s, "sent a second record");
      } else {
        copies_[s].record = true;
        ++received_;
        sink_(header.tag, buffer_.data() + used + sizeof header);
      }
    }
    std::memmove(buffer_.data(), buffer_.data() + used, buffered_ - used);
    buffered_ -= used;
  }
}

void ForkPool::ended(size_t slot, int status) {
  const uint64_t sequence = running_[slot].sequence;
  running_.erase(running_.begin() + long(slot));
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  char what[64];
  if (WIFSIGNALED(status)) {
    std::snprintf(what, sizeof what, "crashed with signal %d", WTERMSIG(status));
  } else if (WEXITSTATUS(status) == kLeftItsBranch) {
    std::snprintf(what, sizeof what, "went on past its branch without its record");
  } else if (WEXITSTATUS(status) == kSplitInCopy) {
    std::snprintf(what, sizeof what, "split again inside a copy");
  } else {
    std::snprintf(what, sizeof what, "ended with status %d", WEXITSTATUS(status));
  }
  fail(sequence, what);
}

// Only the copies this pool started are waited for, each by its own id: a
// child that someone else started is none of its business. The oldest copy
// is the likeliest to end first.
void ForkPool::wait(bool block) {
  bool any = false;
  for (size_t slot = 0; slot < running_.size();) {
    int status = 0;
    const pid_t pid = waitpid(running_[slot].pid, &status, WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid == 0) {
      ++slot;
      continue;
    }
    any = true;
    if (pid == running_[slot].pid) {
      ended(slot, status);
    } else {
      fail(running_[slot].sequence, "could not be waited for");
      running_.erase(running_.begin() + long(slot));
    }
  }
  if (!block || any || running_.empty()) return;
  int status = 0;
  pid_t pid;
  do {
    pid = waitpid(running_.front().pid, &status, 0);
  } while (pid < 0 && errno == EINTR);
  if (pid == running_.front().pid) {
    ended(0, status);
  } else {
    fail(running_.front().sequence, "could not be waited for");
    running_.erase(running_.begin());
  }
}

bool ForkPool::split(uint64_t tag) {
  if (inCopy_) {
    std::fprintf(stderr, "copy %" PRIu64 " (cut %" PRIu64 ") tried to split again\n", sequence_,
                 copies_[sequence_].tag);
    _exit(kSplitInCopy);
  }
  readRecords();
  wait(false);
  while (running_.size() >= jobs_) {
    readRecords();
    wait(true);
  }
  std::fflush(nullptr);  // nothing buffered may come out twice
  const uint64_t sequence = copies_.size();
  copies_.push_back({tag, false, false});
  const pid_t pid = fork();
  if (pid < 0) stop("fork failed");
  if (pid == 0) {
    inCopy_ = true;
    sequence_ = sequence;
    close(readFd_);
    return true;
  }
  running_.push_back({pid, sequence});
  return false;
}

void ForkPool::finish(const void* record) {
  std::vector<unsigned char> frame(frameSize_);
  const Header header{sequence_, copies_[sequence_].tag};
  std::memcpy(frame.data(), &header, sizeof header);
  std::memcpy(frame.data() + sizeof header, record, recordSize_);
  size_t sent = 0;
  while (sent < frameSize_) {
    const ssize_t n = write(writeFd_, frame.data() + sent, frameSize_ - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(2);
    sent += size_t(n);
  }
  _exit(0);
}

void ForkPool::drain() {
  while (!running_.empty()) {
    readRecords();
    wait(true);
  }
  readRecords();
  if (buffered_ != 0) {
    fail(copies_.size(), "left part of a record in the pipe", true);
    buffered_ = 0;
  }
  for (uint64_t s = 0; s < copies_.size(); ++s) {
    if (!copies_[s].record) fail(s, "sent no record");
  }
}

}  // namespace tarn::sim
