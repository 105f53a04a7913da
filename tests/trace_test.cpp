#include "sim/trace.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/doubles.hpp"

namespace tarn::sim {
namespace {

class CountingWindow final : public RegisterWindow {
 public:
  uint32_t read32(uint32_t offset) override { return offset * 3u; }
  void write32(uint32_t, uint32_t) override { ++writes; }
  int writes = 0;
};

TEST(Trace, AccessLinesAsPercentZeroXWritesThem) {
  TraceLog log;
  log.write(0, 0);
  log.read(0xFFFF, 0xFFFFFFFFu);
  log.write(0x12345, 0x0ABCDEF0u);  // an offset wider than four digits keeps them all
  EXPECT_EQ(log.text(), "W 0000 00000000\nR ffff ffffffff\nW 12345 0abcdef0\n");
  EXPECT_EQ(log.lines(), 3u);
}

TEST(Trace, EveryEventKindInProgramOrderAndExactFormat) {
  TraceLog log;
  CountingWindow card;
  test::QuietSystem system;
  TracingWindow window(card, log);
  TracingSystem traced(system, log);
  TracingProgress progress(nullptr, log);

  window.write32(0x30, 0x840001A5);
  EXPECT_EQ(window.read32(0x1280), 0x1280u * 3u);
  traced.sleep(1);
  progress.setStatusText("Programming... 5 %");
  progress.setProgressPosition(5);
  traced.outputDebugString("erase time = 0 ms\n");
  progress.setStatusText("a\\b");

  EXPECT_EQ(card.writes, 1);
  EXPECT_EQ(log.text(),
            "W 0030 840001a5\n"
            "R 1280 00003780\n"
            "S 1\n"
            "T Programming... 5 %\n"
            "P 5\n"
            "D erase time = 0 ms\\n\n"
            "T a\\\\b\n");
  EXPECT_EQ(log.lines(), 7u);
}

TEST(Trace, AFinishedUpdateIsOnTheFileWhileTheProgramRuns) {
  char path[] = "/tmp/tarn-trace-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::FILE* file = std::fopen(path, "wb");
  ASSERT_NE(file, nullptr);
  TraceLog log(file);
  test::QuietSystem system;
  TracingSystem traced(system, log);
  traced.updateBegins();
  traced.sleep(7);
  traced.updateEnds();

  std::FILE* reader = std::fopen(path, "rb");
  ASSERT_NE(reader, nullptr);
  char text[16] = {};
  const size_t got = std::fread(text, 1, sizeof text - 1, reader);
  std::fclose(reader);
  std::fclose(file);
  std::remove(path);
  EXPECT_EQ(std::string(text, got), "S 7\n");
}

}  // namespace
}  // namespace tarn::sim
