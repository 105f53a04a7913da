// The Windows program's resource script and the front ends' table of template
// 101 describe the same page: a control moved, renamed or re-numbered in one
// copy only would make the terminal sheet and the Windows sheet differ.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/card_sheet.hpp"

namespace tarn {
namespace {

struct ScriptControl {
  std::string text;
  int id;
  std::string windowClass;
  std::string style;
  int x, y, width, height;
};

struct ScriptDialog {
  int id = 0, width = 0, height = 0;
  std::vector<ScriptControl> controls;
};

ScriptDialog readCardPage(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string script = text.str();
  ScriptDialog dialog;
  std::smatch match;
  const std::regex header(R"((\d+)\s+DIALOG\s+0\s*,\s*0\s*,\s*(\d+)\s*,\s*(\d+))");
  if (std::regex_search(script, match, header)) {
    dialog.id = std::stoi(match[1]);
    dialog.width = std::stoi(match[2]);
    dialog.height = std::stoi(match[3]);
  }
  const std::regex control(
      R"re(CONTROL\s+"([^"]*)"\s*,\s*(-?\d+)\s*,\s*"([^"]*)"\s*,\s*([^,]*),\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+))re");
  for (auto it = std::sregex_iterator(script.begin(), script.end(), control);
       it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    dialog.controls.push_back({m[1], std::stoi(m[2]), m[3], m[4], std::stoi(m[5]), std::stoi(m[6]),
                               std::stoi(m[7]), std::stoi(m[8])});
  }
  return dialog;
}

bool hasStyle(const ScriptControl& control, const char* style) {
  return control.style.find(style) != std::string::npos;
}

bool isOfKind(const ScriptControl& control, ControlKind kind) {
  switch (kind) {
    case ControlKind::PushButton:
      return control.windowClass == "Button" && hasStyle(control, "PUSHBUTTON");
    case ControlKind::Text:
      return control.windowClass == "Static";
    case ControlKind::ProgressBar:
      return control.windowClass == "msctls_progress32";
    case ControlKind::GroupBox:
      return control.windowClass == "Button" && hasStyle(control, "BS_GROUPBOX");
    case ControlKind::RadioButton:
      return control.windowClass == "Button" && hasStyle(control, "RADIOBUTTON");
  }
  return false;
}

TEST(CardPageTemplate, ResourceScriptMatchesTheFrontEndsTable) {
  const ScriptDialog dialog =
      readCardPage(std::string(TARN_SOURCE_DIR) + "/tools/tarn-flash-update/tarn-flash-update.rc");
  EXPECT_EQ(dialog.id, kCardPageTemplate);
  EXPECT_EQ(dialog.width, kCardPageWidth);
  EXPECT_EQ(dialog.height, kCardPageHeight);
  ASSERT_EQ(int(dialog.controls.size()), kCardPageControlCount);
  for (int i = 0; i < kCardPageControlCount; ++i) {
    const TemplateControl& table = kCardPageControls[i];
    const ScriptControl& script = dialog.controls[size_t(i)];
    SCOPED_TRACE("control " + std::to_string(i) + " \"" + table.text + "\"");
    EXPECT_EQ(script.id, table.id);
    EXPECT_EQ(script.text, table.text);
    EXPECT_TRUE(isOfKind(script, table.kind)) << script.windowClass << " " << script.style;
    EXPECT_EQ(script.x, table.x);
    EXPECT_EQ(script.y, table.y);
    EXPECT_EQ(script.width, table.width);
    EXPECT_EQ(script.height, table.height);
  }
}

}  // namespace
}  // namespace tarn
