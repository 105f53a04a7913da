#include "sim/campaign/fork_pool.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace tarn::sim {
namespace {

uint64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// What a copy sends: when it ran.
struct Span {
  uint64_t fromNs, toNs;
};

// Sends a frame by hand on the pool's pipe (the only pipe this copy can
// write to) under a sequence no copy has.
void sendStrayFrame() {
  for (int fd = 3; fd < 256; ++fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) continue;
    const uint64_t frame[4] = {999, 999, 0, 0};
    if (write(fd, frame, sizeof frame) == ssize_t(sizeof frame)) return;
  }
}

// The third of four copies misbehaves as `odd` says; the others sleep a
// little and send their span.
struct PoolRow {
  const char* what;
  void (*odd)(ForkPool& pool, const Span& span);
  const char* failure;  // the one failure named, or null
  uint64_t received;
  bool sigchldIgnored = false;
};

TEST(ForkPool, EveryFailureIsNamedOnceAndCountedOnce) {
  const PoolRow table[] = {
      {"all well", [](ForkPool& pool, const Span& span) { pool.finish(&span); }, nullptr, 4},
      {"inherits an ignored SIGCHLD", [](ForkPool& pool, const Span& span) { pool.finish(&span); },
       nullptr, 4, true},
      {"crashes", [](ForkPool&, const Span&) { std::abort(); }, "(cut 3) crashed with signal 6", 3},
      {"exits silently", [](ForkPool&, const Span&) { _exit(0); }, "(cut 3) sent no record", 3},
      {"exits with a status", [](ForkPool&, const Span&) { _exit(5); },
       "(cut 3) ended with status 5", 3},
      {"sends two records",
       [](ForkPool& pool, const Span& span) {
         const pid_t other = fork();  // both halves send the copy's record
         if (other == 0) pool.finish(&span);
         waitpid(other, nullptr, 0);
         pool.finish(&span);
       },
       "(cut 3) sent a second record", 4},
      {"sends an unknown sequence",
       [](ForkPool& pool, const Span& span) {
         sendStrayFrame();
         pool.finish(&span);
       },
       "copy 999 (cut 0) sent a record under a sequence no copy has", 4},
      {"splits again", [](ForkPool& pool, const Span&) { pool.split(99); },
       "(cut 3) split again inside a copy", 3},
  };
  for (const PoolRow& row : table) {
    if (row.sigchldIgnored) std::signal(SIGCHLD, SIG_IGN);
    std::vector<Span> spans;
    constexpr uint32_t kJobs = 2;
    std::vector<std::string> failures;
    uint64_t failureCount = 0, received = 0;
    {
      ForkPool pool(sizeof(Span), kJobs, [&](uint64_t, const void* record) {
        spans.push_back(*static_cast<const Span*>(record));
      });
      for (uint64_t tag = 1; tag <= 4; ++tag) {
        if (!pool.split(tag)) continue;
        Span span{nowNs(), 0};
        usleep(20000);
        span.toNs = nowNs();
        if (tag == 3) row.odd(pool, span);
        pool.finish(&span);
      }
      pool.drain();
      failures = pool.failures();
      failureCount = pool.failureCount();
      received = pool.received();
    }
    std::signal(SIGCHLD, SIG_DFL);
    SCOPED_TRACE(row.what);
    EXPECT_EQ(received, row.received);
    EXPECT_EQ(failureCount, row.failure != nullptr ? 1u : 0u);
    ASSERT_EQ(failures.size(), failureCount);
    if (row.failure != nullptr) {
      EXPECT_NE(failures[0].find(row.failure), std::string::npos) << failures[0];
    }
    // Never more copies at a time than the jobs allow.
    for (const Span& span : spans) {
      const auto overlapping = std::count_if(spans.begin(), spans.end(), [&](const Span& other) {
        return other.fromNs < span.toNs && span.fromNs < other.toNs;
      });
      EXPECT_LE(uint64_t(overlapping), kJobs);
    }
  }
}

}  // namespace
}  // namespace tarn::sim
