// Input that reaches the sheet while an Update command runs: keys typed
// during an update, and presses made under the interface message. Neither
// may start an update the user did not ask for, or strand a card's mapping.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/scripted_session.hpp"

namespace tarn {
namespace {

using test::checkAction;
using test::closeAction;
using test::dismissAction;
using test::pressAction;
using test::ScriptAction;
using test::ScriptedSession;
using test::showTabAction;
using test::typedAhead;
using test::UiEvent;

// ------------------------------------------------ keys typed during an update

struct TypedAheadCase {
  const char* name;
  const char* cards;
  std::vector<ScriptAction> script;
};

TEST(InputDuringAnUpdate, IsThrownAwayWhenTheUpdateEndsAndTheNextPressStillCounts) {
  const TypedAheadCase cases[] = {
      // Enter during a flash update must not run the erase a second time.
      {"Enter during a flash update",
       "150,60",
       {typedAhead(pressAction()), pressAction(), showTabAction(1), closeAction(),
        dismissAction()}},
      // `q` during an XSVF play must not close the sheet over its "Success".
      {"q during an XSVF update",
       "30:pci,60",
       {checkAction(1010), typedAhead(closeAction()), pressAction(), showTabAction(1),
        closeAction(), dismissAction()}},
      // A press made once the update has ended is a new, complete update.
      {"a press after the update",
       "150",
       {typedAhead(pressAction()), pressAction(), pressAction(), closeAction(), dismissAction()}},
  };
  for (const TypedAheadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSession run({{"TARN_SIM_CARDS", c.cards}, {"TARN_SIM_ERASE_MS", "0"}}, c.script);
    run.start();
    size_t presses = 0;
    for (const ScriptAction& action : c.script)
      presses += action.kind == ScriptAction::Kind::Press && !action.typedAhead;
    EXPECT_EQ(run.world.driver().mapCount(0), presses);
    EXPECT_EQ(run.ui.eventsOf(UiEvent::Kind::UpdateEnded, 0).size(), presses);
    const auto texts = run.ui.statusTexts(0);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Success");
    // The sheet stayed open: what the user did next happened on it.
    const long closed = run.firstEvent(UiEvent::Kind::SheetClosed);
    ASSERT_GE(closed, 0);
    if (run.ui.sheet().pageCount > 1) {
      const long secondPage = run.firstEvent(UiEvent::Kind::PageCreated, 1);
      EXPECT_GE(secondPage, 0);
      EXPECT_LT(secondPage, closed);
    }
    // The input is dropped after the result is on the page, so nothing typed
    // while the last text was drawn survives either.
    const long ended = run.firstEvent(UiEvent::Kind::UpdateEnded, 0);
    long success = -1;
    for (size_t i = 0; i < run.ui.events().size(); ++i) {
      const UiEvent& event = run.ui.events()[i];
      if (event.kind == UiEvent::Kind::SetText && event.text == "Success") {
        success = long(i);
        break;
      }
    }
    EXPECT_GT(ended, success);
    EXPECT_EQ(run.ui.messageBoxTexts().size(), 1u);  // the power-off message, once
    run.expectCleanEnd();
  }
}

// ------------------------------------------------ presses under the interface message

struct UnderTheBoxCase {
  const char* name;
  std::vector<ScriptAction> duringBox;
};

TEST(InterfaceMessage, NoUpdateStartsUnderItAndEveryMappingGoesBackOnce) {
  const UnderTheBoxCase cases[] = {
      {"another card's Update", {showTabAction(1), pressAction()}},
      {"the same card's Update again", {pressAction(), pressAction()}},
      {"another card's, then back to the first",
       {showTabAction(1), pressAction(), showTabAction(0), checkAction(1010), pressAction()}},
  };
  for (const char* family : {"nt", "older"}) {
    for (const UnderTheBoxCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", " + family);
      // Card 1 asks for its interface; card 2 needs no choice and would
      // start at once if its press got through.
      std::vector<ScriptAction> script{pressAction()};
      script.insert(script.end(), c.duringBox.begin(), c.duringBox.end());
      script.push_back(dismissAction());
      // Once the message is gone, Update works on the card with its interface chosen.
      script.insert(script.end(), {showTabAction(0), checkAction(1010), pressAction(),
                                   closeAction(), dismissAction()});
      ScriptedSession run(
          {{"TARN_SIM_CARDS", "60,150"}, {"TARN_SIM_ERASE_MS", "0"}, {"TARN_SIM_FAMILY", family}},
          script);
      run.start();

      const auto boxes = run.ui.eventsOf(UiEvent::Kind::MessageBox);
      ASSERT_EQ(boxes.size(), 2u);
      EXPECT_EQ(boxes[0].text, "Please select your interface type (PCI/CardBus)");
      EXPECT_EQ(boxes[0].caption, "Flash Update Tool");
      EXPECT_EQ(boxes[0].value, 0x40);  // MB_ICONINFORMATION
      EXPECT_EQ(boxes[0].page, -1);     // and no owner
      // Card 2 was never mapped nor touched; card 1 once for the refused
      // command and once for the update after it.
      EXPECT_EQ(run.world.driver().mapCount(1), 0u);
      EXPECT_EQ(run.world.driver().card(1).accessCount(), 0u);
      EXPECT_EQ(run.world.driver().mapCount(0), 2u);
      EXPECT_EQ(run.ui.statusTexts(0).back(), "Success");
      if (run.ui.sheet().pages[1].created) {
        EXPECT_EQ(run.ui.statusTexts(1), std::vector<std::string>{"Not updated"});
      }
      run.expectCleanEnd();
    }
  }
}

}  // namespace
}  // namespace tarn
