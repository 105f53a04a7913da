#pragma once
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::sim {

// Runs a program on a stack of its own so that it can branch at any point: at
// a branch the program first goes on as a throwaway continuation until it
// returns, then its stack is put back as it was and it goes on from the same
// point as if nothing had happened. Far cheaper than a fork when all that the
// continuation must show is how the program ends. State outside the program's
// stack is the caller's to put back.
class SplitRun {
 public:
  explicit SplitRun(size_t stackBytes);
  SplitRun(const SplitRun&) = delete;
  SplitRun& operator=(const SplitRun&) = delete;

  // Runs program(arg) to its end, with every branch it takes.
  void run(void (*program)(void*), void* arg);
  // Inside the program: true in the continuation, false when the program is
  // back on its main line.
  bool branch();
  bool inBranch() const { return inBranch_; }
  uint64_t branches() const { return branches_; }

 private:
  enum class Event { None, Branch, Ended };
  static void trampoline(unsigned int high, unsigned int low);

  std::vector<unsigned char> stack_;
  std::vector<unsigned char> saved_;
  size_t savedFrom_ = 0;
  ucontext_t scheduler_{};
  ucontext_t program_{};
  ucontext_t split_{};
  void (*function_)(void*) = nullptr;
  void* arg_ = nullptr;
  Event event_ = Event::None;
  bool inBranch_ = false;
  uint64_t branches_ = 0;
};

}  // namespace tarn::sim
