#include "sim/split_run.hpp"

#include <cstdlib>
#include <cstring>

namespace tarn::sim {

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
      inBranch_ = true;
      ++branches_;
      swapcontext(&scheduler_, &split_);
    } else if (event == Event::Ended && inBranch_) {
      // The continuation is over: the stack as it was at the branch, and the
      // program goes on from there on its main line.
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
  unsigned char here = 0;
  const auto* base = stack_.data();
  size_t from = size_t(&here - base);
  from = from > 4096 ? from - 4096 : 0;
  savedFrom_ = from;
  std::memcpy(saved_.data() + from, base + from, stack_.size() - from);
  event_ = Event::Branch;
  swapcontext(&split_, &scheduler_);
  return inBranch_;
}

}  // namespace tarn::sim
