#pragma once
#include <string>

namespace tarn::sim {

// Puts the file `from` in place of `to` in one step, replacing `to` when it is
// there, so that a crash leaves one or the other, never half of each. False
// (with errno or the system's last error set) when it cannot.
bool replaceFile(const std::string& from, const std::string& to);

}  // namespace tarn::sim
