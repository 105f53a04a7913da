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
#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage =
    "cards [--family nt|older] [--revisions R1,R2,...] [--fault FAULT]...";

constexpr const char* kHelp =
    "cards: open the simulated cards through the tool's own card access and list them as\n"
    "openCard sees them (index, revision), each with the driver calls it made.\n"
    "  --family nt|older      driver family the simulated system presents (default nt)\n"
    "  --revisions R1,R2,...  1 to 6 cards with these hardware revisions (default 45,150)\n"
    "  --fault FAULT          make the simulated driver fail; may be given more than once:\n"
    "      no-driver          the driver is not there: CreateFileA fails\n"
    "      wrong-signature    the NT card information record carries 0x3FC4, not 0x3FC5\n"
    "      count=N            the driver reports N cards (0 and 7 are refused)\n"
    "      map-fails          the mapping request fails (cards itself never maps)\n"
    "      zero-mapping       the mapping request answers base address 0 (likewise)\n"
    "      zero-record        older family: QUERY_CARD answers record address 0\n"
    "      fail=CODE          the request with this code fails: GET_CARD_INFO, MAP_REGISTERS,\n"
    "                         UNMAP_REGISTERS, QUERY_CARD_COUNT, QUERY_CARD, MAP_CARD_REGISTERS\n"
    "      failed-fills-output  a failed request still writes a plausible answer\n"
    "Exit status 0 when every card opened with well-formed calls and no handle left open,\n"
    "1 when openCard failed (the failure is named), 2 for bad usage.";

int usage() { return usageError(kUsage); }

bool parseNumber(const std::string& text, long min, long max, long& value) {
  if (text.empty() || text.size() > 10) return false;
  const bool negative = text[0] == '-';
  if (negative && text.size() == 1) return false;
  long result = 0;
  for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
  }
  if (negative) result = -result;
  if (result < min || result > max) return false;
  value = result;
  return true;
}

bool parseRevisions(const std::string& list, std::vector<sim::SimCardSetup>& cards) {
  cards.clear();
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    long revision = 0;
    if (!parseNumber(list.substr(start, comma - start), 0, 0x7FFFFFFF, revision)) return false;
    cards.push_back(sim::SimCardSetup{int32_t(revision), sim::CardInterface::Pci});
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return cards.size() >= 1 && cards.size() <= 6;
}

bool parseCode(const std::string& name, uint32_t& code) {
  struct Named {
    const char* name;
    uint32_t code;
  };
  static const Named codes[] = {
      {"GET_CARD_INFO", GET_CARD_INFO},     {"MAP_REGISTERS", MAP_REGISTERS},
      {"UNMAP_REGISTERS", UNMAP_REGISTERS}, {"QUERY_CARD_COUNT", QUERY_CARD_COUNT},
      {"QUERY_CARD", QUERY_CARD},           {"MAP_CARD_REGISTERS", MAP_CARD_REGISTERS}};
  for (const Named& named : codes) {
    if (name == named.name) {
      code = named.code;
      return true;
    }
  }
  return false;
}

bool applyFault(const std::string& fault, sim::SimDriverFaults& faults) {
  if (fault == "no-driver") {
    faults.noDriver = true;
  } else if (fault == "wrong-signature") {
    faults.wrongSignature = true;
  } else if (fault.rfind("count=", 0) == 0) {
    long count = 0;
    if (!parseNumber(fault.substr(6), -1000000, 1000000, count)) return false;
    faults.overrideCount = true;
    faults.reportedCount = int32_t(count);
  } else if (fault == "map-fails") {
    faults.mapFails = true;
  } else if (fault == "zero-mapping") {
    faults.zeroMapping = true;
  } else if (fault == "zero-record") {
    faults.zeroRecord = true;
  } else if (fault.rfind("fail=", 0) == 0) {
    uint32_t code = 0;
    if (!parseCode(fault.substr(5), code)) return false;
    faults.failingCodes.push_back(code);
  } else if (fault == "failed-fills-output") {
    faults.failedRequestsFillOutput = true;
  } else {
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
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::printf("usage: tarn-sim %s\n\n%s\n", kUsage, kHelp);
      return kExitOk;
    }
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (option == "--family") {
      if (value == "nt") {
        config.family = sim::DriverFamily::Nt;
      } else if (value == "older") {
        config.family = sim::DriverFamily::Older;
      } else {
        return usage();
      }
    } else if (option == "--revisions") {
      if (!parseRevisions(value, config.cards)) return usage();
    } else if (option == "--fault") {
      if (!applyFault(value, config.faults)) return usage();
    } else {
      return usage();
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
