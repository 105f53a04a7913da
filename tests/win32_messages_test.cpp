// The Win32 back end's message-queue calls around an update, built against a
// recording stand-in of the queue: what an update leaves for the sheet, how
// often it answers the system, and the interface message's modality.
#include "platform/win32/win32_messages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/update_tool.hpp"
#include "card/driver.hpp"
#include "platform/win32/win32_system_services.hpp"
#include "sim/forwarding_driver_io.hpp"
#include "sim/sim_world.hpp"
#include "tests/support/scripted_interface.hpp"
#include "tests/support/sim_settings.hpp"

namespace tarn {
namespace {

constexpr uint32_t kPaint = 0x000F;
constexpr uint32_t kTimer = 0x0113;
constexpr uint32_t kKeyDown = 0x0100;
constexpr uint32_t kKeyUp = 0x0101;
constexpr uint32_t kChar = 0x0102;
constexpr uint32_t kLeftButtonDown = 0x0201;
constexpr uint32_t kLeftButtonUp = 0x0202;
constexpr uint32_t kMouseWheel = 0x020A;
constexpr uint32_t kNcLeftButtonDown = 0x00A1;
constexpr uint32_t kUser = 0x0400;

struct PeekCall {
  uint64_t atNs;
  intptr_t window;
  uint32_t filterMin, filterMax, remove;
};
struct BoxCall {
  intptr_t owner;
  std::string text, caption;
  uint32_t type;
};

// The thread's message queue as PeekMessageA sees it. The call table holds
// plain function pointers, so the queue the fakes reach is static.
struct FakeQueue {
  std::vector<uint32_t> queued;
  std::vector<uint32_t> taken;
  std::vector<PeekCall> peeks;
  std::vector<BoxCall> boxes;
  const sim::SimClock* clock = nullptr;
  // Input that arrives with the first look at the queue, as clicks made once
  // an update has begun.
  std::vector<uint32_t> arrivingInput;
};
FakeQueue* queue = nullptr;

int fakePeekMessageA(intptr_t window, uint32_t filterMin, uint32_t filterMax, uint32_t remove) {
  queue->peeks.push_back(
      {queue->clock != nullptr ? queue->clock->nowNs() : 0, window, filterMin, filterMax, remove});
  queue->queued.insert(queue->queued.end(), queue->arrivingInput.begin(),
                       queue->arrivingInput.end());
  queue->arrivingInput.clear();
  const bool any = filterMin == 0 && filterMax == 0;
  for (auto it = queue->queued.begin(); it != queue->queued.end(); ++it) {
    if (!any && (*it < filterMin || *it > filterMax)) continue;
    if (remove & kPmRemove) {
      queue->taken.push_back(*it);
      queue->queued.erase(it);
    }
    return 1;
  }
  return 0;
}

int fakeMessageBoxA(intptr_t owner, const char* text, const char* caption, uint32_t type) {
  queue->boxes.push_back({owner, text, caption, type});
  return int(queue->boxes.size());  // each box a button of its own
}

constexpr Win32MessageCalls kFakeCalls{fakePeekMessageA, fakeMessageBoxA};

class Win32MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { queue = &fake; }
  void TearDown() override { queue = nullptr; }
  FakeQueue fake;
  Win32Messages messages{kFakeCalls};
};

TEST_F(Win32MessagesTest, TheEndOfAnUpdateTakesTheKeysAndClicksAndLeavesTheRest) {
  fake.queued = {kPaint,      kKeyDown,          kChar,         kLeftButtonDown, kTimer,
                 kMouseWheel, kNcLeftButtonDown, kLeftButtonUp, kUser,           kKeyUp};
  messages.discardInput();
  EXPECT_EQ(fake.queued, (std::vector<uint32_t>{kPaint, kTimer, kUser}));
  std::vector<uint32_t> taken = fake.taken;
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, (std::vector<uint32_t>{kNcLeftButtonDown, kKeyDown, kKeyUp, kChar,
                                          kLeftButtonDown, kLeftButtonUp, kMouseWheel}));
  for (const PeekCall& peek : fake.peeks) {
    EXPECT_EQ(peek.window, 0);  // every window of the thread: the sheet and its pages
    EXPECT_EQ(peek.remove, kPmRemove);
  }
}

TEST_F(Win32MessagesTest, AnOwnerlessBoxIsTaskModalWithItsTextCaptionAndIconAsGiven) {
  messages.messageBox(0, "Please select your interface type (PCI/CardBus)", "Flash Update Tool",
                      MB_ICONINFORMATION);
  messages.messageBox(0x1234, "owned", "caption", MB_ICONINFORMATION);
  // The battery question: Yes/No with No the default, its answer passed back.
  EXPECT_EQ(messages.messageBox(0, "On battery?", kBatteryCaption, kBatteryQuestionStyle), 3);
  ASSERT_EQ(fake.boxes.size(), 3u);
  EXPECT_EQ(fake.boxes[2].type, 0x4u | 0x30u | 0x100u | 0x2000u);
  EXPECT_EQ(fake.boxes[0].owner, 0);
  EXPECT_EQ(fake.boxes[0].text, "Please select your interface type (PCI/CardBus)");
  EXPECT_EQ(fake.boxes[0].caption, "Flash Update Tool");
  EXPECT_EQ(fake.boxes[0].type, MB_ICONINFORMATION | 0x2000u);  // MB_TASKMODAL
  // A box with an owner is modal to it already.
  EXPECT_EQ(fake.boxes[1].owner, 0x1234);
  EXPECT_EQ(fake.boxes[1].type, MB_ICONINFORMATION);
}

// ------------------------------------------------ a whole update, timed

// Notes the virtual time at which the card's window is mapped and unmapped:
// the update's span.
class TimedDriver final : public sim::ForwardingDriverIo {
 public:
  TimedDriver(DriverIo& inner, const sim::SimClock& clock)
      : ForwardingDriverIo(inner), clock_(clock) {}
  int deviceIoControl(DriverHandle device, uint32_t code, const void* input, uint32_t inputSize,
                      void* output, uint32_t outputSize, uint32_t* returned) override {
    const int result = ForwardingDriverIo::deviceIoControl(device, code, input, inputSize, output,
                                                           outputSize, returned);
    if (code == MAP_REGISTERS) mappedAtNs = clock_.nowNs();
    if (code == UNMAP_REGISTERS) unmappedAtNs = clock_.nowNs();
    return result;
  }
  uint64_t mappedAtNs = 0;
  uint64_t unmappedAtNs = 0;

 private:
  const sim::SimClock& clock_;
};

// The Win32 sleep and timer calls on the simulated clock, as the program for
// real cards stacks its services: the answering sleeps over the Win32 ones.
sim::SimClock* sleepClock = nullptr;
int timerBegins = 0;
int timerEnds = 0;
void clockSleep(uint32_t ms) { sleepClock->sleepMs(ms); }
void noDebug(const char*) {}
uint32_t countBegin(uint32_t) {
  ++timerBegins;
  return 0;  // TIMERR_NOERROR
}
uint32_t countEnd(uint32_t) {
  ++timerEnds;
  return 0;
}
int onMains(uint8_t* acLine, uint8_t*) { return *acLine = 1; }
constexpr Win32SystemCalls kClockCalls{clockSleep, noDebug, countBegin, countEnd, onMains};

struct CadenceCase {
  const char* name;
  const char* cards;
  std::vector<test::ScriptAction> script;
  int timerRequests;  // the play sharpens the timer through the answering services
};

TEST_F(Win32MessagesTest, AWholeUpdateAnswersTheSystemEveryQuarterSecondAndTakesNoInput) {
  const CadenceCase cases[] = {
      // The play's 15 s erase wait and its run-test sleeps.
      {"XSVF update",
       "30:pci",
       {test::checkAction(1010), test::pressAction(), test::closeAction(), test::dismissAction()},
       1},
      // Erases polled 1 ms at a time; seconds of programming between them.
      {"flash update", "150", {test::pressAction(), test::closeAction(), test::dismissAction()}, 0},
  };
  for (const CadenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakeQueue{};
    sim::SimWorld world(test::settingsFor({{"TARN_SIM_CARDS", c.cards}}),
                        sim::SimClock::Mode::Virtual);
    fake.clock = &world.clock();
    fake.queued = {kPaint};
    fake.arrivingInput = {kLeftButtonDown, kLeftButtonUp, kKeyDown, kKeyUp};
    TimedDriver driver(world.driverIo(), world.clock());
    sleepClock = &world.clock();
    timerBegins = timerEnds = 0;
    Win32SystemServices win32System(kClockCalls);
    AnsweringSystemServices system(win32System, messages);
    test::ScriptedInterface scripted(c.script);
    UpdateTool tool(driver, system, scripted, 0x00400000);
    AnsweringProgress progress(&tool.page, messages);
    tool.progress = &progress;
    runTool(tool);
    sleepClock = nullptr;
    ASSERT_EQ(scripted.statusTexts(0).back(), "Success");
    EXPECT_EQ(timerBegins, c.timerRequests);
    EXPECT_EQ(timerEnds, c.timerRequests);

    ASSERT_GT(driver.unmappedAtNs, driver.mappedAtNs);
    std::vector<uint64_t> times{driver.mappedAtNs};
    for (const PeekCall& peek : fake.peeks) {
      // Looked at, never taken: nothing reaches the page while it updates.
      EXPECT_EQ(peek.remove, kPmNoRemove);
      EXPECT_EQ(peek.filterMin, 0u);
      EXPECT_EQ(peek.filterMax, 0u);
      times.push_back(peek.atNs);
    }
    times.push_back(driver.unmappedAtNs);
    uint64_t widestNs = 0;
    for (size_t i = 1; i < times.size(); ++i)
      widestNs = std::max(widestNs, times[i] - times[i - 1]);
    EXPECT_LE(widestNs, uint64_t(kAnswerEveryMs) * 1000000u);
    EXPECT_TRUE(fake.taken.empty());
    EXPECT_EQ(fake.queued,
              (std::vector<uint32_t>{kPaint, kLeftButtonDown, kLeftButtonUp, kKeyDown, kKeyUp}));
  }
}

}  // namespace
}  // namespace tarn
