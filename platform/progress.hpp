#pragma once

namespace tarn {

// Where a running update reports: the status line and the progress bar
// (0 to 100) of the card page that started it.
class ProgressTarget {
 public:
  virtual ~ProgressTarget() = default;
  virtual void setStatusText(const char* text) = 0;
  virtual void setProgressPosition(int percent) = 0;
};

// The lower layers report through these two; an update with no target set
// reports nowhere.
inline void showStatus(ProgressTarget* target, const char* text) {
  if (target != nullptr) target->setStatusText(text);
}
inline void showProgress(ProgressTarget* target, int percent) {
  if (target != nullptr) target->setProgressPosition(percent);
}

}  // namespace tarn
