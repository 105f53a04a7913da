#pragma once
#include <cstdint>
#include <cstdio>

#include "card/card_context.hpp"
#include "flash/flash_image.hpp"
#include "jtag/jtag_port.hpp"
#include "platform/card_sheet.hpp"
#include "platform/driver_io.hpp"
#include "platform/progress.hpp"
#include "platform/system_services.hpp"
#include "platform/user_interface.hpp"
#include "xsvf/player.hpp"
#include "xsvf/xsvf_stream.hpp"

namespace tarn {

inline constexpr uint32_t kPageDescriptionSize = 48;
inline constexpr uint32_t kSheetDescriptionSize = 52;

inline constexpr const char* kSheetCaption = "TARN Flash Update Tool, Rev. 15/53/106/152";
inline constexpr const char* kPowerOffText =
    "Shut down and power off the computer\nfor the update to become active.";
inline constexpr const char* kPowerOffCaption = "TARN Flash Update Tool";
inline constexpr const char* kInterfaceText = "Please select your interface type (PCI/CardBus)";
inline constexpr const char* kInterfaceCaption = "Flash Update Tool";
// The question before an update on battery power. %s is the charge left,
// " (40% left)", or nothing when the system does not report it.
inline constexpr const char* kBatteryQuestion =
    "The computer is running on battery%s.\n"
    "If power is lost during the update, the card\n"
    "may be left unable to start.\n"
    "Please connect the power adapter first.\n"
    "\n"
    "Update the card on battery power anyway?";
inline constexpr const char* kBatteryCaption = "TARN Flash Update Tool";
inline constexpr uint32_t kBatteryQuestionStyle = MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2;

// The page that runs the current update, as the lower layers see it: status
// texts go to its control 1002, positions to its progress bar 1009.
class PageProgress final : public ProgressTarget {
 public:
  explicit PageProgress(UserInterface& ui) : ui_(ui) {}
  void setStatusText(const char* text) override;
  void setProgressPosition(int percent) override;
  void setWindow(PageWindow window) { window_ = window; }
  PageWindow window() const { return window_; }

 private:
  UserInterface& ui_;
  PageWindow window_ = 0;
};

// Everything the running program keeps, in one place. The seams are what
// the platform provides; the rest is the process-wide state that the sheet,
// the pages and the two update methods share. A test builds a fresh one.
struct UpdateTool {
  UpdateTool(DriverIo& driverIo, SystemServices& systemServices, UserInterface& userInterface,
             uintptr_t module)
      : driver(driverIo),
        system(systemServices),
        ui(userInterface),
        moduleInstance(module),
        page(userInterface) {}
  UpdateTool(const UpdateTool&) = delete;
  UpdateTool& operator=(const UpdateTool&) = delete;

  DriverIo& driver;
  SystemServices& system;
  UserInterface& ui;
  uintptr_t moduleInstance;
  FileCommentEcho standardOutput{stdout};
  CommentSink* comments = &standardOutput;  // where XCOMMENT text is echoed; null: nowhere

  CardContext card;
  XsvfStream stream;
  JtagPort jtag;  // its shadow keeps the pin levels from one update to the next
  FlashBus flash;
  PageProgress page;
  // Where the update methods report; the page itself unless a platform puts a
  // recorder in between.
  ProgressTarget* progress = &page;
  int32_t commentEchoLevel = 0;
  int32_t updateSucceeded = 0;
  // An Update command is running: its update, the battery question before
  // it, or the interface message that stands in for one. A press that
  // reaches a page meanwhile (a front end whose message box leaves the sheet
  // enabled) starts nothing: it would map a second card under the first
  // one's mapping.
  bool commandRunning = false;
};

// The program: the card sheet, then the power-off message if an update
// succeeded. Always 0.
int runTool(UpdateTool& tool);

// Fills one page description of the sheet.
void initCardPage(PropSheetPage& page, uint16_t templateId, const char* title,
                  PageProcedure dialogProcedure, uintptr_t moduleInstance, int32_t cardIndex);

// The dialog procedure of every card page; `context` is the UpdateTool.
intptr_t cardPageProcedure(void* context, PageWindow window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam);

// What the page's "Update" button does.
void runUpdate(UpdateTool& tool, PageWindow window, int32_t cardIndex);

// "Up-to-date" or "Not updated" for a hardware revision.
bool revisionIsUpToDate(int32_t hardwareRevision);

}  // namespace tarn
