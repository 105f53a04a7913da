#pragma once
#include <cstdint>

namespace tarn {

// The card sheet as the application and every front end know it: how many
// cards it can hold, and dialog template 101, the card page. The Windows
// program's resource script carries the same template; a test holds the two
// to each other.

// The driver serves at most six cards, and the sheet has a page for each.
inline constexpr int kMaxCards = 6;

inline constexpr uint16_t kCardPageTemplate = 101;
inline constexpr int kUpdateButton = 1;
inline constexpr int kRevisionText = 1001;
inline constexpr int kStatusText = 1002;
inline constexpr int kProgressBar = 1009;
inline constexpr int kPciRadio = 1010;
inline constexpr int kCardBusRadio = 1011;
inline constexpr int kInterfaceGroup = 1012;
// A label the application never addresses.
inline constexpr int kNoControlId = -1;

enum class ControlKind { PushButton, Text, ProgressBar, GroupBox, RadioButton };

// One control of the template, in dialog units.
struct TemplateControl {
  int id;
  ControlKind kind;
  const char* text;
  int x, y, width, height;
};

inline constexpr int kCardPageWidth = 206;
inline constexpr int kCardPageHeight = 110;

inline constexpr TemplateControl kCardPageControls[] = {
    {kUpdateButton, ControlKind::PushButton, "Update", 132, 84, 52, 16},
    {kRevisionText, ControlKind::Text, "0", 96, 8, 88, 8},
    {kStatusText, ControlKind::Text, "not programmed", 96, 24, 88, 8},
    {kProgressBar, ControlKind::ProgressBar, "Progress1", 8, 44, 176, 12},
    {kNoControlId, ControlKind::Text, "Hardware Revision", 8, 8, 80, 8},
    {kNoControlId, ControlKind::Text, "Programming Status", 8, 24, 80, 8},
    {kInterfaceGroup, ControlKind::GroupBox, "Interface", 8, 64, 52, 36},
    {kPciRadio, ControlKind::RadioButton, "PCI", 12, 76, 44, 10},
    {kCardBusRadio, ControlKind::RadioButton, "CardBus", 12, 88, 42, 10},
};
inline constexpr int kCardPageControlCount =
    int(sizeof kCardPageControls / sizeof kCardPageControls[0]);

// The template's control with this id; nullptr for an id it does not have
// (labels share kNoControlId and are not found this way).
constexpr const TemplateControl* findTemplateControl(int id) {
  if (id == kNoControlId) return nullptr;
  for (const TemplateControl& control : kCardPageControls)
    if (control.id == id) return &control;
  return nullptr;
}

}  // namespace tarn
