#include "sim/sim_flash.hpp"

#include <gtest/gtest.h>

#include "flash/flash_bus.hpp"
#include "flash/flash_commands.hpp"
#include "sim/flash_rig.hpp"
#include "tests/support/flash.hpp"

namespace tarn::sim {
namespace {

using test::makeTestImage;

void unlock(FlashBus& bus) {
  flashWrite(bus, kUnlockAddress1, kUnlockData1);
  flashWrite(bus, kUnlockAddress2, kUnlockData2);
}
// The cycles of a command before its last, which a test writes itself.
void programSetup(FlashBus& bus) {
  unlock(bus);
  flashWrite(bus, kUnlockAddress1, kProgramCommand);
}
void eraseSetup(FlashBus& bus) {
  unlock(bus);
  flashWrite(bus, kUnlockAddress1, kEraseCommand);
  unlock(bus);
}

TEST(SimNorFlash, ProgramClearsBitsOnlyAndReportsStatusWhileBusy) {
  FlashRig rig;  // a byte takes 7 us, 35 accesses at 200 ns
  rig.flash->fill(0x100, 1, 0x0F);
  // Status reads while the byte programs: DQ7 is the complement of the data's.
  programSetup(rig.bus);
  flashWrite(rig.bus, 0x100, 0x05);
  const uint32_t first = flashRead(rig.bus, 0x100);
  EXPECT_EQ(first & 0x80, 0x80u);
  EXPECT_EQ(first & 0x20, 0u);
  EXPECT_NE(first, flashRead(rig.bus, 0x100));  // DQ6 toggles
  rig.clock.sleepMs(1);
  EXPECT_EQ(flashRead(rig.bus, 0x100), 0x05u);  // back in read mode by itself

  // 0x0F then 0xF0: the upper bits cannot come back, DQ5 comes up.
  EXPECT_EQ(flashProgramByte(rig.bus, 0x200, 0x0F), 1);
  EXPECT_EQ(flashProgramByte(rig.bus, 0x200, 0xF0), 0);
  EXPECT_EQ(rig.flash->peek(0x200), 0x00);
  // A failed operation keeps status until reset.
  EXPECT_EQ(flashRead(rig.bus, 0x200) & 0x20, 0x20u);
  flashReset(rig.bus);
  EXPECT_EQ(flashRead(rig.bus, 0x200), 0x00u);
  EXPECT_EQ(rig.violations(), 0u);
}

TEST(SimNorFlash, EraseReadsStatusNotBlankUntilDone) {
  SimFlashTiming timing;
  timing.eraseNs = 5000000;
  FlashRig rig(timing);
  rig.flash->fill(0x10000, 0x10000, 0x00);
  eraseSetup(rig.bus);
  flashWrite(rig.bus, 0x10000, kSectorEraseCode);
  rig.clock.sleepMs(4);
  const uint32_t status = flashRead(rig.bus, 0x1ABCD);
  EXPECT_NE(status, 0xFFu);
  EXPECT_EQ(status & 0x88, 0x08u);  // DQ7 0, DQ3 set
  rig.clock.sleepMs(1);
  EXPECT_EQ(flashRead(rig.bus, 0x1ABCD), 0xFFu);
  EXPECT_EQ(rig.flash->peek(0x20000), 0xFF);
  EXPECT_EQ(rig.violations(), 0u);
}

TEST(SimNorFlash, BusyPollsPerReadAreConfigurable) {
  SimFlashTiming timing;
  timing.busyPollsPerRead = 3;
  FlashRig rig(timing);
  rig.flash->fill(0x10, 1, 0x42);
  EXPECT_EQ(flashRead(rig.bus, 0x10), 0x42u);
  EXPECT_EQ(rig.card.accessCount(), 1u + 4u * 3u);
}

TEST(SimNorFlash, BrokenCommandSequencesAreViolations) {
  FlashRig rig;
  flashWrite(rig.bus, kUnlockAddress1 - 1, kUnlockData1);  // wrong first unlock address
  EXPECT_EQ(rig.flash->violationCount(), 1u);
  flashWrite(rig.bus, kUnlockAddress1, kUnlockData1);
  flashWrite(rig.bus, kUnlockAddress2 + 1, kUnlockData2);  // wrong second unlock address
  EXPECT_EQ(rig.flash->violationCount(), 2u);
  flashWrite(rig.bus, kUnlockAddress1, kUnlockData1);
  flashRead(rig.bus, 0);  // a read inside a sequence
  EXPECT_EQ(rig.flash->violationCount(), 3u);
  eraseSetup(rig.bus);
  flashWrite(rig.bus, 0x10000, 0x10);  // chip erase is not ours
  EXPECT_EQ(rig.flash->violationCount(), 4u);
  // A write cycle without its sync is the card's to see.
  rig.card.write32(kFlashAccessRegister, flashWriteCycleValue(kResetAddress, kResetCommand));
  rig.card.write32(kFlashAccessRegister, flashWriteCycleValue(kResetAddress, kResetCommand));
  EXPECT_GE(rig.card.violationCount(), 1u);
}

TEST(SimNorFlash, PowerUpPicksTheFirstMarkedBankWithAnImageHeader) {
  const auto image = makeTestImage(600, 3);
  SimNorFlash flash;
  EXPECT_EQ(flash.powerUpSource(), PowerUpSource::None);
  flash.loadMarkedImage(1, image.data(), 600);
  EXPECT_EQ(flash.powerUpSource(), PowerUpSource::Bank1);
  flash.loadMarkedImage(0, image.data(), 600);
  EXPECT_EQ(flash.powerUpSource(), PowerUpSource::Bank0);
  flash.fill(5, 1, 0x56);  // header damaged: bank 0 is no good
  EXPECT_EQ(flash.powerUpSource(), PowerUpSource::Bank1);
  flash.fill(0x40000, 1, 0x5B);
  EXPECT_EQ(flash.powerUpSource(), PowerUpSource::None);
}

TEST(SimNorFlash, PowerCutMidEraseLeavesNeitherBlankNorTheOldSector) {
  const auto image = makeTestImage(0x10000, 11);
  for (uint32_t sleptMs : {0u, 50u, 500u, 990u}) {
    FlashRig rig;
    rig.flash->load(0x20000, image.data(), 0x10000);
    eraseSetup(rig.bus);
    flashWrite(rig.bus, 0x20000, kSectorEraseCode);
    rig.clock.sleepMs(sleptMs);
    rig.card.cutPowerAfter(1);
    flashSync(rig.bus);
    EXPECT_FALSE(rig.card.powered());
    bool blank = true, same = true;
    for (uint32_t i = 0; i < 0x10000; ++i) {
      blank = blank && rig.flash->peek(0x20000 + i) == 0xFF;
      same = same && rig.flash->peek(0x20000 + i) == image[i];
    }
    EXPECT_FALSE(blank) << sleptMs;
    EXPECT_FALSE(same) << sleptMs;
    EXPECT_EQ(flashRead(rig.bus, 0), 0xFFu);  // the dead card answers nothing
    EXPECT_EQ(rig.bus.gaveUp, 1);
  }
}

TEST(SimNorFlash, PowerCutMidProgramLeavesAPartialByte) {
  FlashRig rig;
  programSetup(rig.bus);
  rig.card.cutPowerAfter(2);  // the byte's cycle and its sync write
  flashWrite(rig.bus, 0x1234, 0x00);
  const uint8_t byte = rig.flash->peek(0x1234);
  EXPECT_NE(byte, 0xFF);
  EXPECT_NE(byte, 0x00);
}

}  // namespace
}  // namespace tarn::sim
