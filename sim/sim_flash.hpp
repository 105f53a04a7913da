#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "sim/sim_card.hpp"

namespace tarn::sim {

// Times of the simulated flash, on the shared clock. The defaults are those of
// a typical byte-wide part: a byte in microseconds, a sector in about a second.
struct SimFlashTiming {
  uint64_t programNs = 7000;
  uint64_t programLimitNs = 300000;  // DQ5 comes up on a byte that will not program
  uint64_t eraseNs = 1000000000;
  uint64_t eraseLimitNs = 3000000000;  // DQ5 on a sector that will not erase
  uint32_t busyPollsPerRead = 1;       // read-back polls that see busy before the byte

  // Everything completes at once and every read answers on the first poll.
  static SimFlashTiming instant() { return SimFlashTiming{0, 300000, 0, 3000000000, 0}; }
};

// Faults the simulated flash can be told to show. "Never" is -1 (or an empty list).
struct SimFlashFaults {
  struct StuckBit {
    uint32_t address;
    uint8_t bit;    // 0..7
    uint8_t value;  // 0 or 1
  };
  int32_t neverEraseSector = -1;     // the sector keeps its contents; DQ5 comes up
  int64_t neverProgramAddress = -1;  // the byte keeps its contents; DQ5 comes up
  std::vector<StuckBit> stuckBits;   // reads of the array see the bit at this level
  int64_t busyStuckFromRead = -1;    // from this read request on, busy never clears
  int64_t allOnesFromRead = -1;      // from this read request on, read-back is all ones
};

// Where the card would start from at power-up.
enum class PowerUpSource { None, Bank0, Bank1 };
const char* powerUpSourceName(PowerUpSource source);

// What one bank of a flash holds, against the image an update writes and the
// one the card held before it.
enum class BankState : uint8_t { Unmarked, Old, New, Partial };

// A byte-wide JEDEC-style NOR flash of eight 64 KiB sectors behind the flash
// registers of a simulated card. Reads return the array in read mode and status
// while a program or erase runs (DQ7 data polling, DQ6 toggle, DQ5 time limit,
// DQ3 erase timer). Command sequences are checked cycle by cycle; every breach
// is counted as a violation and the cycle is ignored.
class SimNorFlash final : public SimFlashPort {
 public:
  static constexpr uint32_t kSize = 0x80000;
  static constexpr uint32_t kSectorSize = 0x10000;
  static constexpr uint32_t kSectorCount = kSize / kSectorSize;
  // What the card's start-up looks for behind a bank's marker: the dummy word
  // and the sync word that every flash image starts with.
  static constexpr uint32_t kImageHeaderSize = 8;

  explicit SimNorFlash(SimFlashTiming timing = {}, SimFlashFaults faults = {});

  void accessWrite(uint32_t value, uint64_t nowNs) override;
  void syncWrite(uint64_t nowNs) override { (void)nowNs; }
  void syncRead(uint64_t nowNs) override { (void)nowNs; }
  uint32_t readBack(uint64_t nowNs) override;
  void powerLost(uint64_t nowNs) override;

  // The array as the card itself would see it (stuck bits included), without
  // any bus access.
  uint8_t peek(uint32_t address) const;
  // Sets array contents directly, as a factory programmer would.
  void load(uint32_t address, const uint8_t* data, uint32_t size);
  void fill(uint32_t address, uint32_t size, uint8_t value);
  // A complete, marked image in `bank`.
  void loadMarkedImage(uint32_t bank, const uint8_t* data, uint32_t size);
  PowerUpSource powerUpSource() const;
  // What bank `bank` holds, judged on the array as stored.
  BankState bankState(uint32_t bank, FlashImage image, FlashImage older) const;
  // The whole array as stored, stuck bits not applied: for comparing banks at
  // speed where no bit is stuck.
  const uint8_t* storedArray() const { return memory_.data(); }

  SimFlashTiming& timing() { return timing_; }
  SimFlashFaults& faults() { return faults_; }

  uint64_t violationCount() const { return violations_; }
  const std::vector<std::string>& violationNotes() const { return notes_; }
  uint64_t readRequests() const { return readRequests_; }
  uint64_t writeCycles() const { return writeCycles_; }
  uint64_t programsStarted(uint32_t sector) const { return programs_[sector]; }
  uint64_t erasesStarted(uint32_t sector) const { return erases_[sector]; }
  uint64_t resets() const { return resets_; }
  uint64_t interruptedErases() const { return interruptedErases_; }
  uint64_t interruptedPrograms() const { return interruptedPrograms_; }
  // Clock time of the first read-back that showed an injected fault or an
  // operation that failed (DQ5); 0 when none has.
  uint64_t firstFaultShownNs() const { return faultShownNs_; }
  // The bits of the last read-back byte that a sound flash would have given
  // otherwise (0xFF for status or noise in place of the byte).
  uint8_t lastFaultMask() const { return lastFaultMask_; }

 private:
  enum class Step {
    Read,
    Unlock1,       // (0x555, 0xAA) seen
    Unlock2,       // (0x2AA, 0x55) seen
    ProgramSetup,  // (0x555, 0xA0) seen: the next cycle is the byte
    EraseSetup,    // (0x555, 0x80) seen
    EraseUnlock1,
    EraseUnlock2,
    Programming,
    Erasing,
    Failed,  // an operation ran out of time; status with DQ5 until reset
  };

  void violation(const char* note, uint32_t address, uint32_t data);
  void cycle(uint32_t address, uint32_t data, uint64_t nowNs);
  void settle(uint64_t nowNs);
  uint8_t statusByte(uint64_t nowNs);
  uint8_t arrayByte(uint32_t address);
  void faultShown(uint64_t nowNs, uint8_t mask = 0xFF) {
    lastFaultMask_ = mask;
    if (faultShownNs_ == 0) faultShownNs_ = nowNs ? nowNs : 1;
  }
  void interruptErase(uint64_t nowNs);
  void interruptProgram(uint64_t nowNs);

  SimFlashTiming timing_;
  SimFlashFaults faults_;
  std::vector<uint8_t> memory_;
  std::vector<uint8_t> beforeErase_;  // the sector as it was when its erase began

  Step step_ = Step::Read;
  bool failing_ = false;  // the running operation will not complete
  bool failedErase_ = false;
  uint64_t opStartNs_ = 0;
  uint64_t opDoneNs_ = 0;
  uint32_t opAddress_ = 0;
  uint8_t opData_ = 0;
  uint8_t toggle_ = 0;

  uint32_t readAddress_ = 0;
  uint32_t busyPollsLeft_ = 0;

  uint64_t violations_ = 0;
  std::vector<std::string> notes_;
  uint64_t readRequests_ = 0;
  uint64_t writeCycles_ = 0;
  uint64_t programs_[kSectorCount] = {};
  uint64_t erases_[kSectorCount] = {};
  uint64_t resets_ = 0;
  uint64_t interruptedErases_ = 0;
  uint64_t interruptedPrograms_ = 0;
  uint64_t faultShownNs_ = 0;
  uint8_t lastFaultMask_ = 0;
};

}  // namespace tarn::sim
