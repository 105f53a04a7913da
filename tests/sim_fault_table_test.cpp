#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_faults.hpp"

namespace tarn::sim {
namespace {

TEST(SimFaultTable, HelpNamesEveryKnownFaultOnLinesThatFit) {
  for (const FaultFamily family : {FaultFamily::Driver, FaultFamily::Flash, FaultFamily::Chain}) {
    const std::string help = faultHelp(family, 2);
    const std::string known = knownFaults(family);
    for (const std::string_view fault : splitAt(known, ',')) {
      const std::string line = "\n  " + std::string(fault.substr(fault.front() == ' ' ? 1 : 0));
      EXPECT_NE(("\n" + help).find(line + " "), std::string::npos) << line << " in\n" << help;
    }
    for (const std::string_view line : splitAt(help, '\n')) EXPECT_LE(line.size(), 92u) << line;
  }
}

TEST(SimFaultTable, SplitAtKeepsEveryPartEmptyOnesIncluded) {
  using Parts = std::vector<std::string_view>;
  EXPECT_EQ(splitAt("a,b", ','), (Parts{"a", "b"}));
  EXPECT_EQ(splitAt("a,", ','), (Parts{"a", ""}));
  EXPECT_EQ(splitAt("", ','), (Parts{""}));
  EXPECT_EQ(splitAt(":1:", ':'), (Parts{"", "1", ""}));
}

}  // namespace
}  // namespace tarn::sim
