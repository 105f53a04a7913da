#include "sim/campaign/fork_pool.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarn::sim {
namespace {

// What a copy that leaves its branch without finishing ends with.
constexpr int kLeftItsBranch = 70;

}  // namespace

ForkPool::ForkPool(size_t recordSize, uint32_t jobs,
                   std::function<void(uint64_t, const void*)> sink)
    : recordSize_(recordSize),
      frameSize_(sizeof(Header) + recordSize),
      jobs_(jobs == 0 ? 1 : jobs),
      sink_(std::move(sink)),
      buffer_(64 * frameSize_) {
  // One pipe for every copy: a frame no larger than PIPE_BUF arrives whole,
  // and the pipe holds every running copy's frame, so a copy never waits to
  // write it while the original waits for the copy to end.
  if (recordSize_ == 0 || frameSize_ > PIPE_BUF || frameSize_ * jobs_ > 32768) std::abort();
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  readFd_ = fds[0];
  writeFd_ = fds[1];
  fcntl(readFd_, F_SETFL, fcntl(readFd_, F_GETFL) | O_NONBLOCK);
  running_.reserve(jobs_);
}

ForkPool::~ForkPool() {
  if (inCopy_) _exit(kLeftItsBranch);
  drain();
  close(readFd_);
  close(writeFd_);
}

void ForkPool::fail(uint64_t sequence, const char* what) {
  ++failureCount_;
  if (failures_.size() >= 32) return;
  char line[128];
  std::snprintf(
      line, sizeof line, "copy %llu (cut %llu) %s", static_cast<unsigned long long>(sequence),
      static_cast<unsigned long long>(sequence < tags_.size() ? tags_[sequence] : 0), what);
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
      if (s >= tags_.size() || tags_[s] != header.tag) {
        fail(s, "sent a record under a sequence no copy has");
      } else if (reports_[s] != 0) {
        fail(s, "sent a second record");
      } else {
        reports_[s] = 1;
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
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == kLeftItsBranch) {
    std::snprintf(what, sizeof what, "went on past its branch without its record");
  } else {
    std::snprintf(what, sizeof what, "ended with status %d", WEXITSTATUS(status));
  }
  fail(sequence, what);
}

// Only the copies this pool started are waited for, each by its own id: a
// child that someone else started is none of its business.
void ForkPool::reap(bool block) {
  bool any = false;
  for (size_t slot = 0; slot < running_.size();) {
    int status = 0;
    const pid_t pid = waitpid(running_[slot].pid, &status, WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid == running_[slot].pid) {
      ended(slot, status);
      any = true;
    } else if (pid < 0) {
      fail(running_[slot].sequence, "could not be waited for");
      running_.erase(running_.begin() + long(slot));
    } else {
      ++slot;
    }
  }
  if (!block || any || running_.empty()) return;
  // The oldest copy is the likeliest to end first.
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
  readRecords();
  reap(false);
  while (running_.size() >= jobs_) {
    readRecords();
    reap(true);
  }
  std::fflush(nullptr);  // nothing buffered may come out twice
  const uint64_t sequence = tags_.size();
  tags_.push_back(tag);
  reports_.push_back(0);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::abort();
  }
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
  const Header header{sequence_, tags_[sequence_]};
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
    reap(true);
  }
  readRecords();
  if (buffered_ != 0) {
    fail(tags_.size(), "left part of a record in the pipe");
    buffered_ = 0;
  }
  for (uint64_t s = 0; s < tags_.size(); ++s) {
    if (reports_[s] == 0) {
      fail(s, "sent no record");
      reports_[s] = 2;  // named once
    }
  }
}

}  // namespace tarn::sim
