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
// `jobs` copies run at a time.
//
// Every copy carries a tag (the cut it stands for) and must send exactly one
// record and then end with status 0. A copy that crashes, ends otherwise, or
// ends without its record is a failure, named by its tag; so is a record
// that no running copy sent.
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

  uint64_t started() const { return tags_.size(); }
  uint64_t received() const { return received_; }
  // One line per copy that failed, as described above (the first 32).
  const std::vector<std::string>& failures() const { return failures_; }
  uint64_t failureCount() const { return failureCount_; }

 private:
  struct Running {
    pid_t pid;
    uint64_t sequence;
  };
  struct Header {
    uint64_t sequence;
    uint64_t tag;
  };

  void reap(bool block);
  void ended(size_t slot, int status);
  void readRecords();
  void fail(uint64_t sequence, const char* what);

  size_t recordSize_;
  size_t frameSize_;
  uint32_t jobs_;
  std::function<void(uint64_t, const void*)> sink_;
  int readFd_ = -1;
  int writeFd_ = -1;
  bool inCopy_ = false;
  uint64_t sequence_ = 0;  // in a copy: its own
  std::vector<Running> running_;
  std::vector<uint64_t> tags_;    // by sequence
  std::vector<uint8_t> reports_;  // records received, by sequence
  uint64_t received_ = 0;
  std::vector<std::string> failures_;
  uint64_t failureCount_ = 0;
  std::vector<unsigned char> buffer_;
  size_t buffered_ = 0;
};

}  // namespace tarn::sim
