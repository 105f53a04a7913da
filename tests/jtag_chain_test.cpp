// The simulated JTAG chain: TAP controller, port decoding, the TDO models and
// the stand-in device, driven pin by pin through the simulated card the way
// the JTAG port driver drives it (TDO sampled while TCK is low).
#include "sim/jtag_chain.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/registers.hpp"
#include "sim/sim_card.hpp"
#include "sim/stand_in_device.hpp"

namespace tarn::sim {
namespace {

using P = TapPhase;
namespace si = tarn::standin;

// The IEEE 1149.1 diagram, written out once more independently of tapNext.
struct Edge {
  P from;
  P tms0;
  P tms1;
};
const Edge kDiagram[16] = {
    {P::Reset, P::Idle, P::Reset},
    {P::Idle, P::Idle, P::DrSelect},
    {P::DrSelect, P::DrCapture, P::IrSelect},
    {P::DrCapture, P::DrShift, P::DrExit1},
    {P::DrShift, P::DrShift, P::DrExit1},
    {P::DrExit1, P::DrPause, P::DrUpdate},
    {P::DrPause, P::DrPause, P::DrExit2},
    {P::DrExit2, P::DrShift, P::DrUpdate},
    {P::DrUpdate, P::Idle, P::DrSelect},
    {P::IrSelect, P::IrCapture, P::Reset},
    {P::IrCapture, P::IrShift, P::IrExit1},
    {P::IrShift, P::IrShift, P::IrExit1},
    {P::IrExit1, P::IrPause, P::IrUpdate},
    {P::IrPause, P::IrPause, P::IrExit2},
    {P::IrExit2, P::IrShift, P::IrUpdate},
    {P::IrUpdate, P::Idle, P::DrSelect},
};

// Drives the pins through the card's port block as the player does.
class Pins {
 public:
  explicit Pins(std::unique_ptr<JtagChain> chain) : card_(clock_) {
    chain_ = chain.get();
    card_.attachJtag(std::move(chain));
    card_.write32(kJtagPortRegister, kJtagPortEnable);
  }
  void block(uint32_t v) {
    card_.write32(kJtagPortRegister, v);
    card_.write32(kJtagPortWord1, v);
    card_.write32(kJtagPortWord2, v);
    card_.write32(kJtagPortWord3, v);
  }
  // One clock: TMS and TDI with TCK low, TDO sampled, then TCK high.
  bool clock(bool tms, bool tdi = false) {
    const uint32_t v = 8u | (tms ? 1u : 0u) | (tdi ? 4u : 0u);
    block(v);
    const bool tdo = (card_.read32(kStatusRegister) & kTdoBit) != 0;
    block(v | 2u);
    return tdo;
  }
  void tms(std::initializer_list<int> levels) {
    for (int l : levels) clock(l != 0);
  }
  void reset() { tms({1, 1, 1, 1, 1, 0}); }  // ends in Run-Test/Idle
  // Shifts `bits` (first shifted first) through the register chosen from
  // Idle and returns to Idle; returns the bits seen on TDO.
  std::vector<bool> scan(bool ir, const std::vector<bool>& bits) {
    if (ir) {
      tms({1, 1, 0, 0});
    } else {
      tms({1, 0, 0});
    }
    std::vector<bool> out;
    for (size_t i = 0; i < bits.size(); ++i) out.push_back(clock(i + 1 == bits.size(), bits[i]));
    tms({1, 0});
    return out;
  }
  std::vector<bool> scanValue(bool ir, uint64_t value, size_t length) {
    std::vector<bool> bits;
    for (size_t i = 0; i < length; ++i) bits.push_back(((value >> i) & 1u) != 0);
    return scan(ir, bits);
  }
  uint64_t scanNumber(bool ir, uint64_t value, size_t length) {
    const std::vector<bool> out = scanValue(ir, value, length);
    uint64_t v = 0;
    for (size_t i = 0; i < out.size() && i < 64; ++i) v |= uint64_t(out[i]) << i;
    return v;
  }
  // Shifts bytes (most significant first, last byte's bit 0 out first).
  std::vector<uint8_t> scanBytes(const std::vector<uint8_t>& bytes) {
    std::vector<bool> bits;
    for (size_t i = 0; i < bytes.size() * 8; ++i) {
      bits.push_back(((bytes[bytes.size() - 1 - i / 8] >> (i % 8)) & 1u) != 0);
    }
    const std::vector<bool> out = scan(false, bits);
    std::vector<uint8_t> result(bytes.size(), 0);
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i]) result[bytes.size() - 1 - i / 8] |= uint8_t(1u << (i % 8));
    }
    return result;
  }
  // Waits in Run-Test/Idle with TCK low, as the port driver's wait does.
  void waitUs(uint32_t us) {
    block(8);
    if (us < 1000) {
      for (uint32_t i = 0; i < 5 * us; ++i) card_.write32(kJtagPortRegister, 8);
    } else {
      clock_.sleepMs((us + 999) / 1000);
    }
  }
  void instruction(uint8_t op, uint32_t waitUs_ = 0) {
    scanValue(true, op, 8);
    if (waitUs_) waitUs(waitUs_);
  }

  SimClock clock_;
  SimCard card_;
  JtagChain* chain_ = nullptr;
};

TEST(TapController, EveryEdgeOfTheDiagram) {
  for (const Edge& e : kDiagram) {
    EXPECT_EQ(tapNext(e.from, false), e.tms0) << int(e.from);
    EXPECT_EQ(tapNext(e.from, true), e.tms1) << int(e.from);
  }
}

TEST(TapController, FiveTmsHighClocksResetFromEveryState) {
  // Reach each state on the card's chain, then five TMS-high clocks.
  const std::vector<std::vector<int>> paths = {{},
                                               {0},
                                               {0, 1},
                                               {0, 1, 0},
                                               {0, 1, 0, 0},
                                               {0, 1, 0, 1},
                                               {0, 1, 0, 1, 0},
                                               {0, 1, 0, 1, 0, 1},
                                               {0, 1, 0, 1, 1},
                                               {0, 1, 1},
                                               {0, 1, 1, 0},
                                               {0, 1, 1, 0, 0},
                                               {0, 1, 1, 0, 1},
                                               {0, 1, 1, 0, 1, 0},
                                               {0, 1, 1, 0, 1, 0, 1},
                                               {0, 1, 1, 0, 1, 1}};
  for (size_t s = 0; s < 16; ++s) {
    Pins pins(std::make_unique<ConstantTdoChain>(false));
    pins.tms({1, 1, 1, 1, 1});
    ASSERT_EQ(pins.chain_->tapState(), P::Reset);
    for (int l : paths[s]) pins.clock(l != 0);
    ASSERT_EQ(int(pins.chain_->tapState()), int(s));
    pins.tms({1, 1, 1, 1, 1});
    EXPECT_EQ(pins.chain_->tapState(), P::Reset) << "from state " << s;
  }
}

TEST(JtagPort, OnlyRisingEdgesOfAnEnabledPortClockAndSixteenReleases) {
  Pins pins(std::make_unique<ConstantTdoChain>(true));
  pins.clock(true);
  EXPECT_EQ(pins.chain_->risingEdges(), 1u);
  // Repeated TCK-high writes are no new edge; nor are writes with bit 3 clear.
  pins.block(8 | 2);
  pins.card_.write32(kJtagPortRegister, 0);
  pins.card_.write32(kJtagPortRegister, 2);
  EXPECT_EQ(pins.chain_->risingEdges(), 1u);
  pins.card_.write32(kJtagPortRegister, kJtagPortRelease);
  EXPECT_EQ(pins.chain_->releases(), 1u);
  EXPECT_FALSE(pins.chain_->portEnabled());
  EXPECT_EQ(pins.card_.violationCount(), 0u);
}

TEST(ChainModels, ConstantTdo) {
  for (bool level : {false, true}) {
    Pins pins(makeJtagChain(level ? "tdo:1" : "tdo:0"));
    pins.reset();
    const std::vector<bool> out = pins.scanValue(false, 0x5A, 8);
    for (bool b : out) EXPECT_EQ(b, level);
  }
}

TEST(ChainModels, DelayEchoesTdiShiftedEarlier) {
  const std::vector<bool> pattern = {1, 0, 1, 1, 0, 0, 1, 0, 1, 1};
  {
    Pins pins(makeJtagChain("delay:0"));
    pins.reset();
    EXPECT_EQ(pins.scan(false, pattern), pattern);  // the TDI of the same TCK-low write
  }
  {
    Pins pins(makeJtagChain("delay:3"));
    pins.reset();
    std::vector<bool> expect = {0, 0, 0};
    expect.insert(expect.end(), pattern.begin(), pattern.end() - 3);
    EXPECT_EQ(pins.scan(false, pattern), expect);
    // The three bits still in the delay come out first in the next scan, IR
    // or DR alike: edges outside the shift states do not move them.
    EXPECT_EQ(pins.scan(true, {0, 0, 0, 0}), (std::vector<bool>{0, 1, 1, 0}));
  }
  std::string error;
  EXPECT_EQ(makeJtagChain("delay:x", &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(makeJtagChain("sideways", &error), nullptr);
  EXPECT_NE(makeJtagChain("device:erase-fails,stuck-bit=9"), nullptr);
  EXPECT_EQ(makeJtagChain("device:stuck-bit=", &error), nullptr);
  EXPECT_EQ(makeJtagChain("device:melts", &error), nullptr);
}

// --- the stand-in device ----------------------------------------------------

struct DevicePins : Pins {
  explicit DevicePins(StandInDeviceFaults faults = {})
      : Pins(std::make_unique<StandInDevice>(faults)) {
    device = static_cast<StandInDevice*>(chain_);
    reset();
  }
  uint32_t status() {
    instruction(si::kStatus);
    return uint32_t(scanNumber(false, 0, 6));
  }
  void enableAndErase(uint32_t eraseWaitUs = si::kEraseUs) {
    instruction(si::kEnable, si::kEnableUs);
    instruction(si::kErase, eraseWaitUs);
  }
  void address(uint32_t row) {
    instruction(si::kAddress);
    scanValue(false, row, 16);
    waitUs(si::kAddressUs);
  }
  void programPage(uint32_t row, const std::vector<uint8_t>& data, uint32_t waitUs_) {
    address(row);
    instruction(si::kLoadPage);
    scanBytes(data);
    instruction(si::kProgramPage, waitUs_);
  }
  std::vector<uint8_t> readPage(uint32_t row) {
    address(row);
    instruction(si::kReadPage, si::kSenseUs);
    return scanBytes(std::vector<uint8_t>(si::kPageBits / 8, 0));
  }
  StandInDevice* device = nullptr;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 37 + (i >> 3));
  return v;
}

TEST(StandInDevice, IdentifiesAndReportsStatus) {
  DevicePins pins;
  // Reset selects the identification.
  EXPECT_EQ(pins.scanNumber(false, 0, 32), si::kIdCode);
  EXPECT_EQ(pins.status(), si::kStatusMarker);
  pins.instruction(si::kEnable, si::kEnableUs);
  EXPECT_EQ(pins.status(), si::kStatusMarker | si::kStatusEnabled);
  // The instruction register captures 01 (standard) whatever was loaded.
  EXPECT_EQ(pins.scanNumber(true, si::kBypass, 8), 0x01u);
}

TEST(StandInDevice, StoresWhatIsProgrammedAndReadsItBack) {
  DevicePins pins;
  pins.device->preload(std::vector<uint8_t>(si::kArrayBytes, 0x00), true);  // old firmware
  pins.enableAndErase();
  EXPECT_EQ(pins.status(), si::kStatusMarker | si::kStatusEnabled | si::kStatusErased);
  const std::vector<uint8_t> data = pattern(si::kPageBits / 8, 3);
  pins.programPage(6, data, si::kProgramPageUs);
  EXPECT_EQ(pins.readPage(6), data);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), pins.device->array().begin() + 6 * 256));
  EXPECT_EQ(pins.device->array()[5 * 256], 0xFF);  // the row before stays erased
  // A load shows the rows it goes to: programmed ones are no longer blank.
  pins.address(6);
  pins.instruction(si::kLoadPage);
  EXPECT_EQ(pins.scanBytes(std::vector<uint8_t>(512, 0xFF)), data);

  // Done flag, leave programming mode, release: the card starts from it.
  pins.instruction(si::kSetDone, si::kSetDoneUs);
  pins.instruction(si::kDisable, si::kDisableUs);
  pins.instruction(si::kDone);
  EXPECT_EQ(pins.scanNumber(false, 0, 1), 1u);
  pins.card_.write32(kJtagPortRegister, kJtagPortRelease);
  EXPECT_TRUE(pins.device->started());
  EXPECT_EQ(pins.device->startedDigest(),
            fnv1a64(pins.device->array().data(), pins.device->array().size()));
}

TEST(StandInDevice, TimedStepsNeedTheirWaitInRunTestIdle) {
  DevicePins pins;
  pins.enableAndErase();
  const std::vector<uint8_t> data = pattern(512, 9);
  // A program step left at once does not program, and says so (the step is
  // judged when the controller leaves Run-Test/Idle, here for the status).
  pins.programPage(0, data, 0);
  EXPECT_NE(pins.status() & si::kStatusFail, 0u);
  EXPECT_EQ(pins.device->array()[0], 0xFF);
  // A millisecond short is still short; the full time programs.
  pins.programPage(2, data, si::kProgramPageUs - 1001);
  pins.status();
  EXPECT_EQ(pins.device->array()[2 * 256], 0xFF);
  pins.programPage(2, data, si::kProgramPageUs);
  pins.status();
  EXPECT_EQ(pins.device->array()[2 * 256], data[0]);
  // A read whose sense step was not waited for shows nothing.
  pins.programPage(4, data, si::kProgramPageUs);
  pins.address(4);
  pins.instruction(si::kReadPage);
  EXPECT_EQ(pins.scanBytes(std::vector<uint8_t>(512, 0)), std::vector<uint8_t>(512, 0));
  // An erase cut short leaves the array as it was; nothing starts without
  // the done flag.
  pins.instruction(si::kErase, 1000000);
  EXPECT_EQ(pins.status() & si::kStatusErased, 0u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), pins.device->array().begin() + 4 * 256));
  pins.instruction(si::kDisable, si::kDisableUs);
  pins.card_.write32(kJtagPortRegister, kJtagPortRelease);
  EXPECT_FALSE(pins.device->started());
}

TEST(StandInDevice, FaultsStuckBitAndEraseThatNeverCompletes) {
  {
    StandInDeviceFaults faults;
    faults.stuckBit = 6 * 256 * 8 + 8 * 3 + 1;  // row 6, byte 3, bit 1
    DevicePins pins(faults);
    pins.enableAndErase();
    const std::vector<uint8_t> zeros(512, 0x00);
    pins.programPage(6, zeros, si::kProgramPageUs);
    std::vector<uint8_t> expect = zeros;
    expect[3] = 0x02;
    EXPECT_EQ(pins.readPage(6), expect);
  }
  {
    StandInDeviceFaults faults;
    faults.eraseNeverCompletes = true;
    DevicePins pins(faults);
    pins.device->preload(std::vector<uint8_t>(si::kArrayBytes, 0x5A), true);
    pins.enableAndErase();
    EXPECT_EQ(pins.status(), si::kStatusMarker | si::kStatusEnabled | si::kStatusDoneFlag);
    EXPECT_EQ(pins.device->array()[1000], 0x5A);
  }
}

// A power cut keeps what a timed step had done by then, and the device comes
// up out of programming mode with its controller reset; the card starts from
// it only with the done flag.
TEST(StandInDevice, PowerCutKeepsWhatTheRunningStepHadDone) {
  struct Case {
    const char* what;
    uint8_t step;
    uint32_t waitUs;
    uint8_t firstByte, lastByte;  // of the array (erase) or of row 8's page (program)
    bool starts;
  };
  const uint32_t half = si::kEraseUs / 2;
  const Case cases[] = {
      {"erase cut half-way: done flag gone, the first half of the rows", si::kErase, half, 0xFF,
       0x00, false},
      {"erase complete", si::kErase, si::kEraseUs, 0xFF, 0xFF, false},
      {"erase just begun: no row yet, but the done flag already gone", si::kErase, 0, 0x00, 0x00,
       false},
      {"page program cut half-way", si::kProgramPage, si::kProgramPageUs / 2, 0x5A, 0xFF, false},
      {"done flag cut short", si::kSetDone, si::kSetDoneUs / 2, 0x5A, 0x5A, false},
      {"done flag complete", si::kSetDone, si::kSetDoneUs, 0x5A, 0x5A, true},
  };
  for (const Case& c : cases) {
    DevicePins pins;
    pins.device->preload(std::vector<uint8_t>(si::kArrayBytes, 0x00), true);
    const std::vector<uint8_t> page(si::kPageBits / 8, 0x5A);
    if (c.step == si::kErase) {
      pins.instruction(si::kEnable, si::kEnableUs);
      pins.instruction(si::kErase, c.waitUs);
    } else {
      pins.enableAndErase();
      pins.programPage(8, page, c.step == si::kProgramPage ? c.waitUs : si::kProgramPageUs);
      if (c.step == si::kSetDone) pins.instruction(si::kSetDone, c.waitUs);
    }
    pins.card_.cutPowerNow();
    const auto& array = pins.device->array();
    const size_t first = c.step == si::kErase ? 0 : 8 * si::kRowBytes;
    const size_t last = c.step == si::kErase ? array.size() - 1 : first + page.size() - 1;
    EXPECT_EQ(array[first], c.firstByte) << c.what;
    EXPECT_EQ(array[last], c.lastByte) << c.what;
    EXPECT_EQ(pins.device->started(), c.starts) << c.what;
    EXPECT_EQ(pins.device->doneFlag(), c.starts) << c.what;
    EXPECT_FALSE(pins.device->programmingMode()) << c.what;
    EXPECT_EQ(pins.device->tapState(), TapPhase::Reset) << c.what;
    // Power back: the chain answers again, and shows the identification.
    pins.card_.restorePower();
    pins.card_.write32(kJtagPortRegister, kJtagPortEnable);
    pins.reset();
    EXPECT_EQ(pins.scanNumber(false, 0, 32), si::kIdCode) << c.what;
  }
}

}  // namespace
}  // namespace tarn::sim
