// tarn-sim cards: the simulated cards as openCard sees them, with every
// driver call it made.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "card/card_context.hpp"
#include "card/driver.hpp"
#include "sim/clock.hpp"
#include "sim/sim_driver.hpp"
#include "sim/sim_faults.hpp"
#include "tools/tarn-sim/arguments.hpp"
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage =
    "cards [--family nt|older] [--revisions R1,R2,...] [--fault FAULT]...";

const std::string kHelp =
    "cards: open the simulated cards through the tool's own card access and list them as\n"
    "openCard sees them (index, revision), each with the driver calls it made.\n"
    "  --family nt|older      driver family the simulated system presents (default nt)\n"
    "  --revisions R1,R2,...  1 to 6 cards with these hardware revisions, 0 to 255\n"
    "                         (default 45,150)\n"
    "  --fault FAULT          make the simulated driver fail; may be given more than once:\n" +
    sim::faultHelp(sim::FaultFamily::Driver, 6) +
    "Numbers are decimal, or hexadecimal after 0x. Options other than --fault are given once.\n"
    "Exit status 0 when every card opened with well-formed calls and no handle left open,\n"
    "1 when openCard failed (the failure is named), 2 for bad usage.";

// "R1,R2,..." into 1 to 6 cards, or a one-line error naming what is wrong.
bool parseRevisions(const std::string& list, std::vector<sim::SimCardSetup>& cards,
                    std::string& error) {
  cards.clear();
  for (const std::string_view item : sim::splitAt(list, ',')) {
    int32_t revision = 0;
    if (!sim::parseRevision(item, revision)) {
      error = "--revisions: '" + std::string(item) + "' is not a revision from 0 to 255";
      return false;
    }
    cards.push_back(sim::SimCardSetup{revision, sim::CardInterface::Pci});
  }
  if (cards.size() > 6) {
    error = "--revisions: " + std::to_string(cards.size()) +
            " revisions given; 1 to 6 cards (--fault count=N reports another number)";
    return false;
  }
  return true;
}

void printCalls(sim::SimDriver& driver) {
  for (const auto& call : driver.calls()) std::printf("    %s\n", call.c_str());
  driver.clearCalls();
}

const char* failureOf(const sim::SimDriver& driver) {
  return driver.lastFailure().empty() ? "the driver gave no reason" : driver.lastFailure().c_str();
}

int runCards(int argc, char** argv) {
  sim::SimDriverConfig config;
  config.cards = {sim::SimCardSetup{45, sim::CardInterface::Pci},
                  sim::SimCardSetup{150, sim::CardInterface::Pci}};
  Arguments arguments;
  std::string error;
  if (const auto status =
          readCommandLine(argc, argv, {{"--family", "--revisions", "--fault"}, {"--fault"}, 0},
                          kUsage, kHelp, arguments))
    return *status;
  for (const auto& [option, value] : arguments.options) {
    if (option == "--family") {
      if (value == "nt") {
        config.family = sim::DriverFamily::Nt;
      } else if (value == "older") {
        config.family = sim::DriverFamily::Older;
      } else {
        return usageError(kUsage, "--family takes nt or older, not '" + value + "'");
      }
    } else if (option == "--revisions") {
      if (!parseRevisions(value, config.cards, error)) return usageError(kUsage, error);
    } else if (!sim::parseDriverFault(value, config.faults, error)) {
      return usageError(kUsage, "--fault: " + error);
    }
  }

  sim::SimClock clock;
  sim::SimDriver driver(clock, config);
  CardContext card;
  std::printf("simulated driver: %s family, %d card%s\n",
              config.family == sim::DriverFamily::Nt ? "NT" : "older", driver.cardCount(),
              driver.cardCount() == 1 ? "" : "s");

  driver.clearLastFailure();
  const int opened = openCard(card, driver, 0, 0);
  std::printf("openCard(0, 0) = %d\n", opened);
  printCalls(driver);
  if (!opened) {
    std::printf("openCard(0, 0) failed: %s\n", failureOf(driver));
    return kExitFailed;
  }
  std::printf("%d card%s reported\n", card.cardCount, card.cardCount == 1 ? "" : "s");

  int status = kExitOk;
  for (int32_t i = 0; i < card.cardCount; ++i) {
    driver.clearLastFailure();
    if (openCard(card, driver, i, 0)) {
      std::printf("card %d: revision %d\n", i, card.hardwareRevision);
    } else {
      std::printf("card %d: openCard(%d, 0) failed: %s\n", i, i, failureOf(driver));
      status = kExitFailed;
    }
    printCalls(driver);
  }
  if (driver.openHandles() != 0 || driver.conventionBreaches() != 0) {
    std::printf("driver calls not well formed: %d handle(s) left open, %llu breach(es)\n",
                driver.openHandles(), static_cast<unsigned long long>(driver.conventionBreaches()));
    for (const auto& note : driver.breachNotes()) std::printf("  %s\n", note.c_str());
    status = kExitFailed;
  }
  return status;
}

const SubcommandRegistration registration("cards", kUsage, kHelp, runCards);

}  // namespace
}  // namespace tarn::tools
