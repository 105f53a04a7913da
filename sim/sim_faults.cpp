#include "sim/sim_faults.hpp"

#include <cstdio>
#include <vector>

#include "card/driver.hpp"

namespace tarn::sim {

bool parseNumber(std::string_view text, uint64_t max, uint64_t& value) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t result = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = unsigned(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = unsigned(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = unsigned(c - 'A' + 10);
    } else {
      return false;
    }
    if (result > (UINT64_MAX - digit) / base) return false;
    result = result * base + digit;
  }
  if (result > max) return false;
  value = result;
  return true;
}

bool parseSignedNumber(std::string_view text, int64_t min, int64_t max, int64_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  uint64_t magnitude = 0;
  if (!parseNumber(text, uint64_t(INT64_MAX), magnitude)) return false;
  const int64_t result = negative ? -int64_t(magnitude) : int64_t(magnitude);
  if (result < min || result > max) return false;
  value = result;
  return true;
}

bool parseRevision(std::string_view text, int32_t& revision) {
  uint64_t value = 0;
  if (!parseNumber(text, uint64_t(kMaxRevision), value)) return false;
  revision = int32_t(value);
  return true;
}

std::vector<std::string_view> splitAt(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

namespace {

// One fault as people spell it: "name", or "name=VALUE" when it has a value.
// Each family's table is the one place a fault is named: the parser, the
// "known: ..." list of the errors and the --help lines are all made from it.
template <typename Faults>
struct FaultSpelling {
  const char* name;
  const char* value;    // the value's placeholder ("N", "A:B:L"); null: takes none
  std::string meaning;  // for --help
  std::string wanted;   // what the value must be, for the error text
  // Sets the fault; false when the value is not what `wanted` says.
  bool (*apply)(std::string_view value, Faults& faults);
};

// A card's flash faults set the flash and, for power-cut, the card.
struct FlashTarget {
  SimFlashFaults& flash;
  uint64_t& powerCutAfter;
};

struct NamedCode {
  const char* name;
  uint32_t code;
};

constexpr NamedCode kCodes[] = {
    {"GET_CARD_INFO", GET_CARD_INFO},     {"MAP_REGISTERS", MAP_REGISTERS},
    {"UNMAP_REGISTERS", UNMAP_REGISTERS}, {"QUERY_CARD_COUNT", QUERY_CARD_COUNT},
    {"QUERY_CARD", QUERY_CARD},           {"MAP_CARD_REGISTERS", MAP_CARD_REGISTERS}};

std::string codeNames() {
  std::string names;
  for (const NamedCode& named : kCodes)
    names += (names.empty() ? "" : ", ") + std::string(named.name);
  return names;
}

template <bool SimDriverFaults::*field>
bool setDriverFlag(std::string_view, SimDriverFaults& faults) {
  faults.*field = true;
  return true;
}

const std::vector<FaultSpelling<SimDriverFaults>>& driverSpellings() {
  static const std::vector<FaultSpelling<SimDriverFaults>> table = {
      {"no-driver", nullptr, "the driver is not there: CreateFileA fails", "",
       setDriverFlag<&SimDriverFaults::noDriver>},
      {"wrong-signature", nullptr, "the NT card information record carries 0x3FC4, not 0x3FC5", "",
       setDriverFlag<&SimDriverFaults::wrongSignature>},
      {"count", "N", "the driver reports N cards (0 and 7 are refused)",
       "N is a card count from -1000000 to 1000000",
       [](std::string_view value, SimDriverFaults& faults) {
         // Counts outside 1 to 6, negative ones included, are what the updater must refuse.
         int64_t count = 0;
         if (!parseSignedNumber(value, -1000000, 1000000, count)) return false;
         faults.overrideCount = true;
         faults.reportedCount = int32_t(count);
         return true;
       }},
      {"map-fails", nullptr, "the mapping request fails (cards itself never maps)", "",
       setDriverFlag<&SimDriverFaults::mapFails>},
      {"zero-mapping", nullptr, "the mapping request answers base address 0 (likewise)", "",
       setDriverFlag<&SimDriverFaults::zeroMapping>},
      {"zero-record", nullptr, "older family: QUERY_CARD answers record address 0", "",
       setDriverFlag<&SimDriverFaults::zeroRecord>},
      {"fail", "CODE", "the request with this code fails: " + codeNames(),
       "CODE is one of " + codeNames(),
       [](std::string_view value, SimDriverFaults& faults) {
         for (const NamedCode& named : kCodes) {
           if (value != named.name) continue;
           faults.failingCodes.push_back(named.code);
           return true;
         }
         return false;
       }},
      {"failed-fills-output", nullptr, "a failed request still writes a plausible answer", "",
       setDriverFlag<&SimDriverFaults::failedRequestsFillOutput>},
  };
  return table;
}

template <int64_t SimFlashFaults::*field>
bool fromReadRequest(std::string_view value, FlashTarget& target) {
  uint64_t n = 0;
  if (!parseNumber(value, uint64_t(INT64_MAX), n)) return false;
  target.flash.*field = int64_t(n);
  return true;
}

// The last sector and the last address of the flash, as the texts name them.
std::string lastSector() { return std::to_string(SimNorFlash::kSectorCount - 1); }
std::string lastAddress() {
  char text[16];
  std::snprintf(text, sizeof text, "%#x", unsigned(SimNorFlash::kSize - 1));
  return text;
}

const std::vector<FaultSpelling<FlashTarget>>& flashSpellings() {
  static const std::vector<FaultSpelling<FlashTarget>> table = {
      {"never-erase", "S",
       "sector S (0-" + lastSector() + ") never erases; DQ5 comes up after the time limit",
       "S is a sector from 0 to " + lastSector(),
       [](std::string_view value, FlashTarget& target) {
         uint64_t n = 0;
         if (!parseNumber(value, SimNorFlash::kSectorCount - 1, n)) return false;
         target.flash.neverEraseSector = int32_t(n);
         return true;
       }},
      {"never-program", "A", "the byte at flash address A never programs; DQ5 comes up",
       "A is a flash address from 0 to " + lastAddress(),
       [](std::string_view value, FlashTarget& target) {
         uint64_t n = 0;
         if (!parseNumber(value, SimNorFlash::kSize - 1, n)) return false;
         target.flash.neverProgramAddress = int64_t(n);
         return true;
       }},
      {"stuck", "A:B:L", "bit B (0-7) of the byte at address A always reads L (0 or 1)",
       "A:B:L is a flash address (0 to " + lastAddress() + "), a bit (0 to 7), a level (0 or 1)",
       [](std::string_view value, FlashTarget& target) {
         const std::vector<std::string_view> parts = splitAt(value, ':');
         uint64_t address = 0, bit = 0, level = 0;
         if (parts.size() != 3 || !parseNumber(parts[0], SimNorFlash::kSize - 1, address) ||
             !parseNumber(parts[1], 7, bit) || !parseNumber(parts[2], 1, level)) {
           return false;
         }
         target.flash.stuckBits.push_back({uint32_t(address), uint8_t(bit), uint8_t(level)});
         return true;
       }},
      {"busy-stuck", "N", "from read request N on (0 = the first), the busy bit never clears",
       "N is a read request count from 0 up", fromReadRequest<&SimFlashFaults::busyStuckFromRead>},
      {"all-ones", "N", "from read request N on, the read-back register reads all ones",
       "N is a read request count from 0 up", fromReadRequest<&SimFlashFaults::allOnesFromRead>},
      {"power-cut", "N", "the power goes after N register accesses",
       "N is a register access count from 1 up",
       [](std::string_view value, FlashTarget& target) {
         uint64_t n = 0;
         if (!parseNumber(value, uint64_t(INT64_MAX), n) || n == 0) return false;
         target.powerCutAfter = n;
         return true;
       }},
  };
  return table;
}

static_assert(StandInDevice::kArrayBytes * 8 - 1 == 2097151, "the text below names the last bit");

const std::vector<FaultSpelling<StandInDeviceFaults>>& chainSpellings() {
  static const std::vector<FaultSpelling<StandInDeviceFaults>> table = {
      {"erase-fails", nullptr, "no erase ever completes", "",
       [](std::string_view, StandInDeviceFaults& faults) {
         faults.eraseNeverCompletes = true;
         return true;
       }},
      {"stuck-bit", "N", "array bit N never programs", "N is an array bit from 0 to 2097151",
       [](std::string_view value, StandInDeviceFaults& faults) {
         uint64_t bit = 0;
         if (!parseNumber(value, uint64_t(StandInDevice::kArrayBytes) * 8 - 1, bit)) return false;
         faults.stuckBit = int64_t(bit);
         return true;
       }},
  };
  return table;
}

template <typename Faults>
std::string spelled(const FaultSpelling<Faults>& fault) {
  return fault.value != nullptr ? std::string(fault.name) + "=" + fault.value : fault.name;
}

template <typename Faults>
std::string known(const std::vector<FaultSpelling<Faults>>& table) {
  std::string names;
  for (const auto& fault : table) names += (names.empty() ? "" : ", ") + spelled(fault);
  return names;
}

// Two columns: the spelling from `indent`, the meaning from column 25 (two
// spaces after a longer spelling), wrapped at 92 columns.
template <typename Faults>
std::string help(const std::vector<FaultSpelling<Faults>>& table, size_t indent) {
  constexpr size_t kMeaningColumn = 25, kWidth = 92;
  std::string lines;
  for (const auto& fault : table) {
    std::string line = std::string(indent, ' ') + spelled(fault);
    line.append(line.size() + 2 > kMeaningColumn ? 2 : kMeaningColumn - line.size(), ' ');
    for (const std::string_view word : splitAt(fault.meaning, ' ')) {
      if (line.size() + 1 + word.size() > kWidth) {
        lines += line + "\n";
        line.assign(kMeaningColumn, ' ');
      }
      if (line.back() != ' ') line += ' ';
      line += word;
    }
    lines += line + "\n";
  }
  return lines;
}

// "name" or "name=value" against a family's table. A fault that needs a value
// given without one is unknown, as is any name not in the table.
template <typename Faults>
bool parseFault(std::string_view text, const std::vector<FaultSpelling<Faults>>& table,
                Faults& faults, std::string& error) {
  const size_t equals = text.find('=');
  const std::string_view name = text.substr(0, equals);
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view value = hasValue ? text.substr(equals + 1) : std::string_view();
  for (const auto& fault : table) {
    if (name != fault.name || (fault.value != nullptr && !hasValue)) continue;
    if (fault.value == nullptr && hasValue) {
      error = "fault '" + std::string(text) + "': takes no value";
      return false;
    }
    if (fault.apply(value, faults)) return true;
    error = "fault '" + std::string(text) + "': " + fault.wanted;
    return false;
  }
  error = "unknown fault '" + std::string(text) + "'; known: " + known(table);
  return false;
}

}  // namespace

std::string knownFaults(FaultFamily family) {
  switch (family) {
    case FaultFamily::Driver:
      return known(driverSpellings());
    case FaultFamily::Flash:
      return known(flashSpellings());
    case FaultFamily::Chain:
      return known(chainSpellings());
  }
  return {};
}

std::string faultHelp(FaultFamily family, size_t indent) {
  switch (family) {
    case FaultFamily::Driver:
      return help(driverSpellings(), indent);
    case FaultFamily::Flash:
      return help(flashSpellings(), indent);
    case FaultFamily::Chain:
      return help(chainSpellings(), indent);
  }
  return {};
}

bool parseDriverFault(std::string_view text, SimDriverFaults& faults, std::string& error) {
  return parseFault(text, driverSpellings(), faults, error);
}

bool parseFlashFault(std::string_view text, SimFlashFaults& faults, uint64_t& powerCutAfter,
                     std::string& error) {
  FlashTarget target{faults, powerCutAfter};
  return parseFault(text, flashSpellings(), target, error);
}

bool parseChainFault(std::string_view text, StandInDeviceFaults& faults, std::string& error) {
  return parseFault(text, chainSpellings(), faults, error);
}

}  // namespace tarn::sim
