#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "payloads/stand_in_mark.hpp"
#include "tools/common/xsvf_walk.hpp"
#include "tools/payload-tool/payload_files.hpp"

namespace tarn::tools {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
  for (int k = 3; k >= 0; --k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

// A flash image that passes every check: the head, filler, 16 zero bytes.
Bytes goodFlashImage(int32_t size, uint8_t fill) {
  Bytes b(kFlashImageHead, kFlashImageHead + 16);
  b.resize(static_cast<size_t>(size) - 16, fill);
  b.resize(static_cast<size_t>(size), 0);
  return b;
}

// An XSVF program of exactly `size` bytes: the head, XRUNTEST and XREPEAT
// commands as filler, XCOMPLETE as the last byte.
Bytes goodXsvfStream(int32_t size) {
  Bytes b(kXsvfStreamHead, kXsvfStreamHead + 13);
  b.push_back(0xFE);  // the 8-bit XSIR value
  size_t left = static_cast<size_t>(size) - b.size() - 1;
  while (left % 5 != 0) {
    b.push_back(7);  // XREPEAT 3
    b.push_back(3);
    left -= 2;
  }
  for (; left > 0; left -= 5) {
    b.push_back(4);  // XRUNTEST 51
    put32(b, 51);
  }
  b.push_back(0);
  return b;
}

class FirmwareFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ =
        fs::temp_directory_path() /
        ("tarn-payload-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "fw");
    uint8_t fill = 0x11;
    for (const PayloadSpec& spec : kPayloadSpecs) {
      write(spec.name, spec.kind == PayloadKind::FlashImage ? goodFlashImage(spec.size, fill++)
                                                            : goodXsvfStream(spec.size));
    }
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const char* name, const Bytes& bytes) {
    std::ofstream out(root_ / "fw" / payloadFileName(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  Bytes read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Runs the check; expects a refusal that names the file and the problem,
  // and no copies left in the output folder.
  void expectRefused(const char* name, const std::string& problem) {
    std::string messages;
    EXPECT_NE(validateFirmware((root_ / "fw").string(), (root_ / "out").string(), messages), 0);
    EXPECT_NE(messages.find(payloadFileName(name) + ": "), std::string::npos) << messages;
    EXPECT_NE(messages.find(problem), std::string::npos) << messages;
    EXPECT_EQ(messages.find('\n'), messages.size() - 1) << "one message: " << messages;
    for (const PayloadSpec& spec : kPayloadSpecs) {
      EXPECT_FALSE(fs::exists(root_ / "out" / payloadFileName(spec.name))) << spec.name;
    }
  }

  fs::path root_;
};

TEST_F(FirmwareFolder, GoodFolderIsCopiedWhole) {
  // A stale copy from an earlier check is replaced.
  fs::create_directories(root_ / "out");
  std::ofstream(root_ / "out" / "flashImage100.bin") << "stale";
  std::string messages;
  ASSERT_EQ(validateFirmware((root_ / "fw").string(), (root_ / "out").string(), messages), 0)
      << messages;
  EXPECT_TRUE(messages.empty());
  for (const PayloadSpec& spec : kPayloadSpecs) {
    EXPECT_EQ(read(root_ / "out" / payloadFileName(spec.name)),
              read(root_ / "fw" / payloadFileName(spec.name)))
        << spec.name;
  }
}

TEST_F(FirmwareFolder, EachBadFileIsRefusedByName) {
  fs::remove(root_ / "fw" / "xsvfStreamCardBus.bin");
  expectRefused("xsvfStreamCardBus", "missing");
  SetUp();

  Bytes shortImage = goodFlashImage(kFlashImage100Size - 4, 0x22);
  write("flashImage100", shortImage);
  expectRefused("flashImage100", "size is 166976 bytes, must be 166980");
  SetUp();

  Bytes head = goodFlashImage(kFlashImage150Size, 0x22);
  head[4] = 0xAA;  // the sync word in its usual bit order: not reversed
  write("flashImage150", head);
  expectRefused("flashImage150", "the first 16 bytes are FF FF FF FF AA");
  SetUp();

  Bytes tail = goodFlashImage(kFlashImage50Size, 0x22);
  tail[tail.size() - 9] = 1;
  write("flashImage50CardBus", tail);
  expectRefused("flashImage50CardBus", "the last 16 bytes");
  SetUp();

  Bytes marked = goodFlashImage(kFlashImage50Size, 0x22);
  std::copy(kStandInMark, kStandInMark + kStandInMarkLength, marked.begin() + 5000);
  write("flashImage50Pci", marked);
  expectRefused("flashImage50Pci", "stand-in mark");
}

TEST_F(FirmwareFolder, XsvfStreamsAreWalkedToTheirLastByte) {
  Bytes head = goodXsvfStream(kXsvfStreamSize);
  head[12] = 0x10;  // XSIR of 16 bits
  write("xsvfStreamPci", head);
  expectRefused("xsvfStreamPci", "the first 13 bytes");
  SetUp();

  Bytes lastByte = goodXsvfStream(kXsvfStreamSize);
  lastByte.back() = 7;
  write("xsvfStreamPci", lastByte);
  expectRefused("xsvfStreamPci", "the last byte is 07");
  SetUp();

  // An early XCOMPLETE: the grammar ends before the size, though the last
  // byte is still 0.
  Bytes early = goodXsvfStream(kXsvfStreamSize);
  early[1000] = 0;
  write("xsvfStreamCardBus", early);
  expectRefused("xsvfStreamCardBus", "XCOMPLETE at offset 1000 is followed by");
  SetUp();

  // A data-register length that makes the last command run past the end.
  Bytes overrun = goodXsvfStream(kXsvfStreamSize);
  const size_t at = overrun.size() - 1 - 5 - 5;  // the last two XRUNTEST become XSDRSIZE, XSDR
  const uint8_t sizeThenShift[] = {8, 0, 0, 0, 64, 3, 0, 0, 0, 0};
  std::copy(std::begin(sizeThenShift), std::end(sizeThenShift),
            overrun.begin() + static_cast<long>(at));
  write("xsvfStreamCardBus", overrun);
  expectRefused("xsvfStreamCardBus", "XSDR at offset");

  std::string messages;
  EXPECT_NE(validateFirmware((root_ / "fw").string(), (root_ / "out").string(), messages), 0);
}

TEST(XsvfWalk, CensusCountsCommandsLengthsTimesAndWaits) {
  const uint8_t stream[] = {0x07, 0x00,                          // XREPEAT 0
                            0x12, 0x00,                          // XSTATE RESET
                            0x04, 0x00, 0x00, 0x00, 0x33,        // XRUNTEST 51
                            0x02, 0x08, 0xA5,                    // XSIR 8 bits
                            0x08, 0x00, 0x00, 0x00, 0x10,        // XSDRSIZE 16
                            0x01, 0xFF, 0xFF,                    // XTDOMASK
                            0x09, 0x12, 0x34, 0x00, 0x00,        // XSDRTDO
                            0x16, 'h',  'i',  0x00,              // XCOMMENT
                            0x0A, 0x01, 0x00, 0x00, 0x0F,        // XSETSDRMASKS: 4 data bits
                            0x0B, 0x12, 0x00, 0x02, 0x05, 0x0A,  // XSDRINC, 2 data values of 1 byte
                            0x17, 0x01, 0x01, 0x00, 0x00, 0x03, 0xE8,  // XWAIT 1000
                            0x15, 0x00, 0x0C, 0xAB, 0xCD,              // XSIR2 12 bits
                            0x00};                                     // XCOMPLETE
  XsvfCensus census;
  const XsvfWalkResult r = walkXsvf(stream, sizeof stream, &census);
  ASSERT_TRUE(r.ok) << r.problem;
  EXPECT_EQ(census.commandCount, 13u);
  EXPECT_EQ(census.perCode[2], 1u);
  EXPECT_EQ(census.perCode[21], 1u);
  EXPECT_EQ(census.perCode[11], 1u);
  EXPECT_EQ(census.dataRegisterBits.at(16), 1u);
  EXPECT_EQ(census.instructionBits.at(8), 1u);
  EXPECT_EQ(census.instructionBits.at(12), 1u);
  EXPECT_EQ(census.runTestTimes.at(51), 1u);
  EXPECT_EQ(census.repeatCounts.at(0), 1u);
  EXPECT_EQ(census.stateTargets.at(0), 1u);
  // Shifts under 51 µs: XSIR, XSDRTDO, 3 XSDRINC shifts, XSIR2 = 6; plus XWAIT 1000.
  EXPECT_EQ(census.shiftsPerRunTestTime.at(51), 6u);
  EXPECT_EQ(census.mandatedWaitMicroseconds, 6u * 51u + 1000u);
}

TEST(XsvfWalk, RefusesWhatThePlayerWouldNotFinish) {
  struct Case {
    std::vector<uint8_t> stream;
    const char* problem;
  } cases[] = {
      {{}, "without XCOMPLETE"},
      {{0x07, 0x00}, "without XCOMPLETE"},
      {{0x05, 0x00}, "unsupported command code 5"},
      {{0x18, 0x00}, "unsupported command code 24"},
      {{0x04, 0x00, 0x00}, "XRUNTEST at offset 0 runs past"},
      {{0x08, 0x00, 0x00, 0xDA, 0xC1, 0x00}, "above 56000"},  // 56001 bits
      {{0x15, 0xDA, 0xC1, 0x00}, "above 56000"},
      {{0x16, 'a', 'b'}, "XCOMMENT at offset 0 runs past"},
      {{0x00, 0x00}, "followed by 1 more bytes"},
  };
  for (const Case& c : cases) {
    const XsvfWalkResult r =
        walkXsvf(c.stream.data(), static_cast<int64_t>(c.stream.size()), nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.problem.find(c.problem), std::string::npos) << r.problem;
  }
  // 56000 bits is the largest length accepted.
  const uint8_t largest[] = {0x08, 0x00, 0x00, 0xDA, 0xC0, 0x00};
  EXPECT_TRUE(walkXsvf(largest, sizeof largest, nullptr).ok);
}

TEST(PayloadTool, GeneratedStandInsAreTheEmbeddedBytes) {
  if (!payloadsAreStandIns()) GTEST_SKIP() << "real firmware embedded";
  const fs::path dir = fs::temp_directory_path() / "tarn-payload-generate-test";
  fs::remove_all(dir);
  std::string messages;
  ASSERT_EQ(generateStandIns(dir.string(), messages), 0) << messages;
  for (const PayloadSpec& spec : kPayloadSpecs) {
    const PayloadEntry* e = findPayload(spec.name);
    ASSERT_NE(e, nullptr) << spec.name;
    std::ifstream in(dir / payloadFileName(spec.name), std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, Bytes(e->data, e->data + e->size)) << spec.name;
  }
  // Stand-ins are refused as firmware, even though every format fact holds.
  const std::string fwCopy = dir.string();
  EXPECT_NE(validateFirmware(fwCopy, (dir / "out").string(), messages), 0);
  EXPECT_NE(messages.find("flashImage150.bin: carries the stand-in mark"), std::string::npos)
      << messages;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tarn::tools
