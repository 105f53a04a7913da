#pragma once
#include <cstdint>

#include "platform/user_interface.hpp"
#include "platform/win32/win32_messages.hpp"

namespace tarn {

// The updater's user interface on Windows: the common-controls property
// sheet, dialog template 101 for each page, and the message box. Free of
// <windows.h> so that the program's own headers, whose names match the Win32
// constants they mirror, can sit beside it.
class Win32UserInterface final : public UserInterface {
 public:
  explicit Win32UserInterface(Win32Messages& messages) : messages_(messages) {}
  intptr_t propertySheet(const PropSheetHeader& header, void* context) override;
  intptr_t sendDlgItemMessage(PageWindow window, int controlId, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) override;
  uint32_t isDlgButtonChecked(PageWindow window, int controlId) override;
  void hideDlgItem(PageWindow window, int controlId) override;
  intptr_t setWindowLong(PageWindow window, int index, intptr_t value) override;
  intptr_t getWindowLong(PageWindow window, int index) override;
  int messageBox(PageWindow owner, const char* text, const char* caption, uint32_t type) override;
  void updateEnds(PageWindow window) override;

 private:
  Win32Messages& messages_;
};

}  // namespace tarn
