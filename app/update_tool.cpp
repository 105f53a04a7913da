#include "app/update_tool.hpp"

#include <cstdio>
#include <cstring>

#include "card/driver.hpp"
#include "payloads/payloads.hpp"
#include "xsvf/player.hpp"

namespace tarn {

void PageProgress::setStatusText(const char* text) {
  ui_.sendDlgItemMessage(window_, kStatusText, WM_SETTEXT, 0, reinterpret_cast<intptr_t>(text));
}

void PageProgress::setProgressPosition(int percent) {
  ui_.sendDlgItemMessage(window_, kProgressBar, PBM_SETPOS, uintptr_t(percent), 0);
}

bool revisionIsUpToDate(int32_t hardwareRevision) {
  if (hardwareRevision < 50) return hardwareRevision >= 15;
  if (hardwareRevision < 100) return hardwareRevision >= 53;
  if (hardwareRevision < 150) return hardwareRevision >= 106;
  return hardwareRevision >= 152;
}

void initCardPage(PropSheetPage& page, uint16_t templateId, const char* title,
                  PageProcedure dialogProcedure, uintptr_t moduleInstance, int32_t cardIndex) {
  page.dwSize = kPageDescriptionSize;
  page.dwFlags = PSP_USETITLE;
  page.hInstance = moduleInstance;
  page.pszTemplate = templateId;
  page.pszIcon = nullptr;
  page.pszTitle = title;
  page.pfnDlgProc = dialogProcedure;
  page.lParam = cardIndex;
}

int runTool(UpdateTool& tool) {
  tool.commentEchoLevel = 100;
  if (!openCard(tool.card, tool.driver, 0, 0)) return 0;
  if (tool.card.cardCount < 1 || tool.card.cardCount > kMaxCards) return 0;

  // Titles and page descriptions live for the duration of the sheet only.
  char titles[kMaxCards][20];
  PropSheetPage pages[kMaxCards];
  for (int32_t i = 0; i < tool.card.cardCount; ++i) {
    std::snprintf(titles[i], sizeof titles[i], "Card %d", i + 1);
    initCardPage(pages[i], kCardPageTemplate, titles[i], cardPageProcedure, tool.moduleInstance, i);
  }

  PropSheetHeader header;
  header.dwSize = kSheetDescriptionSize;
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW;
  header.hwndParent = 0;
  header.pszCaption = kSheetCaption;
  header.nPages = uint32_t(tool.card.cardCount);
  header.nStartPage = 0;
  header.ppsp = pages;
  tool.ui.propertySheet(header, &tool);

  if (tool.updateSucceeded)
    tool.ui.messageBox(0, kPowerOffText, kPowerOffCaption, MB_ICONINFORMATION);
  return 0;
}

namespace {

void setItemText(UpdateTool& tool, PageWindow window, int controlId, const char* text) {
  tool.ui.sendDlgItemMessage(window, controlId, WM_SETTEXT, 0, reinterpret_cast<intptr_t>(text));
}

// WM_INITDIALOG: what the page shows when its tab is first opened. Nothing
// here touches the card's registers.
void showCardPage(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  tool.ui.setWindowLong(window, DWL_USER, cardIndex);
  if (!openCard(tool.card, tool.driver, cardIndex, 0)) {
    tool.card.hardwareRevision = -1;
    return;
  }
  char revisionText[16];
  std::snprintf(revisionText, sizeof revisionText, "%d\n", tool.card.hardwareRevision);
  setItemText(tool, window, kRevisionText, revisionText);
  setItemText(tool, window, kStatusText,
              revisionIsUpToDate(tool.card.hardwareRevision) ? "Up-to-date" : "Not updated");
  if (tool.card.hardwareRevision >= 100) {
    tool.ui.hideDlgItem(window, kInterfaceGroup);
    tool.ui.hideDlgItem(window, kPciRadio);
    tool.ui.hideDlgItem(window, kCardBusRadio);
  }
}

void useXsvfStream(UpdateTool& tool, int32_t isCardBus) {
  const XsvfPayload payload = selectXsvfStream(isCardBus);
  tool.stream.streamData = payload.data;
  tool.stream.streamSize = payload.size;
}

}  // namespace

namespace {

// On battery, a power cut during the update can leave the card unable to
// start: the user decides before the card is mapped, so No leaves it
// untouched. Only a press that would start an update asks; one that ends in
// the interface message goes on to it unasked. False: no update.
bool agreedToUpdate(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  const PowerState power = tool.system.powerState();
  if (power.line != PowerLine::Battery) return true;
  if (!tool.ui.isDlgButtonChecked(window, kPciRadio) &&
      !tool.ui.isDlgButtonChecked(window, kCardBusRadio)) {
    // The card's revision decides; reading it maps nothing.
    if (!openCard(tool.card, tool.driver, cardIndex, 0)) return false;
    if (tool.card.hardwareRevision < 100) return true;
  }
  char charge[24] = "";
  if (power.batteryPercent >= 0 && power.batteryPercent <= 100)
    std::snprintf(charge, sizeof charge, " (%d%% left)", int(power.batteryPercent));
  char text[256];
  std::snprintf(text, sizeof text, kBatteryQuestion, charge);
  return tool.ui.messageBox(0, text, kBatteryCaption, kBatteryQuestionStyle) == IDYES;
}

void runUpdateCommand(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  if (!agreedToUpdate(tool, window, cardIndex)) return;
  if (!openCard(tool.card, tool.driver, cardIndex, 1)) return;

  int32_t isCardBus = 0;
  if (tool.ui.isDlgButtonChecked(window, kPciRadio)) {
    isCardBus = 0;
    useXsvfStream(tool, 0);
  } else if (tool.ui.isDlgButtonChecked(window, kCardBusRadio)) {
    isCardBus = 1;
    useXsvfStream(tool, 1);
  } else if (tool.card.hardwareRevision < 100) {
    // Released before the message, not after: the box runs a message loop,
    // and a page first shown meanwhile opens its own card, which leaves the
    // card context naming that card's device for the unmapping.
    releaseRegisters(tool.card, tool.driver);
    tool.ui.messageBox(0, kInterfaceText, kInterfaceCaption, MB_ICONINFORMATION);
    return;
  }

  tool.stream.readIndex = 0;
  tool.stream.lastPercent = 0;
  tool.page.setWindow(window);

  // The lower layers reach the card mapped just now and report to this page.
  tool.stream.progress = tool.progress;
  tool.jtag.window = tool.card.window;
  tool.jtag.system = &tool.system;
  tool.jtag.progress = tool.progress;
  tool.flash.window = tool.card.window;
  tool.flash.system = &tool.system;

  tool.system.updateBegins();
  int32_t result = 0;
  if (tool.card.hardwareRevision < 50) {
    // Only the play gets a sharpened timer; the flash erase counts its sleeps.
    tool.system.xsvfPlayBegins();
    result = playXsvf(tool.jtag, tool.stream, tool.commentEchoLevel, tool.comments);
    tool.system.xsvfPlayEnds();
  } else {
    result = programFlashImage(tool.flash, tool.progress, tool.card.hardwareRevision, isCardBus);
  }
  tool.system.updateEnds();

  char text[32];
  if (result == 0) {
    std::strcpy(text, "Success");
    tool.updateSucceeded = 1;
  } else {
    std::strcpy(text, "Failed");
  }
  releaseRegisters(tool.card, tool.driver);
  setItemText(tool, window, kStatusText, text);
  tool.ui.updateEnds(window);
}

}  // namespace

void runUpdate(UpdateTool& tool, PageWindow window, int32_t cardIndex) {
  if (tool.commandRunning) return;
  tool.commandRunning = true;
  runUpdateCommand(tool, window, cardIndex);
  tool.commandRunning = false;
}

intptr_t cardPageProcedure(void* context, PageWindow window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) {
  UpdateTool& tool = *static_cast<UpdateTool*>(context);
  const auto cardIndex = int32_t(tool.ui.getWindowLong(window, DWL_USER));
  switch (message) {
    case WM_INITDIALOG: {
      const auto* page = reinterpret_cast<const PropSheetPage*>(lParam);
      showCardPage(tool, window, int32_t(page->lParam));
      return 1;
    }
    case WM_COMMAND:
      if ((wParam & 0xFFFF) == uintptr_t(kUpdateButton)) runUpdate(tool, window, cardIndex);
      return 0;
    default:
      return 0;
  }
}

}  // namespace tarn
