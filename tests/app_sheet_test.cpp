// The updater as a person uses it, driven through the scripted front end on
// the simulated machine: the sheet, the pages, the Update command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/update_tool.hpp"
#include "card/driver.hpp"
#include "payloads/payloads.hpp"
#include "sim/forwarding_driver_io.hpp"
#include "sim/sim_world.hpp"
#include "tests/support/scripted_interface.hpp"
#include "tests/support/scripted_session.hpp"
#include "tests/support/sim_settings.hpp"

namespace tarn {
namespace {

using test::Adjust;
using test::checkAction;
using test::closeAction;
using test::dismissAction;
using test::kModule;
using test::pressAction;
using test::ScriptAction;
using test::ScriptedInterface;
using test::ScriptedSession;
using test::settingsFor;
using test::showTabAction;
using test::UiEvent;

// A fault of one card (counted from 0), set on the settings themselves.
Adjust chainNeverErases(size_t card) {
  return
      [card](sim::SimWorldSettings& s) { s.cardFaults.at(card).chain.eraseNeverCompletes = true; };
}

Adjust flashNeverErases(size_t card, int32_t sector) {
  return [=](sim::SimWorldSettings& s) { s.cardFaults.at(card).flash.neverEraseSector = sector; };
}

Adjust flashNeverPrograms(size_t card, int64_t address) {
  return
      [=](sim::SimWorldSettings& s) { s.cardFaults.at(card).flash.neverProgramAddress = address; };
}

// The percentages the XSVF stream showed on page k, in order.
std::vector<int> streamPercents(const ScriptedSession& run, int k) {
  std::vector<int> percents;
  for (const std::string& text : run.status(k)) {
    int percent = 0;
    char tail[4] = {};
    if (std::sscanf(text.c_str(), "%d %3s", &percent, tail) == 2 && std::string(tail) == "%")
      percents.push_back(percent);
  }
  return percents;
}

std::string readFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// ---------------------------------------------------------------- the sheet

TEST(CardSheet, OneCardOneTabAndTheSheetAsDescribed) {
  ScriptedSession run({{"TARN_SIM_CARDS", "60"}}, {closeAction()});
  EXPECT_EQ(run.start(), 0);
  EXPECT_EQ(run.tool.commentEchoLevel, 100);
  ASSERT_EQ(run.ui.sheetsShown, 1);
  EXPECT_EQ(run.ui.caption, "TARN Flash Update Tool, Rev. 15/53/106/152");
  EXPECT_EQ(run.ui.header.dwSize, 52u);
  EXPECT_EQ(run.ui.header.dwFlags, 0x88u);
  EXPECT_EQ(run.ui.header.hwndParent, 0u);
  EXPECT_EQ(run.ui.header.nPages, 1u);
  EXPECT_EQ(run.ui.header.nStartPage, 0u);
  EXPECT_EQ(run.ui.titles, std::vector<std::string>{"Card 1"});
  const PropSheetPage& page = run.ui.pageDescriptions.at(0);
  EXPECT_EQ(page.dwSize, 48u);
  EXPECT_EQ(page.dwFlags, 8u);
  EXPECT_EQ(page.hInstance, kModule);
  EXPECT_EQ(page.pszTemplate, 101);
  EXPECT_EQ(page.pszIcon, nullptr);
  EXPECT_EQ(page.pfnDlgProc, &cardPageProcedure);
  EXPECT_EQ(page.lParam, 0);
  // Closing without an update shows nothing more.
  EXPECT_TRUE(run.ui.messageBoxTexts().empty());
  run.expectCleanEnd();
}

TEST(CardSheet, SixCardsSixTabsInCardOrderEachPageMadeWhenFirstShown) {
  ScriptedSession run({{"TARN_SIM_CARDS", "10,20,60,110,160,30"}},
                      {showTabAction(3), showTabAction(5), showTabAction(3), closeAction()});
  EXPECT_EQ(run.start(), 0);
  EXPECT_EQ(run.ui.titles,
            (std::vector<std::string>{"Card 1", "Card 2", "Card 3", "Card 4", "Card 5", "Card 6"}));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(run.ui.pageDescriptions[size_t(i)].lParam, i);
  const auto created = run.ui.eventsOf(UiEvent::Kind::PageCreated);
  ASSERT_EQ(created.size(), 3u);
  EXPECT_EQ(created[0].page, 0);
  EXPECT_EQ(created[1].page, 3);
  EXPECT_EQ(created[2].page, 5);
  // Each page shows its own card, counted from 0.
  EXPECT_EQ(run.ui.eventsOf(UiEvent::Kind::SetText, 3).at(0).text, "110\n");
  EXPECT_EQ(run.ui.eventsOf(UiEvent::Kind::SetText, 5).at(0).text, "30\n");
  EXPECT_EQ(run.ui.sheet().pages[3].userData, 3);
  EXPECT_FALSE(run.ui.sheet().pages[1].created);
  run.expectCleanEnd();
}

TEST(CardSheet, NoDriverOrACountOutsideOneToSixShowsNoWindowAndEndsWithZero) {
  for (const char* faults : {"no-driver", "count=7", "count=0", "wrong-signature"}) {
    for (const char* family : {"nt", "older"}) {
      if (std::string(faults) == "wrong-signature" && std::string(family) == "older") continue;
      ScriptedSession run(
          {{"TARN_SIM_CARDS", "60,120"}, {"TARN_SIM_FAULTS", faults}, {"TARN_SIM_FAMILY", family}},
          {});
      EXPECT_EQ(run.start(), 0) << faults;
      EXPECT_EQ(run.ui.sheetsShown, 0) << faults << " " << family;
      EXPECT_TRUE(run.ui.events().empty()) << faults << " " << family;
      EXPECT_EQ(run.world.driver().openHandles(), 0);
    }
  }
}

TEST(CardSheet, AnOlderDriverThatAnswersButReturnsZeroStillShowsEveryCard) {
  ScriptedSession run(
      {{"TARN_SIM_CARDS", "60,120"}, {"TARN_SIM_FAMILY", "older"}, {"TARN_SIM_ERASE_MS", "0"}},
      {checkAction(kPciRadio), pressAction(), showTabAction(1), closeAction(), dismissAction()});
  run.world.driver().faults().olderWorkingButReportFailure = {QUERY_CARD_COUNT, QUERY_CARD,
                                                              MAP_CARD_REGISTERS};
  run.start();
  EXPECT_EQ(run.ui.titles, (std::vector<std::string>{"Card 1", "Card 2"}));
  EXPECT_EQ(run.ui.eventsOf(UiEvent::Kind::SetText, 0).at(0).text, "60\n");
  EXPECT_EQ(run.ui.eventsOf(UiEvent::Kind::SetText, 1).at(0).text, "120\n");
  EXPECT_EQ(run.lastStatus(0), "Success");
  run.expectCleanEnd();
}

TEST(CardSheet, APageShownAgainKeepsWhatItShows) {
  // The page is made once: coming back to it shows the result, not the
  // verdict it started with.
  ScriptedSession run({{"TARN_SIM_CARDS", "60,150"}},
                      {checkAction(kCardBusRadio), pressAction(), showTabAction(1),
                       showTabAction(0), closeAction()},
                      flashNeverErases(0, 0));
  run.start();
  const ui::PageState& page = run.ui.sheet().pages[0];
  EXPECT_STREQ(page.statusText, "Failed");
  EXPECT_TRUE(page.cardBusChecked);
  int revisionTexts = 0;
  for (const UiEvent& event : run.ui.eventsOf(UiEvent::Kind::SetText, 0))
    revisionTexts += event.control == kRevisionText;
  EXPECT_EQ(revisionTexts, 1);
  EXPECT_EQ(run.world.driver().mapCount(0), 1u);
  run.expectCleanEnd();
}

// ---------------------------------------------------------------- the page

struct RevisionCase {
  int32_t revision;
  const char* status;
};

TEST(CardPage, RevisionTextVerdictAndInterfaceGroupFromOneHundredUpOnly) {
  const RevisionCase cases[] = {
      {14, "Not updated"},  {15, "Up-to-date"},  {49, "Up-to-date"},  {50, "Not updated"},
      {52, "Not updated"},  {53, "Up-to-date"},  {99, "Up-to-date"},  {100, "Not updated"},
      {105, "Not updated"}, {106, "Up-to-date"}, {149, "Up-to-date"}, {150, "Not updated"},
      {151, "Not updated"}, {152, "Up-to-date"}, {0, "Not updated"},  {255, "Up-to-date"}};
  for (const RevisionCase& c : cases) {
    for (const char* family : {"nt", "older"}) {
      ScriptedSession run(
          {{"TARN_SIM_CARDS", std::to_string(c.revision)}, {"TARN_SIM_FAMILY", family}},
          {closeAction()});
      run.start();
      const auto texts = run.ui.eventsOf(UiEvent::Kind::SetText, 0);
      ASSERT_EQ(texts.size(), 2u) << c.revision;
      EXPECT_EQ(texts[0].control, 1001);
      EXPECT_EQ(texts[0].text, std::to_string(c.revision) + "\n");
      EXPECT_EQ(texts[1].control, 1002);
      EXPECT_EQ(texts[1].text, c.status) << c.revision << " " << family;
      const auto hides = run.ui.eventsOf(UiEvent::Kind::Hide, 0);
      if (c.revision >= 100) {
        ASSERT_EQ(hides.size(), 3u) << c.revision;
        EXPECT_EQ(hides[0].control, 1012);
        EXPECT_EQ(hides[1].control, 1010);
        EXPECT_EQ(hides[2].control, 1011);
      } else {
        EXPECT_TRUE(hides.empty()) << c.revision;
      }
      // Showing a page never touches the card's registers.
      EXPECT_EQ(run.world.driver().card(0).accessCount(), 0u);
      run.expectCleanEnd();
    }
  }
}

TEST(CardPage, HiddenInterfaceButtonsCannotBeChecked) {
  ScriptedSession run({{"TARN_SIM_CARDS", "120"}}, {checkAction(1010), closeAction()});
  run.start();
  ASSERT_EQ(run.ui.mismatches.size(), 1u);
  EXPECT_EQ(run.ui.isDlgButtonChecked(ui::windowOfPage(0), 1010), 0u);
}

TEST(CardPage, TheInterfaceChosenLastIsTheOneUsed) {
  // The chain fails early, which is enough to see which stream was chosen.
  for (const bool cardBusLast : {true, false}) {
    SCOPED_TRACE(cardBusLast ? "PCI, then CardBus" : "CardBus, then PCI");
    ScriptedSession run(
        {{"TARN_SIM_CARDS", "30"}},
        {checkAction(cardBusLast ? kPciRadio : kCardBusRadio),
         checkAction(cardBusLast ? kCardBusRadio : kPciRadio), pressAction(), closeAction()},
        chainNeverErases(0));
    run.start();
    const ui::PageState& page = run.ui.sheet().pages[0];
    EXPECT_EQ(page.pciChecked, !cardBusLast);
    EXPECT_EQ(page.cardBusChecked, cardBusLast);
    EXPECT_EQ(run.tool.stream.streamData, selectXsvfStream(cardBusLast ? 1 : 0).data);
    EXPECT_GT(run.tool.stream.readIndex, 0);
    EXPECT_EQ(run.lastStatus(0), "Failed");
    run.expectCleanEnd();
  }
}

// Opens every card but one, the way a card vanishing from the driver looks.
class DriverMissingOneDevice final : public sim::ForwardingDriverIo {
 public:
  DriverMissingOneDevice(DriverIo& inner, std::string missing)
      : ForwardingDriverIo(inner), missing_(std::move(missing)) {}
  DriverHandle createFileA(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags) override {
    if (missing_ == name) return kInvalidHandle;
    return ForwardingDriverIo::createFileA(name, access, share, disposition, flags);
  }

 private:
  std::string missing_;
};

TEST(CardPage, ACardThatCannotBeOpenedKeepsTheTemplateTexts) {
  sim::SimWorld world(settingsFor({{"TARN_SIM_CARDS", "60,30"}}), sim::SimClock::Mode::Virtual);
  DriverMissingOneDevice driver(world.driverIo(), "\\\\.\\tarnOut13");
  ScriptedInterface ui({showTabAction(1), checkAction(1011), pressAction(), closeAction()});
  UpdateTool tool(driver, world.system(), ui, kModule);
  EXPECT_EQ(runTool(tool), 0);
  EXPECT_EQ(tool.card.hardwareRevision, -1);
  EXPECT_TRUE(ui.eventsOf(UiEvent::Kind::SetText, 1).empty());
  EXPECT_TRUE(ui.eventsOf(UiEvent::Kind::Hide, 1).empty());
  EXPECT_STREQ(ui.sheet().pages[1].revisionText, "0");
  EXPECT_STREQ(ui.sheet().pages[1].statusText, "not programmed");
  // Update on it returns silently: nothing shown, nothing touched.
  EXPECT_TRUE(ui.messageBoxTexts().empty());
  EXPECT_EQ(world.driver().card(1).accessCount(), 0u);
  EXPECT_TRUE(ui.mismatches.empty());
}

// ---------------------------------------------------------------- Update

TEST(UpdateCommand, NoInterfaceChosenBelowOneHundredAsksAndLeavesTheCardAlone) {
  for (const char* cards : {"60", "30", "99"}) {
    for (const char* family : {"nt", "older"}) {
      ScriptedSession run({{"TARN_SIM_CARDS", cards}, {"TARN_SIM_FAMILY", family}},
                          {pressAction(), dismissAction(), closeAction()});
      run.start();
      const auto boxes = run.ui.eventsOf(UiEvent::Kind::MessageBox);
      ASSERT_EQ(boxes.size(), 1u) << cards;
      EXPECT_EQ(boxes[0].text, "Please select your interface type (PCI/CardBus)");
      EXPECT_EQ(boxes[0].caption, "Flash Update Tool");
      EXPECT_EQ(boxes[0].value, 0x40);
      EXPECT_EQ(boxes[0].page, -1);  // no owner
      EXPECT_EQ(run.world.driver().card(0).accessCount(), 0u) << cards;
      EXPECT_EQ(run.status(0).size(), 1u);  // the initial verdict only
      EXPECT_EQ(run.tool.updateSucceeded, 0);
      EXPECT_EQ(run.world.driver().mapCount(0), 1u);
      run.expectCleanEnd();
    }
  }
}

TEST(UpdateCommand, OneHundredTwentyWithNoChoiceProgramsTheOneHundredImage) {
  ScriptedSession run({{"TARN_SIM_CARDS", "120"}, {"TARN_SIM_ERASE_MS", "0"}},
                      {pressAction(), closeAction(), dismissAction()});
  run.start();
  EXPECT_EQ(run.lastStatus(0), "Success");
  const FlashImage image = selectFlashImage(120, 0);
  EXPECT_EQ(image.size, kFlashImage100Size);
  EXPECT_TRUE(run.bankHolds(0, 0, image));
  EXPECT_EQ(run.ui.positions(0).back(), 100);
  EXPECT_EQ(run.ui.messageBoxTexts(),
            std::vector<std::string>{"Shut down and power off the computer\nfor the update to "
                                     "become active."});
  EXPECT_EQ(run.ui.eventsOf(UiEvent::Kind::MessageBox).at(0).caption, "TARN Flash Update Tool");
  run.expectCleanEnd();
}

TEST(UpdateCommand, SixtyProgramsTheImageOfTheChosenInterface) {
  for (int cardBus = 0; cardBus <= 1; ++cardBus) {
    ScriptedSession run(
        {{"TARN_SIM_CARDS", "60"}, {"TARN_SIM_ERASE_MS", "0"}},
        {checkAction(cardBus ? 1011 : 1010), pressAction(), closeAction(), dismissAction()});
    run.start();
    EXPECT_EQ(run.lastStatus(0), "Success");
    EXPECT_TRUE(run.bankHolds(0, 0, selectFlashImage(60, cardBus))) << cardBus;
    EXPECT_FALSE(run.bankHolds(0, 0, selectFlashImage(60, 1 - cardBus))) << cardBus;
    run.expectCleanEnd();
  }
}

TEST(UpdateCommand, ThirtyWithCardBusPlaysTheCardBusStreamToItsEnd) {
  ScriptedSession run({{"TARN_SIM_CARDS", "30:cardbus"}},
                      {checkAction(1011), pressAction(), closeAction(), dismissAction()});
  run.start();
  EXPECT_EQ(run.lastStatus(0), "Success");
  const XsvfPayload cardBus = selectXsvfStream(1);
  EXPECT_EQ(run.tool.stream.streamData, cardBus.data);
  EXPECT_EQ(run.tool.stream.streamSize, kXsvfStreamSize);
  EXPECT_EQ(run.tool.stream.readIndex, kXsvfStreamSize);
  // The stream's percentages, 1 to 100, each once and in order (long waits
  // show their own "Erazing..." texts in between).
  const std::vector<int> percents = streamPercents(run, 0);
  ASSERT_EQ(percents.size(), 100u);
  for (int p = 1; p <= 100; ++p) EXPECT_EQ(percents[size_t(p - 1)], p);
  const std::vector<std::string> texts = run.status(0);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Erazing... 100 %"), texts.end());
  run.expectCleanEnd();
}

TEST(UpdateCommand, AFaultInTheChainEndsInFailed) {
  ScriptedSession run({{"TARN_SIM_CARDS", "20:pci"}, {"TARN_SIM_FAULTS", "1:erase-fails"}},
                      {checkAction(1010), pressAction(), closeAction()});
  run.start();
  EXPECT_EQ(run.lastStatus(0), "Failed");
  EXPECT_EQ(run.tool.stream.streamData, selectXsvfStream(0).data);
  EXPECT_LT(run.tool.stream.readIndex, run.tool.stream.streamSize);
  EXPECT_TRUE(run.ui.messageBoxTexts().empty());
  run.expectCleanEnd();
}

TEST(UpdateCommand, ASuccessThenAFailureShowsThePowerOffMessageOnceAtClose) {
  // Card 2's flash will not erase sector 0.
  ScriptedSession run({{"TARN_SIM_CARDS", "60,120"},
                       {"TARN_SIM_ERASE_MS", "0"},
                       {"TARN_SIM_FAULTS", "2:never-erase=0"}},
                      {checkAction(1010), pressAction(), showTabAction(1), pressAction(),
                       closeAction(), dismissAction()});
  run.start();
  EXPECT_EQ(run.lastStatus(0), "Success");
  EXPECT_EQ(run.lastStatus(1), "Failed");
  EXPECT_EQ(run.ui.messageBoxTexts().size(), 1u);
  // The message comes after the sheet has closed.
  EXPECT_EQ(run.ui.events().back().kind, UiEvent::Kind::MessageBox);
  run.expectCleanEnd();
}

TEST(UpdateCommand, OnlyFailedUpdatesShowNoMessageAndTheWindowIsReleasedEachTime) {
  for (const char* faults : {"1:never-erase=1", "1:never-program=0x100"}) {
    for (const char* family : {"nt", "older"}) {
      ScriptedSession run({{"TARN_SIM_CARDS", "150"},
                           {"TARN_SIM_ERASE_MS", "0"},
                           {"TARN_SIM_FAULTS", faults},
                           {"TARN_SIM_FAMILY", family}},
                          {pressAction(), pressAction(), closeAction()});
      run.start();
      const auto texts = run.status(0);
      int failed = 0;
      for (const auto& text : texts) failed += text == "Failed";
      EXPECT_EQ(failed, 2) << faults;
      EXPECT_EQ(texts.back(), "Failed");
      EXPECT_EQ(run.tool.updateSucceeded, 0);
      EXPECT_TRUE(run.ui.messageBoxTexts().empty()) << faults;
      EXPECT_EQ(run.world.driver().mapCount(0), 2u);
      run.expectCleanEnd();
    }
  }
}

// Around the two boundaries: the interface question below 100, the chain
// below 50 and the flash from 50 up. A fault of the card's own kind cuts each
// update short; which part of the card it reached shows the method.
struct BoundaryCase {
  int32_t revision;
  bool asksForInterface;
  bool playsXsvf;
};

void PrintTo(const BoundaryCase& c, std::ostream* os) { *os << "revision " << c.revision; }

class RevisionBoundaries : public ::testing::TestWithParam<BoundaryCase> {
 protected:
  static void expectMethod(ScriptedSession& run, const BoundaryCase& c) {
    EXPECT_EQ(run.lastStatus(0), "Failed");
    if (c.playsXsvf) {
      EXPECT_GT(run.tool.stream.readIndex, 0);
      EXPECT_EQ(run.tool.stream.streamData, selectXsvfStream(0).data);
    } else {
      EXPECT_EQ(run.tool.stream.readIndex, 0);
      ASSERT_NE(run.world.flash(0), nullptr);
      EXPECT_GT(run.world.flash(0)->erasesStarted(0), 0u);
    }
  }
};

TEST_P(RevisionBoundaries, DecideTheInterfaceQuestionAndTheMethod) {
  const BoundaryCase& c = GetParam();
  const Adjust fault = c.revision < 50 ? chainNeverErases(0) : flashNeverErases(0, 0);
  for (const char* family : {"nt", "older"}) {
    SCOPED_TRACE(family);
    const std::map<std::string, std::string> settings = {
        {"TARN_SIM_CARDS", std::to_string(c.revision)}, {"TARN_SIM_FAMILY", family}};
    {
      std::vector<ScriptAction> script{pressAction()};
      if (c.asksForInterface) script.push_back(dismissAction());
      script.push_back(closeAction());
      ScriptedSession run(settings, script, fault);
      run.start();
      EXPECT_EQ(run.ui.messageBoxTexts().size(), c.asksForInterface ? 1u : 0u);
      if (c.asksForInterface) {
        EXPECT_EQ(run.results, 0);
        EXPECT_EQ(run.world.driver().card(0).accessCount(), 0u);
      } else {
        expectMethod(run, c);
      }
      run.expectCleanEnd();
    }
    if (c.asksForInterface) {
      ScriptedSession run(settings, {checkAction(kPciRadio), pressAction(), closeAction()}, fault);
      run.start();
      EXPECT_TRUE(run.ui.messageBoxTexts().empty());
      expectMethod(run, c);
      run.expectCleanEnd();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    UpdateCommand, RevisionBoundaries,
    ::testing::Values(BoundaryCase{44, true, true}, BoundaryCase{45, true, true},
                      BoundaryCase{49, true, true}, BoundaryCase{50, true, false},
                      BoundaryCase{99, true, false}, BoundaryCase{100, false, false}),
    [](const auto& param) { return std::to_string(param.param.revision); });

// Each kind of update, on each driver family, shows its result only after it
// has given the card back and closed its brackets (checked by the
// session at every result).
TEST(UpdateCommand, EveryKindOfUpdateReleasesTheCardBeforeShowingItsResult) {
  const struct {
    const char* name;
    const char* cards;
    Adjust fault;
    std::vector<ScriptAction> script;
    int results;
  } cases[] = {
      {"chain",
       "30:pci",
       chainNeverErases(0),
       {checkAction(kPciRadio), pressAction(), closeAction()},
       1},
      {"erase",
       "60",
       flashNeverErases(0, 0),
       {checkAction(kCardBusRadio), pressAction(), closeAction()},
       1},
      {"program twice",
       "150",
       flashNeverPrograms(0, 0x10),
       {pressAction(), pressAction(), closeAction()},
       2},
      {"no interface", "60", {}, {pressAction(), dismissAction(), closeAction()}, 0},
  };
  for (const auto& c : cases) {
    for (const char* family : {"nt", "older"}) {
      SCOPED_TRACE(std::string(c.name) + " " + family);
      ScriptedSession run({{"TARN_SIM_CARDS", c.cards}, {"TARN_SIM_FAMILY", family}}, c.script,
                          c.fault);
      run.start();
      EXPECT_EQ(run.results, c.results);
      EXPECT_EQ(run.system.begins, c.results);
      // Only an XSVF play has a bracket of its own.
      EXPECT_EQ(run.system.playBegins, std::string(c.name) == "chain" ? 1 : 0);
      run.expectCleanEnd();
    }
  }
}

// Two updates of the same card in one run: the second plays the stream from
// its first byte and shows its percentages again; two successes still make a
// single power-off message, after the sheet has closed.
TEST(UpdateCommand, ASecondUpdateInTheSameRunStartsAfreshAndThePowerOffMessageComesOnce) {
  ScriptedSession run(
      {{"TARN_SIM_CARDS", "30:pci"}},
      {checkAction(kPciRadio), pressAction(), pressAction(), closeAction(), dismissAction()});
  std::vector<int32_t> readAtResult;
  const auto check = run.ui.onEvent;
  run.ui.onEvent = [&](const UiEvent& event) {
    check(event);
    if (event.kind == UiEvent::Kind::SetText && event.control == kStatusText &&
        (event.text == "Success" || event.text == "Failed"))
      readAtResult.push_back(run.tool.stream.readIndex);
  };
  run.start();
  EXPECT_EQ(readAtResult, (std::vector<int32_t>{kXsvfStreamSize, kXsvfStreamSize}));
  int successes = 0;
  for (const std::string& text : run.status(0)) successes += text == "Success";
  EXPECT_EQ(successes, 2);
  const std::vector<int> percents = streamPercents(run, 0);
  ASSERT_EQ(percents.size(), 200u);
  for (size_t i = 0; i < percents.size(); ++i) EXPECT_EQ(percents[i], int(i % 100) + 1) << i;
  EXPECT_EQ(run.ui.messageBoxTexts().size(), 1u);
  EXPECT_EQ(run.ui.events().back().kind, UiEvent::Kind::MessageBox);
  EXPECT_EQ(run.system.begins, 2);
  EXPECT_EQ(run.system.playBegins, 2);
  run.expectCleanEnd();
}

TEST(UpdateCommand, ProgressGoesToThePageThatRunsTheUpdate) {
  ScriptedSession run({{"TARN_SIM_CARDS", "60,150"}, {"TARN_SIM_ERASE_MS", "0"}},
                      {showTabAction(1), pressAction(), closeAction(), dismissAction()});
  run.start();
  EXPECT_TRUE(run.ui.positions(0).empty());
  const auto texts = run.status(1);
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[1], "Erasing sector 0...");
  EXPECT_EQ(texts.back(), "Success");
  // The bar keeps the last position the update set.
  EXPECT_EQ(run.ui.sheet().pages[1].progress, 100);
}

// On battery anything but Yes leaves the card unmapped; Yes updates it to the mains trace's
// last line. Nothing is asked on mains, with the power unknown, or before the interface message.
TEST(UpdateCommand, OnBatteryTheUserDecidesBeforeTheCardIsTouched) {
  const struct {
    const char *power, *cards, *charge;
    int radio, answer;  // what ends the box; 0: no box, IDOK: the interface message
    unsigned maps;
  } rows[] = {{"mains", "20", "", kPciRadio, 0, 1},
              {"unknown", "20", "", kPciRadio, 0, 1},
              {"battery:40", "20", " (40% left)", kPciRadio, IDYES, 1},
              {"battery", "20", "", kPciRadio, IDNO, 0},
              {"battery:5", "20", " (5% left)", kPciRadio, 2, 0},
              {"battery:5", "20", "", 0, IDOK, 1},
              {"battery:5", "120", " (5% left)", 0, IDNO, 0}};  // no choice needed: asked
  char path[] = "/tmp/tarn-battery-trace-XXXXXX";
  close(mkstemp(path));
  std::string mainsTrace;
  for (const auto& row : rows) {
    const bool updates = row.maps && row.answer != IDOK;
    std::vector<ScriptAction> script{showTabAction(0), pressAction(), closeAction()};
    if (row.radio) script[0] = checkAction(row.radio);
    if (row.answer) script.insert(script.end() - 1, dismissAction(row.answer));
    ScriptedSession run({{"TARN_SIM_CARDS", row.cards},
                         {"TARN_SIM_FAULTS", row.maps ? "1:erase-fails" : ""},
                         {"TARN_SIM_POWER", row.power},
                         {"TARN_SIM_TRACE", path}},
                        script);
    run.tool.progress = run.world.progress(&run.tool.page);
    run.start();
    const auto boxes = run.ui.eventsOf(UiEvent::Kind::MessageBox);
    ASSERT_EQ(boxes.size(), row.answer ? 1u : 0u) << row.power;
    if (row.answer && row.answer != IDOK) {
      EXPECT_EQ(boxes[0].value, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
      EXPECT_EQ(boxes[0].text.substr(0, boxes[0].text.find('\n')),
                "The computer is running on battery" + std::string(row.charge) + ".");
    }
    EXPECT_EQ(run.world.driver().mapCount(0), row.maps) << row.power;
    if (mainsTrace.empty()) mainsTrace = readFile(path);
    EXPECT_TRUE(!mainsTrace.empty() && readFile(path) == (updates ? mainsTrace : "")) << row.power;
    run.expectCleanEnd();
  }
  std::remove(path);
}

// ---------------------------------------------------------------- simulated cards

TEST(SimulatedCards, AnUpdatedCardReportsItsFamilysCurrentRevisionAfterARestart) {
  char path[] = "/tmp/tarn-sim-state-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::remove(path);
  const std::map<std::string, std::string> settings = {
      {"TARN_SIM_CARDS", "50:cardbus,100"}, {"TARN_SIM_ERASE_MS", "0"}, {"TARN_SIM_STATE", path}};
  {
    ScriptedSession first(settings,
                          {checkAction(1011), pressAction(), closeAction(), dismissAction()});
    first.start();
    EXPECT_EQ(first.lastStatus(0), "Success");
  }
  {
    ScriptedSession second(settings, {showTabAction(1), closeAction()});
    second.start();
    EXPECT_EQ(second.ui.eventsOf(UiEvent::Kind::SetText, 0).at(0).text, "53\n");
    EXPECT_EQ(second.status(0).at(0), "Up-to-date");
    // The card that was not updated still reads as before.
    EXPECT_EQ(second.ui.eventsOf(UiEvent::Kind::SetText, 1).at(0).text, "100\n");
    EXPECT_EQ(second.status(1).at(0), "Not updated");
  }
  std::remove(path);
}

TEST(SimulatedCards, AChainCardUpdatedOnceStartsUpToDate) {
  char path[] = "/tmp/tarn-sim-state-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::remove(path);
  const std::map<std::string, std::string> settings = {{"TARN_SIM_CARDS", "14:pci"},
                                                       {"TARN_SIM_STATE", path}};
  {
    ScriptedSession first(settings,
                          {checkAction(1010), pressAction(), closeAction(), dismissAction()});
    first.start();
    EXPECT_EQ(first.status(0).at(0), "Not updated");
    EXPECT_EQ(first.lastStatus(0), "Success");
  }
  {
    ScriptedSession second(settings, {closeAction()});
    second.start();
    EXPECT_EQ(second.ui.eventsOf(UiEvent::Kind::SetText, 0).at(0).text, "15\n");
    EXPECT_EQ(second.status(0).at(0), "Up-to-date");
  }
  std::remove(path);
}

TEST(SimulatedCards, TheTraceRecordsTheUpdateWhileThePageStillGetsItsProgress) {
  char path[] = "/tmp/tarn-sim-trace-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    ScriptedSession run(
        {{"TARN_SIM_CARDS", "60"}, {"TARN_SIM_ERASE_MS", "0"}, {"TARN_SIM_TRACE", path}},
        {checkAction(1010), pressAction(), closeAction(), dismissAction()});
    run.tool.progress = run.world.progress(&run.tool.page);
    run.start();
    EXPECT_EQ(run.lastStatus(0), "Success");
    EXPECT_EQ(run.status(0).at(1), "Erasing sector 0...");
  }
  const std::string trace = readFile(path);
  std::remove(path);
  const size_t erase = trace.find("T Erasing sector 0...\nP 0\n");
  const size_t write = trace.find("\nW 0030 ");
  const size_t done = trace.find("T Programming... 100 %\nP 100\n");
  ASSERT_NE(erase, std::string::npos);
  ASSERT_NE(write, std::string::npos);
  ASSERT_NE(done, std::string::npos);
  EXPECT_LT(erase, done);
}

TEST(SimulatedCards, SettingsThatCannotBeUnderstoodAreRefused) {
  for (const auto& bad :
       std::vector<std::pair<std::string, std::string>>{{"TARN_SIM_CARDS", "60:usb"},
                                                        {"TARN_SIM_CARDS", "1,2,3,4,5,6,7"},
                                                        {"TARN_SIM_CARDS", "abc"},
                                                        {"TARN_SIM_FAMILY", "win95"},
                                                        {"TARN_SIM_FAULTS", "9:never-erase=0"},
                                                        {"TARN_SIM_ERASE_MS", "-4"},
                                                        {"TARN_SIM_POWER", "battery:101"}}) {
    sim::SimWorldSettings settings;
    std::string error;
    EXPECT_FALSE(sim::parseSimSettings(
        [&](const char* name) { return bad.first == name ? bad.second.c_str() : nullptr; },
        settings, error))
        << bad.second;
    EXPECT_NE(error.find(bad.first), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace tarn
