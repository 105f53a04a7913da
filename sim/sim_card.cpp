#include "sim/sim_card.hpp"

#include <cstdio>

#include "card/registers.hpp"

namespace tarn::sim {

void SimCard::beginSession() {
  sessionUse_ = Use::None;
  flashStep_ = FlashStep::Idle;
  pendingRead_ = false;
  nextPortWord_ = 0;
}

void SimCard::cutPowerNow() { cutPowerAt(clock_.nowNs()); }

void SimCard::cutPowerAt(uint64_t lostAtNs) {
  if (!powered_) return;
  powered_ = false;
  powerCutAt_ = 0;
  if (flash_) flash_->powerLost(lostAtNs);
  if (jtag_) jtag_->powerLost(lostAtNs);
}

void SimCard::restorePower() {
  powered_ = true;
  powerCutAt_ = 0;
  beginSession();
}

void SimCard::violation(const std::string& note) {
  ++violations_;
  if (notes_.size() < 32) notes_.push_back(note);
}

void SimCard::countAccess() {
  ++accessCount_;
  clock_.busAccess();
  if (powered_ && powerCutAt_ != 0 && accessCount_ > powerCutAt_) {
    powered_ = false;
    if (flash_) flash_->powerLost(clock_.nowNs());
    if (jtag_) jtag_->powerLost(clock_.nowNs());
  }
}

void SimCard::use(Use kind) {
  if (sessionUse_ == Use::None) sessionUse_ = kind;
  if (sessionUse_ != kind) violation("JTAG and flash registers used in one update");
}

void SimCard::checkNotMidCycle(uint32_t offset) {
  if (flashStep_ == FlashStep::NeedSyncWrite || flashStep_ == FlashStep::NeedSyncRead) {
    char text[80];
    std::snprintf(text, sizeof text, "offset %04x in the middle of a flash cycle", offset);
    violation(text);
    flashStep_ = FlashStep::Idle;
  }
}

uint32_t SimCard::read32(uint32_t offset) {
  countAccess();
  if (offset != kSyncReadRegister) checkNotMidCycle(offset);
  if (offset != kJtagPortWord1 && offset != kJtagPortWord2 && offset != kJtagPortWord3 &&
      nextPortWord_ >= 2) {
    violation("JTAG port block written only in part");
    nextPortWord_ = 0;
  }
  switch (offset) {
    case kStatusRegister:
      use(Use::Jtag);
      if (!powered_) return 0xFFFFFFFFu;
      return jtag_ ? jtag_->status(clock_.nowNs()) : 0;
    case kFlashReadBackRegister:
      use(Use::Flash);
      if (flashStep_ != FlashStep::ReadReady || !pendingRead_)
        violation("read-back register read without a synced read request");
      // Every further poll syncs again before it reads.
      if (flashStep_ == FlashStep::ReadReady) flashStep_ = FlashStep::Polled;
      if (!powered_) return 0xFFFFFFFFu;
      return flash_ ? flash_->readBack(clock_.nowNs()) : 0;
    case kSyncReadRegister:
      use(Use::Flash);
      if (flashStep_ == FlashStep::NeedSyncRead) {
        flashStep_ = pendingRead_ ? FlashStep::ReadReady : FlashStep::Idle;
      } else {
        violation("sync read without the sync write before it");
      }
      if (!powered_) return 0xFFFFFFFFu;
      if (flash_) flash_->syncRead(clock_.nowNs());
      return 0;
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "read of offset %04x", offset);
      violation(text);
      return 0;
    }
  }
}

void SimCard::write32(uint32_t offset, uint32_t value) {
  countAccess();
  if (offset != kSyncWriteRegister) checkNotMidCycle(offset);
  const bool portCopy =
      offset == kJtagPortWord1 || offset == kJtagPortWord2 || offset == kJtagPortWord3;
  if (!portCopy && nextPortWord_ >= 2) {
    violation("JTAG port block written only in part");
    nextPortWord_ = 0;
  }
  switch (offset) {
    case kFlashAccessRegister:
      use(Use::Flash);
      flashStep_ = FlashStep::NeedSyncWrite;
      pendingRead_ = !decodeFlashAccess(value).writeCycle;
      if (powered_ && flash_) flash_->accessWrite(value, clock_.nowNs());
      return;
    case kSyncWriteRegister:
      use(Use::Flash);
      if (value != kSyncWriteValue) violation("sync write with a value other than all ones");
      if (flashStep_ == FlashStep::NeedSyncWrite || flashStep_ == FlashStep::ReadReady ||
          flashStep_ == FlashStep::Polled) {
        // A further poll of a pending read syncs again before its read.
        flashStep_ = FlashStep::NeedSyncRead;
      } else {
        violation("sync write without a flash access before it");
      }
      if (powered_ && flash_) flash_->syncWrite(clock_.nowNs());
      return;
    case kJtagPortRegister:
      use(Use::Jtag);
      lastPortValue_ = value;
      nextPortWord_ = 1;
      if (powered_ && jtag_) jtag_->portWrite(value, clock_.nowNs());
      return;
    default:
      break;
  }
  if (portCopy) {
    use(Use::Jtag);
    const int word = int((offset - kJtagPortRegister) / 4);
    if (word != nextPortWord_ || value != lastPortValue_) {
      violation("JTAG port block words out of order or with another value");
    }
    nextPortWord_ = word == 3 ? 0 : word + 1;
    // A lone 0x100 write (busy wait, enable, release) is complete as it is.
    return;
  }
  char text[64];
  std::snprintf(text, sizeof text, "write of offset %04x", offset);
  violation(text);
}

}  // namespace tarn::sim
