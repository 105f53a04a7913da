// The stand-in XSVF streams played by the real player into the stand-in
// device on a simulated card, on virtual time: they program the device, and a
// faulty device makes the play fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/registers.hpp"
#include "jtag/jtag_port.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "sim/stand_in_device.hpp"
#include "tools/payload-tool/xsvf_standin.hpp"
#include "xsvf/player.hpp"
#include "xsvf/xsvf_stream.hpp"

namespace tarn::sim {
namespace {

struct PlayOutcome {
  XsvfError result = -1;
  uint64_t violations = 0;
  uint32_t lastPortValue = 0;
  std::unique_ptr<SimClock> clock;  // before the card, which keeps a reference
  std::unique_ptr<SimCard> card;
  StandInDevice* device = nullptr;
};

PlayOutcome play(const std::vector<uint8_t>& stream, const std::string& chain) {
  PlayOutcome out;
  out.clock = std::make_unique<SimClock>();
  out.card = std::make_unique<SimCard>(*out.clock);
  SimSystem system(*out.clock);
  std::unique_ptr<JtagChain> model = makeJtagChain(chain);
  out.device = dynamic_cast<StandInDevice*>(model.get());
  out.card->attachJtag(std::move(model));
  out.card->beginSession();
  JtagPort port;
  port.window = out.card.get();
  port.system = &system;
  XsvfStream source;
  source.streamData = stream.data();
  source.streamSize = int32_t(stream.size());
  out.result = playXsvf(port, source, 0, nullptr);
  out.violations = out.card->violationCount();
  out.lastPortValue = out.card->lastJtagPortValue();
  return out;
}

TEST(XsvfStandInPlay, EachStreamProgramsTheDevice) {
  for (bool cardBus : {false, true}) {
    SCOPED_TRACE(cardBus ? "CardBus" : "PCI");
    const PlayOutcome out = play(tools::makeXsvfStandIn(cardBus), "device");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.violations, 0u);
    EXPECT_EQ(out.lastPortValue, kJtagPortRelease);
    ASSERT_NE(out.device, nullptr);
    EXPECT_TRUE(out.device->started());
    const std::vector<uint8_t> image = tools::xsvfStandInImage(cardBus);
    const std::vector<uint8_t>& held = out.device->array();
    ASSERT_GE(held.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), held.begin()));
    for (size_t i = image.size(); i < held.size(); ++i) ASSERT_EQ(held[i], 0xFF) << i;
    EXPECT_EQ(out.device->startedDigest(), fnv1a64(held.data(), held.size()));
    EXPECT_EQ(out.device->abortedSteps(), 0u);
  }
}

TEST(XsvfStandInPlay, AFaultyDeviceFailsThePlay) {
  const std::vector<uint8_t> stream = tools::makeXsvfStandIn(false);
  // Bit 0 of the first byte (the mark's 'T', 0x54) is programmed to 0; so is
  // bit 1 of the first byte of the row area.
  const uint32_t rowAreaBit = 160u * 2 * standin::kRowBytes * 8 + 1;
  const std::vector<std::string> faulty = {"device:erase-fails", "device:stuck-bit=0",
                                           "device:stuck-bit=" + std::to_string(rowAreaBit)};
  for (const std::string& chain : faulty) {
    SCOPED_TRACE(chain);
    const PlayOutcome out = play(stream, chain);
    EXPECT_TRUE(out.result == 2 || out.result == 3) << out.result;
    EXPECT_EQ(out.lastPortValue, kJtagPortRelease);
    EXPECT_FALSE(out.device->started());
  }
  // A chain that is no device at all fails at the identification.
  for (const char* chain : {"tdo:0", "tdo:1", "delay:1"}) {
    EXPECT_EQ(play(stream, chain).result, 2) << chain;
  }
}

}  // namespace
}  // namespace tarn::sim
