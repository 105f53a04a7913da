#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace tarn::sim {

// Copies of the whole simulation, taken with fork(): the program, the card
// and the flash or chain, all as they stand at one moment. A copy goes on by
// itself (after a power cut, say) and sends back one fixed-size record, while
// the original carries on untouched. At most `jobs` copies run at a time.
class ForkPool {
 public:
  ForkPool(size_t recordSize, uint32_t jobs, std::function<void(const void*)> sink);
  ~ForkPool();
  ForkPool(const ForkPool&) = delete;
  ForkPool& operator=(const ForkPool&) = delete;

  // Waits for a free place, then forks. True in the copy, false in the original.
  bool split();
  bool inCopy() const { return inCopy_; }
  // In the copy: sends the record and ends the process.
  [[noreturn]] void finish(const void* record);
  // In the original: waits for every copy and hands its record to the sink.
  void drain();

  uint64_t started() const { return started_; }
  uint64_t received() const { return received_; }
  // Copies that ended without sending their record (they crashed, say).
  uint64_t lost() const { return lost_; }

 private:
  void reap(bool block);
  void readRecords();

  size_t recordSize_;
  uint32_t jobs_;
  std::function<void(const void*)> sink_;
  int readFd_ = -1;
  int writeFd_ = -1;
  uint32_t running_ = 0;
  bool inCopy_ = false;
  uint64_t started_ = 0;
  uint64_t received_ = 0;
  uint64_t exited_ = 0;
  uint64_t lost_ = 0;
  unsigned char buffer_[4096] = {};
  size_t buffered_ = 0;
};

}  // namespace tarn::sim
