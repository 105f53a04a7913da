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

ForkPool::ForkPool(size_t recordSize, uint32_t jobs, std::function<void(const void*)> sink)
    : recordSize_(recordSize), jobs_(jobs == 0 ? 1 : jobs), sink_(std::move(sink)) {
  // One pipe for every copy: a record no larger than PIPE_BUF arrives whole.
  if (recordSize_ == 0 || recordSize_ > sizeof buffer_ || recordSize_ > PIPE_BUF) std::abort();
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  readFd_ = fds[0];
  writeFd_ = fds[1];
  fcntl(readFd_, F_SETFL, fcntl(readFd_, F_GETFL) | O_NONBLOCK);
}

ForkPool::~ForkPool() {
  if (!inCopy_) drain();
  close(readFd_);
  close(writeFd_);
}

void ForkPool::readRecords() {
  for (;;) {
    const ssize_t got = read(readFd_, buffer_ + buffered_, sizeof buffer_ - buffered_);
    if (got <= 0) break;
    buffered_ += size_t(got);
    size_t used = 0;
    while (buffered_ - used >= recordSize_) {
      sink_(buffer_ + used);
      used += recordSize_;
      ++received_;
    }
    std::memmove(buffer_, buffer_ + used, buffered_ - used);
    buffered_ -= used;
  }
}

void ForkPool::reap(bool block) {
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, block ? 0 : WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) return;
    --running_;
    ++exited_;
    block = false;
  }
}

bool ForkPool::split() {
  readRecords();
  reap(false);
  while (running_ >= jobs_) {
    // A copy writes its record before it ends, so the pipe is emptied first;
    // a full pipe would keep the copy from ending.
    readRecords();
    reap(true);
  }
  std::fflush(nullptr);  // nothing buffered may come out twice
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::abort();
  }
  if (pid == 0) {
    inCopy_ = true;
    close(readFd_);
    return true;
  }
  ++running_;
  ++started_;
  return false;
}

void ForkPool::finish(const void* record) {
  const auto* bytes = static_cast<const unsigned char*>(record);
  size_t sent = 0;
  while (sent < recordSize_) {
    const ssize_t n = write(writeFd_, bytes + sent, recordSize_ - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += size_t(n);
  }
  _exit(0);
}

void ForkPool::drain() {
  while (running_ > 0) {
    readRecords();
    reap(true);
  }
  readRecords();
  lost_ = started_ - received_;
}

}  // namespace tarn::sim
