#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_card.hpp"
#include "sim/stand_in_device.hpp"

namespace tarn::sim {

// TAP controller states, numbered as XSVF numbers them.
enum class TapPhase : uint8_t {
  Reset = 0,
  Idle = 1,
  DrSelect = 2,
  DrCapture = 3,
  DrShift = 4,
  DrExit1 = 5,
  DrPause = 6,
  DrExit2 = 7,
  DrUpdate = 8,
  IrSelect = 9,
  IrCapture = 10,
  IrShift = 11,
  IrExit1 = 12,
  IrPause = 13,
  IrExit2 = 14,
  IrUpdate = 15,
};

// The IEEE 1149.1 controller: the state after one rising TCK edge with TMS.
TapPhase tapNext(TapPhase state, bool tms);

// The JTAG chain behind the card's port register. It decodes the port value
// (bit 0 TMS, bit 1 TCK, bit 2 TDI, bit 3 port enabled, the value 16 release),
// steps the TAP controller on each rising TCK edge and presents TDO after TCK
// falls. What the chain holds is up to the model deriving from it.
class JtagChain : public SimJtagPort {
 public:
  void portWrite(uint32_t value, uint64_t nowNs) final;
  uint32_t status(uint64_t nowNs) final;

  // The power goes: the model keeps what it had done by then and comes up
  // again as at power-up, its TAP controller in Test-Logic-Reset.
  void powerLost(uint64_t nowNs) final;

  TapPhase tapState() const { return state_; }
  bool portEnabled() const { return enabled_; }
  uint64_t risingEdges() const { return risingEdges_; }
  uint64_t releases() const { return releases_; }

 protected:
  // A rising edge in `state` (before the step) with `tdi`; TDO is not changed here.
  virtual void onRisingEdge(TapPhase state, bool tdi, uint64_t nowNs) = 0;
  // The controller has stepped from `from` to `to` on a rising edge.
  virtual void onStep(TapPhase from, TapPhase to, uint64_t nowNs) {
    (void)from;
    (void)to;
    (void)nowNs;
  }
  // TCK has fallen in `state` with `tdi` driven: the level TDO shows now.
  virtual bool tdoAfterFall(TapPhase state, bool tdi) = 0;
  // The port received the value 16: the card lets its chain go.
  virtual void onRelease(uint64_t nowNs) { (void)nowNs; }
  // The power went at `nowNs`; the controller has already been reset.
  virtual void onPowerLost(uint64_t nowNs) { (void)nowNs; }

 private:
  TapPhase state_ = TapPhase::Reset;
  bool enabled_ = false;
  bool tck_ = false;
  bool tdo_ = false;
  uint64_t risingEdges_ = 0;
  uint64_t releases_ = 0;
};

// TDO held at one level whatever is shifted.
class ConstantTdoChain final : public JtagChain {
 public:
  explicit ConstantTdoChain(bool level) : level_(level) {}

 protected:
  void onRisingEdge(TapPhase, bool, uint64_t) override {}
  bool tdoAfterFall(TapPhase, bool) override { return level_; }

 private:
  bool level_;
};

// TDO is the TDI bit shifted in `delay` shifting edges earlier (0 before
// that many); with a delay of 0 it echoes the TDI driven with TCK low.
class DelayChain final : public JtagChain {
 public:
  explicit DelayChain(uint32_t delay) : delay_(delay), history_(delay ? delay : 1, 0) {}

 protected:
  void onRisingEdge(TapPhase state, bool tdi, uint64_t nowNs) override;
  bool tdoAfterFall(TapPhase state, bool tdi) override;

 private:
  uint32_t delay_;
  std::vector<uint8_t> history_;  // ring of the last `delay_` bits shifted in
  size_t next_ = 0;
};

// Faults a test or tarn-sim may inject into the stand-in device.
struct StandInDeviceFaults {
  bool eraseNeverCompletes = false;
  int64_t stuckBit = -1;  // array bit (byte * 8 + bit, bit 0 = LSB) that never programs
};

// The stand-in programmable device: the card's configuration memory as this
// project models it. 8-bit instruction register; an array of 2048-bit rows
// programmed a page (two rows) or a row at a time, and read back; erase,
// program, and the other timed steps complete only when the controller then
// stays in Run-Test/Idle for the step's time.
class StandInDevice final : public JtagChain {
 public:
  // The instruction set and timing are shared with the stream generator.
  static constexpr uint8_t kIdcode = standin::kIdcode;
  static constexpr uint32_t kRows = standin::kRows;
  static constexpr uint32_t kRowBytes = standin::kRowBytes;
  static constexpr uint32_t kArrayBytes = standin::kArrayBytes;

  explicit StandInDevice(StandInDeviceFaults faults = {});

  // What the device holds: kArrayBytes bytes, row r at r * kRowBytes, each
  // row in the byte order of the scans (most significant byte first).
  const std::vector<uint8_t>& array() const { return array_; }
  bool doneFlag() const { return doneFlag_; }
  bool programmingMode() const { return enabled_; }
  // Whether the card started from the device at its last release, and a
  // digest (64-bit FNV-1a) of the array it started from.
  bool started() const { return started_; }
  uint64_t startedDigest() const { return startedDigest_; }
  uint32_t completedSteps() const { return completedSteps_; }
  uint32_t abortedSteps() const { return abortedSteps_; }
  // The instruction last updated, and since when (0 when not) a timed step
  // has been running in Run-Test/Idle.
  uint8_t instruction() const { return instruction_; }
  uint64_t stepRunningSinceNs() const {
    return pending_ != Step::None && pendingInIdle_ ? idleSinceNs_ : 0;
  }
  // Preloads the array, as a card that already holds firmware would.
  void preload(const std::vector<uint8_t>& content, bool done);

 protected:
  void onRisingEdge(TapPhase state, bool tdi, uint64_t nowNs) override;
  void onStep(TapPhase from, TapPhase to, uint64_t nowNs) override;
  bool tdoAfterFall(TapPhase state, bool tdi) override;
  void onRelease(uint64_t nowNs) override;
  void onPowerLost(uint64_t nowNs) override;

 private:
  enum class Step : uint8_t {
    None,
    Address,
    Sense,
    Enable,
    Disable,
    ProgramPage,
    ProgramRow,
    SetDone,
    Erase,
    NextPage,
    NextRow
  };
  // A shift register as a ring of bits, so a shift is one store.
  struct ShiftRegister {
    std::vector<uint8_t> bits;
    size_t head = 0;
    void load(const uint8_t* bytesMsbFirst, size_t byteCount, size_t length);
    void loadValue(uint64_t value, size_t length);
    bool out() const { return bits.empty() ? false : bits[head] != 0; }
    void shift(bool in);
    void value(uint8_t* bytesMsbFirst, size_t byteCount) const;
    uint64_t low64() const;
  };

  size_t drLength() const;
  void captureDr();
  void updateDr(uint64_t nowNs);
  void updateIr(uint64_t nowNs);
  void post(Step step);
  void settle(uint64_t nowNs);  // finish or abandon the pending step
  void complete(Step step);
  void cutShort(Step step, uint64_t ranNs, uint64_t needNs);
  uint32_t stepUs(Step step) const;
  void programRows(uint32_t row, const std::vector<uint8_t>& data, uint32_t rows);
  uint32_t statusValue() const;

  StandInDeviceFaults faults_;
  std::vector<uint8_t> array_;
  std::vector<uint8_t> pageBuffer_;  // two rows
  std::vector<uint8_t> rowBuffer_;
  uint32_t pendingAddress_ = 0;  // an address scan waiting for its step
  ShiftRegister ir_;
  ShiftRegister dr_;
  uint8_t instruction_ = kIdcode;
  uint32_t address_ = 0;
  uint32_t senseRow_ = UINT32_MAX;  // first row of the sensed data, or none
  bool enabled_ = false;
  bool erasedFlag_ = false;
  bool doneFlag_ = false;
  bool failFlag_ = false;
  Step pending_ = Step::None;
  bool pendingInIdle_ = false;
  uint64_t idleSinceNs_ = 0;
  bool started_ = false;
  uint64_t startedDigest_ = 0;
  uint32_t completedSteps_ = 0;
  uint32_t abortedSteps_ = 0;
};

uint64_t fnv1a64(const uint8_t* data, size_t size);

// Builds a chain model from its name: "tdo:0", "tdo:1", "delay:N", "device",
// or "device:" followed by comma-separated faults "erase-fails" and
// "stuck-bit=N". Returns null and fills `error` for a name it does not know.
std::unique_ptr<JtagChain> makeJtagChain(std::string_view name, std::string* error = nullptr);

}  // namespace tarn::sim
