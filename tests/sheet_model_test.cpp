// The sheet model that the terminal and scripted front ends share, worked the
// way a user works the tabs and the radio buttons.
#include "ui/sheet_model.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tarn::ui {
namespace {

// The pages the sheet created, by the card index in their descriptions.
struct Created {
  std::vector<intptr_t> indexes;
};

intptr_t recordingProcedure(void* context, PageWindow, uint32_t message, uintptr_t,
                            intptr_t lParam) {
  if (message != WM_INITDIALOG) return 0;
  const auto* description = reinterpret_cast<const PropSheetPage*>(lParam);
  static_cast<Created*>(context)->indexes.push_back(description->lParam);
  return 1;
}

TEST(SheetModel, NoTabPastEitherEndIsSelectedAndEachPageIsMadeOnce) {
  for (int cards = 1; cards <= kMaxCards; ++cards) {
    SCOPED_TRACE(cards);
    // One description more than the sheet is given: the page that does not
    // exist would say so if it were ever made.
    PropSheetPage pages[kMaxCards + 1];
    for (int k = 0; k <= cards; ++k) {
      pages[k].pszTitle = "Card";
      pages[k].pfnDlgProc = recordingProcedure;
      pages[k].lParam = k < cards ? k : -1;
    }
    PropSheetHeader header;
    header.pszCaption = "sheet";
    header.nPages = uint32_t(cards);
    header.ppsp = pages;
    Created created;
    SheetState sheet;
    openSheet(sheet, header, &created);
    showTab(sheet, sheet.current);
    // Right from the first tab to the last, then once more on the last.
    for (int k = 1; k < cards; ++k) showTab(sheet, sheet.current + 1);
    ASSERT_EQ(sheet.current, cards - 1);
    showTab(sheet, sheet.current + 1);
    EXPECT_EQ(sheet.current, cards - 1);
    // Left back to the first, then once more on the first.
    for (int k = 1; k < cards; ++k) showTab(sheet, sheet.current - 1);
    showTab(sheet, sheet.current - 1);
    EXPECT_EQ(sheet.current, 0);

    std::vector<intptr_t> expected;
    for (int k = 0; k < cards; ++k) expected.push_back(k);
    EXPECT_EQ(created.indexes, expected);
  }
}

TEST(SheetModel, TheTwoInterfaceButtonsAreOneChoice) {
  const struct {
    std::vector<int> checks;
    bool pci;
    bool cardBus;
  } cases[] = {
      {{}, false, false},
      {{kPciRadio}, true, false},
      {{kCardBusRadio}, false, true},
      {{kPciRadio, kCardBusRadio}, false, true},
      {{kCardBusRadio, kPciRadio}, true, false},
      {{kPciRadio, kCardBusRadio, kPciRadio, kPciRadio}, true, false},
  };
  for (const auto& c : cases) {
    PageState page;
    for (int id : c.checks) EXPECT_TRUE(checkRadio(page, id));
    EXPECT_EQ(page.pciChecked, c.pci) << c.checks.size();
    EXPECT_EQ(page.cardBusChecked, c.cardBus) << c.checks.size();
  }

  // A hidden button cannot be checked, and checking it changes nothing.
  PageState page;
  EXPECT_TRUE(checkRadio(page, kPciRadio));
  page.hidden[int(Control::CardBusRadio)] = true;
  EXPECT_FALSE(checkRadio(page, kCardBusRadio));
  EXPECT_TRUE(page.pciChecked);
  EXPECT_FALSE(page.cardBusChecked);
  EXPECT_FALSE(checkRadio(page, kUpdateButton));
}

}  // namespace
}  // namespace tarn::ui
