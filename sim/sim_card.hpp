#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/register_window.hpp"
#include "sim/clock.hpp"

namespace tarn::sim {

// What sits behind the flash registers of a simulated card.
class SimFlashPort {
 public:
  virtual ~SimFlashPort() = default;
  // A write to the flash access register: a write cycle (bit 31) or a read request.
  virtual void accessWrite(uint32_t value, uint64_t nowNs) = 0;
  // The sync write and sync read pair that follows every flash access write.
  virtual void syncWrite(uint64_t nowNs) = 0;
  virtual void syncRead(uint64_t nowNs) = 0;
  // The flash read-back register: bit 8 busy, bits 7..0 the byte.
  virtual uint32_t readBack(uint64_t nowNs) = 0;
  // Power is cut: whatever the flash was doing stops where it is.
  virtual void powerLost(uint64_t nowNs) { (void)nowNs; }
};

// What sits behind the JTAG registers of a simulated card.
class SimJtagPort {
 public:
  virtual ~SimJtagPort() = default;
  // A write to the JTAG port register at 0x100 (the three copies are checked
  // by the card, not passed on).
  virtual void portWrite(uint32_t value, uint64_t nowNs) = 0;
  // The status register; bit 28 is TDO.
  virtual uint32_t status(uint64_t nowNs) = 0;
  virtual void powerLost(uint64_t nowNs) { (void)nowNs; }
};

// One simulated card's register window. It decodes every register the tool
// may touch, charges each access the bus time on the shared clock, and checks
// the access protocol as it goes; every breach is counted as a violation.
class SimCard final : public RegisterWindow {
 public:
  explicit SimCard(SimClock& clock) : clock_(clock) {}

  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;

  // A new mapping of the window starts a new update as far as the checks go.
  void beginSession();

  void attachFlash(std::unique_ptr<SimFlashPort> flash) { flash_ = std::move(flash); }
  void attachJtag(std::unique_ptr<SimJtagPort> jtag) { jtag_ = std::move(jtag); }
  SimFlashPort* flash() { return flash_.get(); }
  SimJtagPort* jtag() { return jtag_.get(); }

  // Cut the power after this many more register accesses (0 = never).
  void cutPowerAfter(uint64_t accesses) { powerCutAt_ = accesses ? accessCount_ + accesses : 0; }
  // Cut the power now, between two accesses; or at a moment since the last
  // access (inside a sleep, say), `lostAtNs` on the clock.
  void cutPowerNow();
  void cutPowerAt(uint64_t lostAtNs);
  // Power comes back, as when the user switches the computer on again: the
  // flash and chain come up as their power loss left them, and the next
  // mapping of the window starts a new update.
  void restorePower();
  bool powered() const { return powered_; }

  uint64_t accessCount() const { return accessCount_; }
  uint64_t violationCount() const { return violations_; }
  const std::vector<std::string>& violationNotes() const { return notes_; }
  uint32_t lastJtagPortValue() const { return lastPortValue_; }
  SimClock& clock() { return clock_; }

 private:
  enum class Use { None, Jtag, Flash };
  // Polled: the read-back register was read; another poll must sync first.
  enum class FlashStep { Idle, NeedSyncWrite, NeedSyncRead, ReadReady, Polled };
  void countAccess();
  void violation(const std::string& note);
  void use(Use kind);
  void checkNotMidCycle(uint32_t offset);

  SimClock& clock_;
  std::unique_ptr<SimFlashPort> flash_;
  std::unique_ptr<SimJtagPort> jtag_;
  uint64_t accessCount_ = 0;
  uint64_t powerCutAt_ = 0;
  bool powered_ = true;
  uint64_t violations_ = 0;
  std::vector<std::string> notes_;
  Use sessionUse_ = Use::None;
  FlashStep flashStep_ = FlashStep::Idle;
  bool pendingRead_ = false;
  uint32_t lastPortValue_ = 0;
  // Which copy of the port value may come next: 1 after a write to 0x100 (a
  // lone write there is complete), 2 and 3 part-way through the block, 0 none.
  int nextPortWord_ = 0;
};

}  // namespace tarn::sim
