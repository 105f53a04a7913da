#include "sim/sim_flash.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "card/registers.hpp"
#include "flash/flash_commands.hpp"
#include "flash/flash_image.hpp"

namespace tarn::sim {
namespace {

// Bits of the read-back register that carry nothing; the card leaves noise there.
constexpr uint32_t kNoise = 0x3C000000;
constexpr uint8_t kDq7 = 0x80, kDq6 = 0x40, kDq5 = 0x20, kDq3 = 0x08;

}  // namespace

SimNorFlash::SimNorFlash(SimFlashTiming timing, SimFlashFaults faults)
    : timing_(timing),
      faults_(std::move(faults)),
      memory_(kSize, 0xFF),
      beforeErase_(kSectorSize, 0xFF) {
  notes_.reserve(32);
}

void SimNorFlash::violation(const char* note, uint32_t address, uint32_t data) {
  ++violations_;
  if (notes_.size() < 32) {
    char text[96];
    std::snprintf(text, sizeof text, "%s (address %05x, data %02x)", note, address, data);
    notes_.emplace_back(text);
  }
}

void SimNorFlash::settle(uint64_t nowNs) {
  if (step_ == Step::Programming) {
    if (!failing_ && nowNs >= opDoneNs_) {
      memory_[opAddress_] &= opData_;
      step_ = Step::Read;
    } else if (failing_ && nowNs >= opStartNs_ + timing_.programLimitNs) {
      // A byte asked to turn a 0 back into 1 gets every other bit it can.
      if (int64_t(opAddress_) != faults_.neverProgramAddress) memory_[opAddress_] &= opData_;
      failedErase_ = false;
      step_ = Step::Failed;
    }
  } else if (step_ == Step::Erasing) {
    if (!failing_ && nowNs >= opDoneNs_) {
      std::fill_n(memory_.begin() + opAddress_, kSectorSize, uint8_t(0xFF));
      step_ = Step::Read;
    } else if (failing_ && nowNs >= opStartNs_ + timing_.eraseLimitNs) {
      failedErase_ = true;
      step_ = Step::Failed;
    }
  }
}

void SimNorFlash::accessWrite(uint32_t value, uint64_t nowNs) {
  settle(nowNs);
  const FlashAccess access = decodeFlashAccess(value);
  uint32_t address = access.address;
  const uint32_t data = access.data;
  if (address >= kSize) {
    violation("address beyond the flash", address, data);
    address &= kSize - 1;
  }
  if (access.writeCycle) {
    ++writeCycles_;
    cycle(address, data, nowNs);
    return;
  }
  if (data != 0) violation("read request with data bits set", address, data);
  ++readRequests_;
  readAddress_ = address;
  busyPollsLeft_ = timing_.busyPollsPerRead;
  if (step_ != Step::Read && step_ != Step::Programming && step_ != Step::Erasing &&
      step_ != Step::Failed) {
    violation("read in the middle of a command sequence", address, data);
    step_ = Step::Read;
  }
}

void SimNorFlash::cycle(uint32_t address, uint32_t data, uint64_t nowNs) {
  const auto expect = [&](uint32_t wantAddress, uint32_t wantData, Step next, const char* what) {
    if (address == wantAddress && data == wantData) {
      step_ = next;
    } else {
      violation(what, address, data);
      step_ = Step::Read;
    }
  };
  switch (step_) {
    case Step::Programming:
    case Step::Erasing:
      violation("write cycle while the flash is busy", address, data);
      return;
    case Step::Failed:
      if (data == kResetCommand) {
        ++resets_;
        step_ = Step::Read;
      } else {
        violation("write cycle to a flash that reports a failed operation", address, data);
      }
      return;
    case Step::ProgramSetup: {
      // Whatever comes now is the byte, the reset command's included.
      const uint32_t sector = address / kSectorSize;
      ++programs_[sector];
      opAddress_ = address;
      opData_ = uint8_t(data);
      opStartNs_ = nowNs;
      opDoneNs_ = nowNs + timing_.programNs;
      failing_ =
          int64_t(address) == faults_.neverProgramAddress || (memory_[address] & data) != data;
      step_ = Step::Programming;
      return;
    }
    default:
      break;
  }
  if (data == kResetCommand) {  // from read mode or anywhere in a sequence
    ++resets_;
    step_ = Step::Read;
    return;
  }
  switch (step_) {
    case Step::Read:
      expect(kUnlockAddress1, kUnlockData1, Step::Unlock1,
             address == kUnlockAddress1 || data != kUnlockData1
                 ? "write cycle outside a command sequence"
                 : "first unlock cycle at a wrong address");
      return;
    case Step::Unlock1:
      expect(kUnlockAddress2, kUnlockData2, Step::Unlock2, "second unlock cycle wrong");
      return;
    case Step::Unlock2:
      if (address == kUnlockAddress1 && data == kProgramCommand) {
        step_ = Step::ProgramSetup;
      } else if (address == kUnlockAddress1 && data == kEraseCommand) {
        step_ = Step::EraseSetup;
      } else {
        violation("unknown command after the unlock cycles", address, data);
        step_ = Step::Read;
      }
      return;
    case Step::EraseSetup:
      expect(kUnlockAddress1, kUnlockData1, Step::EraseUnlock1,
             "first unlock cycle of the erase wrong");
      return;
    case Step::EraseUnlock1:
      expect(kUnlockAddress2, kUnlockData2, Step::EraseUnlock2,
             "second unlock cycle of the erase wrong");
      return;
    case Step::EraseUnlock2: {
      if (data != kSectorEraseCode) {
        violation("erase command without the sector erase code", address, data);
        step_ = Step::Read;
        return;
      }
      const uint32_t sector = address / kSectorSize;
      ++erases_[sector];
      opAddress_ = sector * kSectorSize;
      std::copy_n(memory_.begin() + opAddress_, kSectorSize, beforeErase_.begin());
      opStartNs_ = nowNs;
      opDoneNs_ = nowNs + timing_.eraseNs;
      failing_ = int32_t(sector) == faults_.neverEraseSector;
      step_ = Step::Erasing;
      return;
    }
    default:
      return;
  }
}

uint8_t SimNorFlash::statusByte(uint64_t nowNs) {
  toggle_ ^= kDq6;
  uint8_t status = toggle_;
  const bool erase = step_ == Step::Erasing || (step_ == Step::Failed && failedErase_);
  if (erase) {
    status |= kDq3;  // DQ7 reads 0 until the sector reads 0xFF
  } else {
    status |= uint8_t(~opData_ & kDq7);
  }
  if (step_ == Step::Failed) {
    status |= kDq5;
    faultShown(nowNs);
  } else if (failing_ && nowNs >= opStartNs_ + (erase ? timing_.eraseNs : timing_.programNs)) {
    faultShown(nowNs);  // a working flash would be done by now
  }
  return status;
}

uint8_t SimNorFlash::arrayByte(uint32_t address) { return peek(address); }

uint8_t SimNorFlash::peek(uint32_t address) const {
  uint8_t value = memory_[address & (kSize - 1)];
  for (const auto& stuck : faults_.stuckBits) {
    if (stuck.address == address) {
      const auto mask = uint8_t(1u << stuck.bit);
      value = stuck.value ? uint8_t(value | mask) : uint8_t(value & ~mask);
    }
  }
  return value;
}

uint32_t SimNorFlash::readBack(uint64_t nowNs) {
  settle(nowNs);
  lastFaultMask_ = 0;
  const int64_t request = int64_t(readRequests_) - 1;
  if (faults_.allOnesFromRead >= 0 && request >= faults_.allOnesFromRead) {
    faultShown(nowNs);
    return 0xFFFFFFFFu;
  }
  const bool statusMode = step_ != Step::Read;
  if (faults_.busyStuckFromRead >= 0 && request >= faults_.busyStuckFromRead) {
    faultShown(nowNs);
    return kNoise | kReadBackBusyBit | 0xA5;
  }
  if (busyPollsLeft_ > 0) {
    --busyPollsLeft_;
    // A byte that is wrong on purpose: taking it as data would show.
    const uint8_t wrong = statusMode ? 0x5A : uint8_t(~memory_[readAddress_]);
    return kNoise | kReadBackBusyBit | wrong;
  }
  if (statusMode) return kNoise | statusByte(nowNs);
  const uint8_t value = arrayByte(readAddress_);
  if (value != memory_[readAddress_]) faultShown(nowNs, uint8_t(value ^ memory_[readAddress_]));
  return kNoise | value;
}

void SimNorFlash::interruptProgram(uint64_t nowNs) {
  if (failing_ && int64_t(opAddress_) == faults_.neverProgramAddress) return;
  // Half of the bits still to clear have gone, the other half have not.
  uint8_t toClear = uint8_t(memory_[opAddress_] & ~opData_);
  const uint64_t elapsed = nowNs - opStartNs_;
  int clearHowMany = 0;
  for (uint8_t bits = toClear; bits != 0; bits &= uint8_t(bits - 1)) ++clearHowMany;
  clearHowMany = elapsed == 0 ? 0 : clearHowMany / 2;
  for (int bit = 0; bit < 8 && clearHowMany > 0; ++bit) {
    if (toClear & (1u << bit)) {
      memory_[opAddress_] &= uint8_t(~(1u << bit));
      --clearHowMany;
    }
  }
}

void SimNorFlash::interruptErase(uint64_t nowNs) {
  if (failing_) return;
  // A sector erase first programs every byte to 0x00, then lets the cells drift
  // up to 0xFF; cut anywhere, the sector holds a mixture.
  const uint64_t elapsed = nowNs - opStartNs_;
  const uint64_t preprogramNs = std::max<uint64_t>(timing_.eraseNs / 10, 1);
  uint8_t* sector = memory_.data() + opAddress_;
  if (elapsed < preprogramNs) {
    const uint64_t count = std::max<uint64_t>(1, elapsed * kSectorSize / preprogramNs);
    std::fill_n(sector, count, uint8_t(0x00));
  } else {
    const uint64_t permille =
        std::min<uint64_t>(999, (elapsed - preprogramNs) * 1000 /
                                    std::max<uint64_t>(timing_.eraseNs - preprogramNs, 1));
    uint32_t seed = 0x9E3779B9u ^ opAddress_;
    for (uint32_t i = 0; i < kSectorSize; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const uint32_t draw = seed >> 8;
      sector[i] = draw % 1000 < permille ? uint8_t(0xFF) : uint8_t(draw >> 12);
    }
  }
  const bool blank = std::all_of(sector, sector + kSectorSize, [](uint8_t b) { return b == 0xFF; });
  const bool unchanged = std::equal(sector, sector + kSectorSize, beforeErase_.begin());
  if (blank || unchanged) sector[0] = beforeErase_[0] != 0x00 ? 0x00 : 0x0F;
}

void SimNorFlash::powerLost(uint64_t nowNs) {
  settle(nowNs);
  if (step_ == Step::Programming) {
    ++interruptedPrograms_;
    interruptProgram(nowNs);
  }
  if (step_ == Step::Erasing) {
    ++interruptedErases_;
    interruptErase(nowNs);
  }
  // When power returns the flash comes up in read mode.
  step_ = Step::Read;
  failing_ = false;
  busyPollsLeft_ = 0;
}

void SimNorFlash::load(uint32_t address, const uint8_t* data, uint32_t size) {
  std::copy_n(data, size, memory_.begin() + address);
}

void SimNorFlash::fill(uint32_t address, uint32_t size, uint8_t value) {
  std::fill_n(memory_.begin() + address, size, value);
}

const char* powerUpSourceName(PowerUpSource source) {
  switch (source) {
    case PowerUpSource::Bank0:
      return "bank 0";
    case PowerUpSource::Bank1:
      return "bank 1";
    default:
      return "no bank";
  }
}

BankState SimNorFlash::bankState(uint32_t bank, FlashImage image, FlashImage older) const {
  const uint32_t base = bank << kBankShift;
  if (peek(base) != kBankMarker) return BankState::Unmarked;
  const auto holds = [&](FlashImage wanted) {
    if (faults_.stuckBits.empty()) {
      return std::memcmp(memory_.data() + base + 1, wanted.data, size_t(wanted.size)) == 0;
    }
    for (int32_t k = 0; k < wanted.size; ++k) {
      if (peek(base + 1 + uint32_t(k)) != wanted.data[k]) return false;
    }
    return true;
  };
  if (holds(image)) return BankState::New;
  if (holds(older)) return BankState::Old;
  return BankState::Partial;
}

void SimNorFlash::loadMarkedImage(uint32_t bank, const uint8_t* data, uint32_t size) {
  const uint32_t base = bank << kBankShift;
  fill(base, kSectorsErasedPerBank * kSectorSize, 0xFF);
  memory_[base] = kBankMarker;
  load(base + 1, data, size);
}

PowerUpSource SimNorFlash::powerUpSource() const {
  for (uint32_t bank = 0; bank < kBankCount; ++bank) {
    const uint32_t base = bank << kBankShift;
    bool starts = peek(base) == kBankMarker;
    for (uint32_t i = 0; starts && i < kImageHeaderSize; ++i) {
      starts = peek(base + 1 + i) == kFlashImageHead[i];
    }
    if (starts) return bank == 0 ? PowerUpSource::Bank0 : PowerUpSource::Bank1;
  }
  return PowerUpSource::None;
}

}  // namespace tarn::sim
