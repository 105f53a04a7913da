// The Windows program's operating-system back end, built here against
// recorders of the Win32 calls: the same code that the .exe runs forms the
// device paths, control codes, flags and buffer sizes the driver sees.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "card/driver.hpp"
#include "card/registers.hpp"
#include "platform/win32/win32_driver_io.hpp"
#include "platform/win32/win32_messages.hpp"
#include "platform/win32/win32_system_services.hpp"
#include "sim/trace.hpp"

namespace tarn {
namespace {

struct CreateCall {
  std::string fileName;
  uint32_t desiredAccess;
  uint32_t shareMode;
  void* security;
  uint32_t disposition;
  uint32_t flags;
  intptr_t templateFile;
};

struct IoCall {
  intptr_t device;
  uint32_t code;
  std::vector<uint8_t> input;
  bool inputIsNull;
  uint32_t outputSize;
  bool outputIsNull;
  bool bytesReturnedGiven;
  void* overlapped;
};

// What the fake driver answers, and everything it was asked. The call table
// holds plain function pointers, so the recorder the fakes reach is static.
struct FakeDriver {
  uint32_t version = 0x23F00206;  // NT family: top bit clear
  bool present = true;
  uint32_t cardCount = 2;
  uint32_t revision = 47;
  uint32_t mappedBase = 0;
  uint32_t cardRecord = 0;
  intptr_t nextHandle = 100;
  std::vector<CreateCall> creates;
  std::vector<IoCall> ios;
  std::vector<intptr_t> closes;
  std::vector<intptr_t> open;
};
FakeDriver* fake = nullptr;

void putWord(void* output, uint32_t offset, uint32_t value) {
  std::memcpy(static_cast<uint8_t*>(output) + offset, &value, 4);
}

uint32_t fakeGetVersion() { return fake->version; }

intptr_t fakeCreateFileA(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                         void* security, uint32_t disposition, uint32_t flags,
                         intptr_t templateFile) {
  fake->creates.push_back(
      {fileName, desiredAccess, shareMode, security, disposition, flags, templateFile});
  if (!fake->present) return -1;
  fake->open.push_back(fake->nextHandle);
  return fake->nextHandle++;
}

int fakeDeviceIoControl(intptr_t device, uint32_t code, void* input, uint32_t inputSize,
                        void* output, uint32_t outputSize, uint32_t* bytesReturned,
                        void* overlapped) {
  IoCall call{device,
              code,
              {},
              input == nullptr,
              outputSize,
              output == nullptr,
              bytesReturned != nullptr,
              overlapped};
  if (input != nullptr)
    call.input.assign(static_cast<uint8_t*>(input), static_cast<uint8_t*>(input) + inputSize);
  fake->ios.push_back(call);
  switch (code) {
    case GET_CARD_INFO:
      putWord(output, 0, kCardInfoSignature);
      putWord(output, 4, fake->revision);
      putWord(output, 72, fake->cardCount);
      break;
    case MAP_REGISTERS:
      putWord(output, 0, fake->mappedBase);
      break;
    case QUERY_CARD_COUNT:
      putWord(output, 0, fake->cardCount);
      break;
    case QUERY_CARD:
      putWord(output, 0, fake->cardRecord);
      break;
    case MAP_CARD_REGISTERS:
      putWord(output, 4, fake->mappedBase);
      break;
    default:
      break;
  }
  return 1;
}

int fakeCloseHandle(intptr_t handle) {
  fake->closes.push_back(handle);
  std::erase(fake->open, handle);
  return 1;
}

constexpr Win32DriverCalls kFakeCalls{fakeGetVersion, fakeCreateFileA, fakeDeviceIoControl,
                                      fakeCloseHandle};

// Memory below 4 GiB, where a 32-bit address handed back by the driver can
// point, as it does in the 32-bit Windows program.
struct LowMemory {
  explicit LowMemory(size_t size) : size_(size) {
#ifdef MAP_32BIT
    void* p =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p != MAP_FAILED) bytes = static_cast<uint8_t*>(p);
#endif
  }
  ~LowMemory() {
    if (bytes != nullptr) munmap(bytes, size_);
  }
  uint32_t address() const { return uint32_t(reinterpret_cast<uintptr_t>(bytes)); }
  uint8_t* bytes = nullptr;
  size_t size_;
};

class Win32DriverIoTest : public ::testing::Test {
 protected:
  void SetUp() override { fake = &driver; }
  void TearDown() override { fake = nullptr; }
  FakeDriver driver;
  Win32DriverIo io{kFakeCalls};
  CardContext card;
};

TEST_F(Win32DriverIoTest, NtCardOpensNumberedDeviceWithCardInfoRequest) {
  ASSERT_EQ(openCard(card, io, 0, 0), 1);
  ASSERT_EQ(driver.creates.size(), 1u);
  const CreateCall& open = driver.creates[0];
  EXPECT_EQ(open.fileName, "\\\\.\\tarnOut0");
  EXPECT_EQ(open.desiredAccess, 0x80000000u);  // GENERIC_READ
  EXPECT_EQ(open.shareMode, 0u);
  EXPECT_EQ(open.security, nullptr);
  EXPECT_EQ(open.disposition, 3u);  // OPEN_EXISTING
  EXPECT_EQ(open.flags, 0u);
  EXPECT_EQ(open.templateFile, 0);
  ASSERT_EQ(driver.ios.size(), 1u);
  const IoCall& info = driver.ios[0];
  EXPECT_EQ(info.device, 100);
  EXPECT_EQ(info.code, 0x1D40B8u);
  EXPECT_TRUE(info.inputIsNull);
  EXPECT_TRUE(info.input.empty());
  EXPECT_EQ(info.outputSize, 108u);
  EXPECT_FALSE(info.outputIsNull);
  EXPECT_TRUE(info.bytesReturnedGiven);
  EXPECT_EQ(info.overlapped, nullptr);
  EXPECT_EQ(driver.closes, std::vector<intptr_t>{100});
  EXPECT_EQ(card.isNt, 1);
  EXPECT_EQ(card.cardCount, 2);
  EXPECT_EQ(card.hardwareRevision, 47);
}

TEST_F(Win32DriverIoTest, NtDeviceNumberIsThirteenTimesTheCardIndex) {
  driver.cardCount = 6;
  for (int32_t index : {1, 2, 3, 5}) ASSERT_EQ(openCard(card, io, index, 0), 1);
  ASSERT_EQ(driver.creates.size(), 4u);
  EXPECT_EQ(driver.creates[0].fileName, "\\\\.\\tarnOut13");
  EXPECT_EQ(driver.creates[1].fileName, "\\\\.\\tarnOut26");
  EXPECT_EQ(driver.creates[2].fileName, "\\\\.\\tarnOut39");
  EXPECT_EQ(driver.creates[3].fileName, "\\\\.\\tarnOut65");
  EXPECT_TRUE(driver.open.empty());
}

TEST_F(Win32DriverIoTest, NtMappingReachesTheRegistersAtTheReturnedAddressAndUnmapsIt) {
  LowMemory registers(0x2000);
  if (registers.bytes == nullptr) GTEST_SKIP() << "no memory below 4 GiB on this system";
  driver.mappedBase = registers.address();
  ASSERT_EQ(openCard(card, io, 1, 1), 1);
  ASSERT_EQ(driver.ios.size(), 2u);
  const IoCall& map = driver.ios[1];
  EXPECT_EQ(map.code, 0x1D4074u);
  EXPECT_TRUE(map.inputIsNull);
  EXPECT_EQ(map.outputSize, 4u);
  EXPECT_EQ(driver.creates[1].fileName, "\\\\.\\tarnOut13");
  EXPECT_EQ(card.registerBase, registers.address());
  EXPECT_EQ(card.jtagPortRegister, registers.address() + 0x100);

  // The window is the mapped memory itself, word for word at its offsets.
  ASSERT_NE(card.window, nullptr);
  card.window->write32(kJtagPortRegister, 8);
  card.window->write32(kFlashAccessRegister, 0x840001A5u);
  uint32_t word = 0;
  std::memcpy(&word, registers.bytes + 0x100, 4);
  EXPECT_EQ(word, 8u);
  std::memcpy(&word, registers.bytes + 0x30, 4);
  EXPECT_EQ(word, 0x840001A5u);
  const uint32_t tdoHigh = kTdoBit | 0x5;
  std::memcpy(registers.bytes + kStatusRegister, &tdoHigh, 4);
  EXPECT_EQ(card.window->read32(kStatusRegister), tdoHigh);

  releaseRegisters(card, io);
  ASSERT_EQ(driver.ios.size(), 3u);
  const IoCall& unmap = driver.ios[2];
  EXPECT_EQ(unmap.code, 0x1D4078u);
  ASSERT_EQ(unmap.input.size(), 4u);
  uint32_t sentBase = 0;
  std::memcpy(&sentBase, unmap.input.data(), 4);
  EXPECT_EQ(sentBase, registers.address());
  EXPECT_EQ(unmap.outputSize, 0u);
  EXPECT_TRUE(unmap.outputIsNull);
  EXPECT_EQ(driver.creates.size(), 3u);
  EXPECT_TRUE(driver.open.empty());
}

TEST_F(Win32DriverIoTest, OlderFamilyLoadsTheVirtualDriverAndReadsTheRecordInPlace) {
  LowMemory record(0x1000);
  LowMemory registers(0x2000);
  if (record.bytes == nullptr || registers.bytes == nullptr)
    GTEST_SKIP() << "no memory below 4 GiB on this system";
  record.bytes[1388] = 23;
  record.bytes[1389] = 0x7F;  // the high byte is not part of the revision
  driver.version = 0xC0000A04;
  driver.cardCount = 3;
  driver.cardRecord = record.address();
  driver.mappedBase = registers.address();

  ASSERT_EQ(openCard(card, io, 2, 1), 1);
  EXPECT_EQ(card.isNt, 0);
  ASSERT_EQ(driver.creates.size(), 1u);
  const CreateCall& open = driver.creates[0];
  EXPECT_EQ(open.fileName, "\\\\.\\tarn.vxd");
  EXPECT_EQ(open.desiredAccess, 0u);
  EXPECT_EQ(open.shareMode, 0u);
  EXPECT_EQ(open.security, nullptr);
  EXPECT_EQ(open.disposition, 0u);
  EXPECT_EQ(open.flags, 0x04000000u);  // FILE_FLAG_DELETE_ON_CLOSE
  EXPECT_EQ(open.templateFile, 0);

  ASSERT_EQ(driver.ios.size(), 3u);
  const uint32_t codes[] = {13, 12, 1};
  const uint32_t indexes[] = {0, 2, 2};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const IoCall& call = driver.ios[i];
    EXPECT_EQ(call.device, 100);
    EXPECT_EQ(call.code, codes[i]);
    ASSERT_EQ(call.input.size(), 12u);
    uint32_t words[3];
    std::memcpy(words, call.input.data(), 12);
    EXPECT_EQ(words[0], indexes[i]);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(call.outputSize, 128u);
    EXPECT_EQ(call.overlapped, nullptr);
  }
  EXPECT_EQ(driver.closes, std::vector<intptr_t>{100});
  EXPECT_EQ(card.cardCount, 3);
  EXPECT_EQ(card.hardwareRevision, 23);
  EXPECT_EQ(card.registerBase, registers.address());
  card.window->write32(kSyncWriteRegister, kSyncWriteValue);
  uint32_t word = 0;
  std::memcpy(&word, registers.bytes + 0x1FC, 4);
  EXPECT_EQ(word, 0xFFFFFFFFu);

  // The older family keeps its mapping: releasing asks the driver nothing.
  releaseRegisters(card, io);
  EXPECT_EQ(driver.ios.size(), 3u);
  EXPECT_EQ(driver.creates.size(), 1u);
}

TEST_F(Win32DriverIoTest, MissingDriverFailsWithoutLeavingAHandle) {
  driver.present = false;
  EXPECT_EQ(openCard(card, io, 0, 0), 0);
  driver.version = 0x80000000u;
  EXPECT_EQ(openCard(card, io, 0, 0), 0);
  EXPECT_EQ(driver.creates.size(), 2u);
  EXPECT_TRUE(driver.ios.empty());
  EXPECT_TRUE(driver.closes.empty());
}

// The timer calls, recorded in order.
std::vector<std::string>* timerLog = nullptr;
uint32_t timerAnswer = 0;
void logSleep(uint32_t ms) { timerLog->push_back("Sleep " + std::to_string(ms)); }
void logDebug(const char* text) { timerLog->push_back(std::string("Debug ") + text); }
uint32_t logBegin(uint32_t period) {
  timerLog->push_back("timeBeginPeriod " + std::to_string(period));
  return timerAnswer;
}
uint32_t logEnd(uint32_t period) {
  timerLog->push_back("timeEndPeriod " + std::to_string(period));
  return 0;
}
uint8_t power[3];  // GetSystemPowerStatus's answer: result, ACLineStatus, BatteryLifePercent
int logPower(uint8_t* acLine, uint8_t* percent) {
  return *acLine = power[1], *percent = power[2], power[0];
}
constexpr Win32SystemCalls kLoggedCalls{logSleep, logDebug, logBegin, logEnd, logPower};

class Win32SystemServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    timerLog = &log;
    timerAnswer = 0;
  }
  void TearDown() override { timerLog = nullptr; }
  std::vector<std::string> log;
};

TEST_F(Win32SystemServicesTest, TimerIsSharpenedForEachPlayAndRestoredAfter) {
  Win32SystemServices system(kLoggedCalls);
  system.xsvfPlayBegins();
  system.sleep(1);
  system.outputDebugString("erase time = 812 ms\n");
  system.xsvfPlayEnds();
  system.xsvfPlayBegins();
  system.sleep(0);
  system.xsvfPlayEnds();
  const std::vector<std::string> expected{
      "timeBeginPeriod 1", "Sleep 1",           "Debug erase time = 812 ms\n",
      "timeEndPeriod 1",   "timeBeginPeriod 1", "Sleep 1",
      "timeEndPeriod 1"};
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(system.timerSharpened());
}

TEST_F(Win32SystemServicesTest, OnlyAGrantedPeriodIsGivenBackAndOnlyOnce) {
  {
    Win32SystemServices system(kLoggedCalls);
    timerAnswer = 97;  // TIMERR_NOCANDO
    system.xsvfPlayBegins();
    system.xsvfPlayEnds();
    timerAnswer = 0;
    system.xsvfPlayEnds();  // an end with no begin
    system.xsvfPlayBegins();
    system.xsvfPlayBegins();  // a second begin does not stack
  }                           // the program ends mid-play: the period is still given back
  const std::vector<std::string> expected{"timeBeginPeriod 1", "timeBeginPeriod 1",
                                          "timeEndPeriod 1"};
  EXPECT_EQ(log, expected);
}

TEST_F(Win32SystemServicesTest, TracedServicesStillBracketThePlayAndOnlyThePlay) {
  Win32SystemServices system(kLoggedCalls);
  sim::TraceLog trace;
  sim::TracingSystem traced(system, trace);
  traced.updateBegins();
  traced.sleep(3);
  traced.xsvfPlayBegins();
  traced.sleep(2);
  traced.xsvfPlayEnds();
  traced.updateEnds();
  const std::vector<std::string> expected{"Sleep 3", "timeBeginPeriod 1", "Sleep 2",
                                          "timeEndPeriod 1"};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(trace.text(), "S 3\nS 2\n");
}

// Battery only for a power line off line, as the answering services pass it on.
TEST_F(Win32SystemServicesTest, PowerStateAsReported) {
  const struct {
    uint8_t result, acLine, percent;
    PowerLine line;
    int32_t charge;
  } rows[] = {{1, 0, 40, PowerLine::Battery, 40},
              {1, 0, 255, PowerLine::Battery, -1},
              {1, 1, 255, PowerLine::Mains, -1},
              {1, 255, 50, PowerLine::Unknown, -1},
              {0, 0, 40, PowerLine::Unknown, -1}};
  Win32SystemServices system(kLoggedCalls);
  Win32Messages messages(Win32MessageCalls{nullptr, nullptr});
  AnsweringSystemServices answering(system, messages);
  for (const auto& row : rows) {
    power[0] = row.result, power[1] = row.acLine, power[2] = row.percent;
    EXPECT_EQ(answering.powerState().line, row.line) << int(row.acLine);
    EXPECT_EQ(answering.powerState().batteryPercent, row.charge) << int(row.percent);
  }
}

}  // namespace
}  // namespace tarn
