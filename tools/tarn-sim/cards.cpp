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
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

// "R1,R2,..." into 1 to 6 cards, or a one-line error naming what is wrong.
bool parseRevisions(const std::string& list, std::vector<sim::SimCardSetup>& cards,
                    std::string& error) {
  cards.clear();
  for (const std::string_view item : sim::splitAt(list, ',')) {
    int32_t revision = 0;
    if (!sim::parseRevision(item, revision)) {
      error = notARevision(std::string(item));
      return false;
    }
    cards.push_back(sim::SimCardSetup{revision, sim::CardInterface::Pci});
  }
  if (cards.size() > 6) {
    error = std::to_string(cards.size()) +
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

sim::SimDriverConfig config;

CLI::App* defineCards(CLI::App& tarnSim) {
  CLI::App* cards = tarnSim.add_subcommand(
      "cards",
      "cards: open the simulated cards through the tool's own card access and list them as\n"
      "openCard sees them (index, revision), each with the driver calls it made.");
  cards->allow_extras();
  config.cards = {sim::SimCardSetup{45, sim::CardInterface::Pci},
                  sim::SimCardSetup{150, sim::CardInterface::Pci}};
  cards->add_option("--family", "driver family the simulated system presents (default nt)")
      ->check(CLI::IsMember({"nt", "older"}))
      ->type_name("WORD")
      ->each([](const std::string& family) {
        config.family = family == "nt" ? sim::DriverFamily::Nt : sim::DriverFamily::Older;
      });
  addOption(*cards, "--revisions", "R1,R2,...",
            "1 to 6 cards with these hardware revisions, 0 to 255 (default 45,150)",
            [](const std::string& list) {
              std::string error;
              parseRevisions(list, config.cards, error);
              return error;
            });
  addOption(*cards, "--fault", "FAULT",
            "make the simulated driver fail (FAULT below); may be given more than once",
            [](const std::string& fault) {
              std::string error;
              sim::parseDriverFault(fault, config.faults, error);
              return error;
            })
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cards->footer("FAULT is one of:\n" + sim::faultHelp(sim::FaultFamily::Driver, 2) +
                "Exit status 0 when every card opened with well-formed calls and no handle left\n"
                "open, 1 when openCard failed (the failure is named), 2 for bad usage.");
  return cards;
}

int runCards() {
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

const SubcommandRegistration registration({defineCards, runCards});

}  // namespace
}  // namespace tarn::tools
