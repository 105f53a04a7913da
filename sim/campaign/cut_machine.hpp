#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/update_tool.hpp"
#include "card/registers.hpp"
#include "flash/flash_commands.hpp"
#include "flash/flash_image.hpp"
#include "sim/clock.hpp"
#include "sim/forwarding_driver_io.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_driver.hpp"
#include "sim/sim_system.hpp"

namespace tarn::sim {

inline constexpr uint32_t kBank1Base = 1u << kBankShift;

// What the page's status shows after an update.
enum class Shown : uint8_t { Neither, Success, Failed };

// One simulated PC with one card, running the updater itself: the update is
// what the page's Update button does (open the card with its window mapped,
// the update brackets, the method chosen by revision, the release, the status
// text). A campaign may put its own register window between the program and
// the card, and its own sleeps in place of the simulated ones.
class CutMachine {
 public:
  // `isCardBus` chooses the radio button an older card's page has checked.
  CutMachine(int32_t revision, int32_t isCardBus);
  CutMachine(const CutMachine&) = delete;
  CutMachine& operator=(const CutMachine&) = delete;

  SimClock clock;
  SimSystem simSystem{clock};

  SimCard& card() { return driver_.card(0); }
  // Between the program and the card from the next update on (null: none).
  void setWindow(RegisterWindow* window) { io_.window = window; }
  void setSystem(SystemServices* system) { system_.inner = system ? system : &simSystem; }
  UpdateTool& tool() { return tool_; }

  // What the user sees and what the program leaves of one press of Update.
  struct Press {
    Shown shown = Shown::Neither;  // "Success", "Failed", or neither (another text or none)
    uint32_t brackets = 0;         // update brackets opened and closed, each pair once
    uint32_t openBrackets = 0;     // opened and never closed
    uint32_t updateEnds = 0;       // the sheet told that the update ended
    uint32_t messageBoxes = 0;
    bool released = false;  // no card mapped and no driver handle open afterwards
    uint64_t breaches = 0;  // driver calling-convention breaches during the press
  };
  // `press` is the updater's own command unless a test puts a faulty one in.
  using Command = void (*)(UpdateTool& tool, PageWindow window, int32_t cardIndex);
  Press pressUpdate(Command press = runUpdate);

 private:
  // The card's window is replaced by the cut window once one is set.
  class Io final : public ForwardingDriverIo {
   public:
    using ForwardingDriverIo::ForwardingDriverIo;
    RegisterWindow* registerWindowAt(uint32_t base) override {
      RegisterWindow* card = ForwardingDriverIo::registerWindowAt(base);
      return window != nullptr && card != nullptr ? window : card;
    }
    RegisterWindow* window = nullptr;
  };

  class Brackets final : public SystemServices {
   public:
    void sleep(uint32_t ms) override { inner->sleep(ms); }
    void outputDebugString(const char* text) override { inner->outputDebugString(text); }
    void updateBegins() override { ++open; }
    void updateEnds() override {
      if (open > 0) {
        --open;
        ++closed;
      }
    }
    SystemServices* inner = nullptr;
    uint32_t open = 0;
    uint32_t closed = 0;
  };

  class Page final : public UserInterface {
   public:
    intptr_t propertySheet(const PropSheetHeader&, void*) override { return 0; }
    intptr_t sendDlgItemMessage(PageWindow, int controlId, uint32_t message, uintptr_t,
                                intptr_t lParam) override;
    uint32_t isDlgButtonChecked(PageWindow, int controlId) override {
      return controlId == checkedRadio ? 1 : 0;
    }
    void hideDlgItem(PageWindow, int) override {}
    intptr_t setWindowLong(PageWindow, int, intptr_t) override { return 0; }
    intptr_t getWindowLong(PageWindow, int) override { return 0; }
    int messageBox(PageWindow, const char*, const char*, uint32_t) override {
      ++messageBoxes;
      return 1;
    }
    void updateEnds(PageWindow) override { ++ends; }
    int checkedRadio = 0;
    char status[32] = {};
    uint32_t messageBoxes = 0;
    uint32_t ends = 0;
  };

  SimDriver driver_;
  Io io_{driver_};
  Brackets system_;
  Page page_;
  UpdateTool tool_;
};

// Stands between the program and the card in a cut campaign. Passes every
// access on until the process becomes a copy that has lost the card: from
// then on each read answers all ones, as an unpowered card's register window
// does, and nothing reaches the card. Before each read of `answerRegister`
// (the register whose value tells the program how the card is doing: the
// flash read-back, the status with TDO) the campaign may branch; after each
// access it may cut.
class CutWindow final : public RegisterWindow {
 public:
  CutWindow(SimCard& card, uint32_t answerRegister) : card_(card), answer_(answerRegister) {}

  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;
  // Back to a plain window onto a powered card, with no campaign around it.
  void plain() {
    dead = false;
    afterAccess = nullptr;
    beforeAnswer = nullptr;
    onWrite = nullptr;
  }

  bool dead = false;
  bool failureSeen = false;         // dead, and the program has read its answer since
  uint64_t writesAfterFailure = 0;  // flash write cycles after that
  std::function<void(uint64_t index)> afterAccess;
  std::function<void()> beforeAnswer;
  std::function<void(uint64_t index, uint32_t offset, uint32_t value)> onWrite;

 private:
  SimCard& card_;
  uint32_t answer_;
};

// The program's sleeps, where a campaign may cut too.
class CutSystem final : public SystemServices {
 public:
  explicit CutSystem(SimSystem& inner) : inner_(inner) {}
  void sleep(uint32_t milliseconds) override {
    if (beforeSleep) beforeSleep(milliseconds);
    inner_.sleep(milliseconds);
  }
  void outputDebugString(const char* text) override { inner_.outputDebugString(text); }
  std::function<void(uint32_t milliseconds)> beforeSleep;

 private:
  SimSystem& inner_;
};

// Follows the write cycles of the flash's commands: which cycle carries a
// byte to program, which the sector to erase.
struct FlashCommandDecoder {
  enum class Cycle { Other, ProgramByte, SectorErase };
  Cycle write(uint32_t address, uint32_t data) {
    Cycle cycle = Cycle::Other;
    if (lastAddress == kUnlockAddress1 && lastData == kProgramCommand) {
      cycle = Cycle::ProgramByte;
    } else if (data == kSectorEraseCode && lastAddress == kUnlockAddress2 &&
               lastData == kUnlockData2) {
      cycle = Cycle::SectorErase;
    }
    lastAddress = address;
    lastData = data;
    return cycle;
  }
  uint32_t lastAddress = 0xFFFFFFFF;
  uint32_t lastData = 0;
};

// The judgements of a campaign, counted and described: every check made, and
// the broken ones by name with where they broke.
struct Verdicts {
  uint64_t checks = 0;
  uint64_t broken = 0;
  std::vector<std::string> notes;  // the first broken ones, described
  std::vector<std::string> names;  // every judgement that broke, once each
  std::FILE* log = nullptr;

  void check(bool holds, const char* name, const char* where);
};

// Judges one press of Update that must have succeeded: "Success" shown, the
// brackets closed, the sheet told, no message box, the card released.
void checkPress(Verdicts& verdicts, const CutMachine::Press& press, const char* what,
                const char* where);

// The cuts to follow with a new update: `count` of them, or every cut if
// there are no more. Up to three in every phase (its middle, first and last
// cut, as many as `count` allows), the rest spread evenly over all cuts.
// `phaseOf` gives each cut's phase (< phases).
std::vector<size_t> pickRecoveries(const std::vector<size_t>& phaseOf, size_t phases,
                                   uint32_t count);

}  // namespace tarn::sim
