#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarn::sim {

// Copies of the whole simulation, taken with fork(): the program, the card
// and the flash or chain, all as they stand at one moment. A copy goes on by
// itself (after a power cut, say) and sends back one fixed-size record, while
// the original carries on untouched: nothing a copy does reaches it. At most
// `jobs` copies run at a time. A copy never forks: split() in a copy ends it,
// and the original names it.
//
// Every copy carries a tag (the cut it stands for) and must send exactly one
// record and then end with status 0. Each way a copy can fail is named once,
// by its tag, and counted once: a crash, another status, a second record, no
// record; so is a record under a sequence no copy has.
class ForkPool {
 public:
  ForkPool(size_t recordSize, uint32_t jobs, std::function<void(uint64_t tag, const void*)> sink);
  ~ForkPool();
  ForkPool(const ForkPool&) = delete;
  ForkPool& operator=(const ForkPool&) = delete;

  // Waits for a free place, then forks. True in the copy, false in the original.
  bool split(uint64_t tag);
  bool inCopy() const { return inCopy_; }
  // In the copy: sends the record and ends the process.
  [[noreturn]] void finish(const void* record);
  // In the original: waits for every copy, hands each record to the sink and
  // names every copy that failed.
  void drain();

  uint64_t started() const { return copies_.size(); }
  uint64_t received() const { return received_; }
  // One line per failure, as described above (the first 32).
  const std::vector<std::string>& failures() const { return failures_; }
  uint64_t failureCount() const { return failureCount_; }

 private:
  struct Copy {
    uint64_t tag;
    bool record;  // its record has come
    bool failed;  // it has been named
  };
  struct Running {
    pid_t pid;
    uint64_t sequence;
  };
  struct Header {
    uint64_t sequence;
    uint64_t tag;
  };

  void wait(bool block);
  void ended(size_t slot, int status);
  void readRecords();
  // Names a copy's failure once; a stray record's is no copy's.
  void fail(uint64_t sequence, const char* what, bool stray = false);

  size_t recordSize_;
  size_t frameSize_;
  uint32_t jobs_;
  std::function<void(uint64_t, const void*)> sink_;
  int readFd_ = -1;
  int writeFd_ = -1;
  bool inCopy_ = false;
  uint64_t sequence_ = 0;  // in a copy: its own
  std::vector<Running> running_;
  std::vector<Copy> copies_;  // by sequence
  uint64_t received_ = 0;
  std::vector<std::string> failures_;
  uint64_t failureCount_ = 0;
  std::vector<unsigned char> buffer_;
  size_t buffered_ = 0;
};

}  // namespace tarn::sim
