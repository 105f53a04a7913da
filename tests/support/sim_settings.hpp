#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sim/sim_world.hpp"

namespace tarn::test {

// The simulated machine as the named TARN_SIM_* settings describe it; a
// setting the test got wrong fails the test that made it.
inline sim::SimWorldSettings settingsFor(const std::map<std::string, std::string>& values) {
  sim::SimWorldSettings settings;
  std::string error;
  const bool ok = sim::parseSimSettings(
      [&](const char* name) -> const char* {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
      },
      settings, error);
  EXPECT_TRUE(ok) << error;
  return settings;
}

}  // namespace tarn::test
