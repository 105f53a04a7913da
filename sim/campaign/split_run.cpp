#include "sim/campaign/split_run.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_SPLIT_RUN_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TARN_SPLIT_RUN_ASAN 1
#endif
#ifdef TARN_SPLIT_RUN_ASAN
#include <sanitizer/asan_interface.h>

// A branch puts the program's stack back byte for byte, so every frame must
// live on that stack: the sanitizer's separate frames for catching use after
// return would be left out.
extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=0"; }
#endif

namespace tarn::sim {
namespace {

constexpr size_t kMargin = 16384;

// The saved part of the stack holds the live frames with their guard zones;
// under the address sanitizer those are marked, and copying them whole would
// look like an overflow.
void allowWholeCopy(unsigned char* from, size_t size) {
#ifdef TARN_SPLIT_RUN_ASAN
  __asan_unpoison_memory_region(from, size);
#else
  (void)from;
  (void)size;
#endif
}

}  // namespace

SplitRun::SplitRun(size_t stackBytes) : stack_(stackBytes), saved_(stackBytes) {}

void SplitRun::trampoline(unsigned int high, unsigned int low) {
  auto* self = reinterpret_cast<SplitRun*>((uintptr_t(high) << 32) | uintptr_t(low));
  self->function_(self->arg_);
  self->event_ = Event::Ended;
  swapcontext(&self->program_, &self->scheduler_);
  std::abort();  // an ended program is never resumed
}

void SplitRun::run(void (*program)(void*), void* arg) {
  function_ = program;
  arg_ = arg;
  inBranch_ = false;
  if (getcontext(&program_) != 0) std::abort();
  program_.uc_stack.ss_sp = stack_.data();
  program_.uc_stack.ss_size = stack_.size();
  program_.uc_link = nullptr;
  const auto self = uintptr_t(this);
  makecontext(&program_, reinterpret_cast<void (*)()>(&SplitRun::trampoline), 2,
              static_cast<unsigned int>(self >> 32), static_cast<unsigned int>(self));
  event_ = Event::None;
  swapcontext(&scheduler_, &program_);
  for (;;) {
    const Event event = event_;
    event_ = Event::None;
    if (event == Event::Branch) {
      allowWholeCopy(stack_.data() + savedFrom_, stack_.size() - savedFrom_);
      std::memcpy(saved_.data() + savedFrom_, stack_.data() + savedFrom_,
                  stack_.size() - savedFrom_);
      inBranch_ = true;
      ++branches_;
      swapcontext(&scheduler_, &split_);
    } else if (event == Event::Ended && inBranch_) {
      // The continuation is over: the stack as it was at the branch, and the
      // program goes on from there on its main line.
      allowWholeCopy(stack_.data() + savedFrom_, stack_.size() - savedFrom_);
      std::memcpy(stack_.data() + savedFrom_, saved_.data() + savedFrom_,
                  stack_.size() - savedFrom_);
      inBranch_ = false;
      swapcontext(&scheduler_, &split_);
    } else {
      return;
    }
  }
}

bool SplitRun::branch() {
  if (inBranch_) return false;  // a continuation does not branch again
  // Everything from a little below this frame to the top of the stack is what
  // the main line needs back.
  // (The frame address rather than that of a local: a sanitizer may keep
  // locals elsewhere.)
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const auto* base = stack_.data();
  const auto low = reinterpret_cast<uintptr_t>(base);
  if (here < low || here >= low + stack_.size()) std::abort();
  // Whatever switching contexts puts below this frame lies within the margin;
  // the copy is taken once the switch is done, so that it holds that too.
  const size_t at = size_t(here - low);
  savedFrom_ = at > kMargin ? at - kMargin : 0;
  event_ = Event::Branch;
  swapcontext(&split_, &scheduler_);
  return inBranch_;
}

}  // namespace tarn::sim
