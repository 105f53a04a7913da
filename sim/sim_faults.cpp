#include "sim/sim_faults.hpp"

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

namespace {

// "name" or "name=value", split once.
struct FaultText {
  std::string_view name;
  std::string_view value;
  bool hasValue = false;
};

FaultText splitFault(std::string_view text) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) return FaultText{text, {}, false};
  return FaultText{text.substr(0, equals), text.substr(equals + 1), true};
}

std::vector<std::string_view> splitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t colon = text.find(':');
    parts.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) return parts;
    text.remove_prefix(colon + 1);
  }
}

bool unknownFault(std::string_view text, const char* known, std::string& error) {
  error = "unknown fault '" + std::string(text) + "'; known: " + known;
  return false;
}

bool badValue(std::string_view text, const char* wanted, std::string& error) {
  error = "fault '" + std::string(text) + "': " + wanted;
  return false;
}

struct NamedCode {
  const char* name;
  uint32_t code;
};

constexpr NamedCode kCodes[] = {
    {"GET_CARD_INFO", GET_CARD_INFO},     {"MAP_REGISTERS", MAP_REGISTERS},
    {"UNMAP_REGISTERS", UNMAP_REGISTERS}, {"QUERY_CARD_COUNT", QUERY_CARD_COUNT},
    {"QUERY_CARD", QUERY_CARD},           {"MAP_CARD_REGISTERS", MAP_CARD_REGISTERS}};

}  // namespace

const char* driverFaultNames() {
  return "no-driver, wrong-signature, count=N, map-fails, zero-mapping, zero-record, fail=CODE, "
         "failed-fills-output";
}

const char* flashFaultNames() {
  return "never-erase=S, never-program=A, stuck=A:B:L, busy-stuck=N, all-ones=N, power-cut=N";
}

const char* chainFaultNames() { return "erase-fails, stuck-bit=N"; }

bool parseDriverFault(std::string_view text, SimDriverFaults& faults, std::string& error) {
  const FaultText fault = splitFault(text);
  struct Flag {
    const char* name;
    bool SimDriverFaults::*field;
  };
  static constexpr Flag kFlags[] = {
      {"no-driver", &SimDriverFaults::noDriver},
      {"wrong-signature", &SimDriverFaults::wrongSignature},
      {"map-fails", &SimDriverFaults::mapFails},
      {"zero-mapping", &SimDriverFaults::zeroMapping},
      {"zero-record", &SimDriverFaults::zeroRecord},
      {"failed-fills-output", &SimDriverFaults::failedRequestsFillOutput}};
  for (const Flag& flag : kFlags) {
    if (fault.name != flag.name) continue;
    if (fault.hasValue) return badValue(text, "takes no value", error);
    faults.*flag.field = true;
    return true;
  }
  if (fault.name == "count" && fault.hasValue) {
    // Counts outside 1 to 6, negative ones included, are what the updater must refuse.
    int64_t count = 0;
    if (!parseSignedNumber(fault.value, -1000000, 1000000, count))
      return badValue(text, "N is a card count from -1000000 to 1000000", error);
    faults.overrideCount = true;
    faults.reportedCount = int32_t(count);
    return true;
  }
  if (fault.name == "fail" && fault.hasValue) {
    for (const NamedCode& named : kCodes) {
      if (fault.value == named.name) {
        faults.failingCodes.push_back(named.code);
        return true;
      }
    }
    return badValue(text,
                    "CODE is one of GET_CARD_INFO, MAP_REGISTERS, UNMAP_REGISTERS, "
                    "QUERY_CARD_COUNT, QUERY_CARD, MAP_CARD_REGISTERS",
                    error);
  }
  return unknownFault(text, driverFaultNames(), error);
}

bool parseFlashFault(std::string_view text, SimFlashFaults& faults, uint64_t& powerCutAfter,
                     std::string& error) {
  const FaultText fault = splitFault(text);
  if (!fault.hasValue) return unknownFault(text, flashFaultNames(), error);
  uint64_t n = 0;
  if (fault.name == "never-erase") {
    if (!parseNumber(fault.value, SimNorFlash::kSectorCount - 1, n))
      return badValue(text, "S is a sector from 0 to 7", error);
    faults.neverEraseSector = int32_t(n);
  } else if (fault.name == "never-program") {
    if (!parseNumber(fault.value, SimNorFlash::kSize - 1, n))
      return badValue(text, "A is a flash address from 0 to 0x7ffff", error);
    faults.neverProgramAddress = int64_t(n);
  } else if (fault.name == "stuck") {
    const std::vector<std::string_view> parts = splitColons(fault.value);
    uint64_t address = 0, bit = 0, level = 0;
    if (parts.size() != 3 || !parseNumber(parts[0], SimNorFlash::kSize - 1, address) ||
        !parseNumber(parts[1], 7, bit) || !parseNumber(parts[2], 1, level)) {
      return badValue(
          text, "A:B:L is a flash address (0 to 0x7ffff), a bit (0 to 7), a level (0 or 1)", error);
    }
    faults.stuckBits.push_back({uint32_t(address), uint8_t(bit), uint8_t(level)});
  } else if (fault.name == "busy-stuck" || fault.name == "all-ones") {
    if (!parseNumber(fault.value, uint64_t(INT64_MAX), n))
      return badValue(text, "N is a read request count from 0 up", error);
    (fault.name == "busy-stuck" ? faults.busyStuckFromRead : faults.allOnesFromRead) = int64_t(n);
  } else if (fault.name == "power-cut") {
    if (!parseNumber(fault.value, uint64_t(INT64_MAX), n) || n == 0)
      return badValue(text, "N is a register access count from 1 up", error);
    powerCutAfter = n;
  } else {
    return unknownFault(text, flashFaultNames(), error);
  }
  return true;
}

static_assert(StandInDevice::kArrayBytes * 8 - 1 == 2097151, "the text below names the last bit");

bool parseChainFault(std::string_view text, StandInDeviceFaults& faults, std::string& error) {
  const FaultText fault = splitFault(text);
  if (fault.name == "erase-fails") {
    if (fault.hasValue) return badValue(text, "takes no value", error);
    faults.eraseNeverCompletes = true;
    return true;
  }
  if (fault.name == "stuck-bit" && fault.hasValue) {
    uint64_t bit = 0;
    if (!parseNumber(fault.value, uint64_t(StandInDevice::kArrayBytes) * 8 - 1, bit))
      return badValue(text, "N is an array bit from 0 to 2097151", error);
    faults.stuckBit = int64_t(bit);
    return true;
  }
  return unknownFault(text, chainFaultNames(), error);
}

}  // namespace tarn::sim
