// The one command table, against the two readers of it: the player's handlers
// and the tools' grammar walk must take the same operand bytes for every code.
#include <gtest/gtest.h>

#include "tests/support/jtag.hpp"
#include "tools/common/xsvf_walk.hpp"
#include "xsvf/xsvf_commands.hpp"

namespace tarn::test {
namespace {

TEST(XsvfCommandTable, PlayerAndWalkTakeTheSameOperandsForEveryCode) {
  // Operands for each code after XSDRSIZE 8, so that data values are one byte.
  const std::vector<uint8_t> operands[xsvf_command::count] = {
      {},     {0xFF}, {0x08, 0xAA}, {0x00},       {0, 0, 0, 0},  {},
      {},     {0x00}, {0, 0, 0, 8}, {0x00, 0x00}, {0x01, 0x0F},  {0x00, 0x02},
      {0x00}, {0x00}, {0x00},       {0x00, 0x00}, {0x00, 0x00},  {0x00, 0x00},
      {0x01}, {0x00}, {0x00},       {0, 8, 0xAA}, {'h', 'i', 0}, {1, 1, 0, 0, 0, 0}};
  for (int code = 1; code < xsvf_command::count; ++code) {
    SCOPED_TRACE(kXsvfCommands[code].name);
    std::vector<uint8_t> stream = {xsvf_command::XSDRSIZE, 0, 0, 0, 8, uint8_t(code)};
    stream.insert(stream.end(), operands[code].begin(), operands[code].end());
    stream.push_back(xsvf_command::XCOMPLETE);
    const tools::XsvfWalkResult walk =
        tools::walkXsvf(stream.data(), int64_t(stream.size()), nullptr);
    PlayWorld world;
    const XsvfError result = world.play(stream);
    if (kXsvfCommands[code].operands == XsvfOperands::unsupported) {
      EXPECT_FALSE(walk.ok);
      EXPECT_EQ(result, xsvf_error::unsupportedCommand);
      continue;
    }
    EXPECT_TRUE(walk.ok) << walk.problem;
    EXPECT_EQ(walk.offset, int64_t(stream.size()) - 1);  // XCOMPLETE found where it stands
    // A failed compare ends the play before XCOMPLETE, after the command's operands.
    EXPECT_EQ(world.stream.readIndex, int32_t(stream.size()) - (result == 0 ? 0 : 1)) << result;
  }
}

}  // namespace
}  // namespace tarn::test
