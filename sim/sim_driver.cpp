#include "sim/sim_driver.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "card/driver.hpp"
#include "platform/card_sheet.hpp"

namespace tarn::sim {
namespace {

constexpr const char* kNtDevicePrefix = "\\\\.\\tarnOut";
// Bytes of the records that the tool must not read get this, so a read at
// the wrong offset shows.
constexpr uint8_t kUnusedByte = 0xEE;
constexpr uint32_t kUnusedWord = 0xEEEEEEEEu;
// The high byte of the older record's revision field is not the revision.
constexpr uint16_t kRevisionFieldHighByte = 0x5A00;

void putWord(uint8_t* bytes, uint32_t offset, uint32_t value) {
  for (uint32_t i = 0; i < 4; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));
}

uint32_t getWord(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// "\\.\tarnOutN": the card index for N = 13 x index, -1 for anything else.
int ntDeviceIndex(const char* name) {
  const size_t prefix = std::strlen(kNtDevicePrefix);
  if (std::strncmp(name, kNtDevicePrefix, prefix) != 0) return -1;
  const char* digits = name + prefix;
  const size_t length = std::strlen(digits);
  if (length == 0 || length > 6) return -1;
  long number = 0;
  for (size_t i = 0; i < length; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return -1;
    number = number * 10 + (digits[i] - '0');
  }
  if (length > 1 && digits[0] == '0') return -1;
  if (number % kDeviceNumberStride != 0) return -1;
  return int(number / kDeviceNumberStride);
}

}  // namespace

const char* controlCodeName(bool older, uint32_t code) {
  if (older) {
    switch (code) {
      case QUERY_CARD_COUNT:
        return "QUERY_CARD_COUNT";
      case QUERY_CARD:
        return "QUERY_CARD";
      case MAP_CARD_REGISTERS:
        return "MAP_CARD_REGISTERS";
      default:
        return "unknown";
    }
  }
  switch (code) {
    case GET_CARD_INFO:
      return "GET_CARD_INFO";
    case MAP_REGISTERS:
      return "MAP_REGISTERS";
    case UNMAP_REGISTERS:
      return "UNMAP_REGISTERS";
    default:
      return "unknown";
  }
}

SimDriver::SimDriver(SimClock& clock, SimDriverConfig config)
    : clock_(clock), config_(std::move(config)) {
  if (config_.cards.empty() || config_.cards.size() > size_t(kMaxCards)) {
    throw std::invalid_argument("a simulated driver holds 1 to 6 cards");
  }
  buildCards(config_.cards);
}

// The one place simulated cards come into being.
void SimDriver::buildCards(const std::vector<SimCardSetup>& setups) {
  cards_.clear();
  for (size_t i = 0; i < setups.size(); ++i) {
    Card entry;
    entry.setup = setups[i];
    entry.card = std::make_unique<SimCard>(clock_);
    entry.base = 0xD0000000u + uint32_t(i) * 0x00100000u;
    entry.record = 0x80A00000u + uint32_t(i) * 0x1000u;
    cards_.push_back(std::move(entry));
  }
}

void SimDriver::breach(const std::string& note) {
  ++breaches_;
  if (breachNotes_.size() < 32) breachNotes_.push_back(note);
}

void SimDriver::fail(const std::string& note) { lastFailure_ = note; }

void SimDriver::log(const std::string& line) { calls_.push_back(line); }

bool SimDriver::failing(uint32_t code) const {
  const auto& codes = config_.faults.failingCodes;
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

int32_t SimDriver::reportedCount() const {
  return config_.faults.overrideCount ? config_.faults.reportedCount : int32_t(cards_.size());
}

uint32_t SimDriver::getVersion() {
  const uint32_t version = config_.family == DriverFamily::Nt ? kNtVersion : kOlderVersion;
  log("GetVersion() = " + hex(version));
  return version;
}

DriverHandle SimDriver::createFileA(const char* fileName, uint32_t desiredAccess,
                                    uint32_t shareMode, uint32_t creationDisposition,
                                    uint32_t flagsAndAttributes) {
  const std::string name = fileName != nullptr ? fileName : "(null)";
  char line[160];
  std::snprintf(line, sizeof line, "CreateFileA(\"%s\", 0x%x, %u, %u, 0x%x)", name.c_str(),
                desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
  const auto refuse = [&](const std::string& why) {
    log(std::string(line) + " = INVALID_HANDLE_VALUE");
    fail(why);
    return kInvalidHandle;
  };
  if (fileName == nullptr) {
    breach("CreateFileA without a name");
    return refuse("CreateFileA without a name");
  }
  const bool olderName = name == kOlderDriverName;
  const int ntIndex = olderName ? -1 : ntDeviceIndex(fileName);
  if (!olderName && ntIndex < 0) {
    breach("CreateFileA of an unknown device " + name);
    return refuse("no device " + name);
  }
  const bool olderFamily = config_.family == DriverFamily::Older;
  if (olderName != olderFamily) {
    breach("CreateFileA of the other driver family's device " + name);
    return refuse("no device " + name + " on this driver family");
  }
  const bool wellFormed = olderName
                              ? desiredAccess == 0 && shareMode == 0 && creationDisposition == 0 &&
                                    flagsAndAttributes == kFileFlagDeleteOnClose
                              : desiredAccess == kGenericRead && shareMode == 0 &&
                                    creationDisposition == kOpenExisting && flagsAndAttributes == 0;
  if (!wellFormed) {
    breach("CreateFileA of " + name + " with the wrong access, sharing, disposition or flags");
    return refuse("CreateFileA of " + name + " refused");
  }
  if (config_.faults.noDriver) return refuse("no driver: CreateFileA(\"" + name + "\") failed");
  if (!olderName && ntIndex >= int(cards_.size())) return refuse("no device " + name);
  const DriverHandle handle = nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = Open{olderName, olderName ? 0 : ntIndex};
  log(std::string(line) + " = " + hex(uint64_t(handle)));
  return handle;
}

int SimDriver::closeHandle(DriverHandle handle) {
  const bool open = handles_.erase(handle) != 0;
  if (!open) breach("CloseHandle of a handle not open");
  log("CloseHandle(" + hex(uint64_t(handle)) + ") = " + (open ? "1" : "0"));
  return open ? 1 : 0;
}

int SimDriver::deviceIoControl(DriverHandle device, uint32_t controlCode, const void* input,
                               uint32_t inputSize, void* output, uint32_t outputSize,
                               uint32_t* bytesReturned) {
  const auto it = handles_.find(device);
  const bool older =
      it != handles_.end() ? it->second.older : config_.family == DriverFamily::Older;
  char line[160];
  std::snprintf(line, sizeof line, "DeviceIoControl(%s, %s 0x%x, in %u, out %u)",
                hex(uint64_t(device)).c_str(), controlCodeName(older, controlCode), controlCode,
                inputSize, outputSize);
  int result = 0;
  if (it == handles_.end()) {
    breach("DeviceIoControl on a handle not open");
  } else if (bytesReturned == nullptr) {
    breach("DeviceIoControl without a bytes-returned word");
  } else {
    auto* out = static_cast<uint8_t*>(output);
    result = older ? olderRequest(controlCode, input, inputSize, out, outputSize, bytesReturned)
                   : ntRequest(it->second, controlCode, input, inputSize, out, outputSize,
                               bytesReturned);
  }
  log(std::string(line) + " = " + std::to_string(result));
  return result;
}

uint32_t SimDriver::map(int cardIndex) {
  Card& entry = cards_[size_t(cardIndex)];
  if (config_.faults.zeroMapping) {
    fail("the mapping request answered base address 0");
    return 0;
  }
  entry.mapped = true;
  ++entry.maps;
  entry.card->beginSession();
  return entry.base;
}

int SimDriver::ntRequest(const Open& open, uint32_t code, const void* input, uint32_t inputSize,
                         uint8_t* output, uint32_t outputSize, uint32_t* bytesReturned) {
  const char* name = controlCodeName(false, code);
  uint32_t wantIn = 0;
  uint32_t wantOut = 0;
  switch (code) {
    case GET_CARD_INFO:
      wantOut = kCardInfoSize;
      break;
    case MAP_REGISTERS:
      wantOut = 4;
      break;
    case UNMAP_REGISTERS:
      wantIn = 4;
      break;
    default:
      breach("unknown NT control code " + hex(code));
      return 0;
  }
  if (inputSize != wantIn || outputSize != wantOut || (wantIn != 0 && input == nullptr) ||
      (wantOut != 0 && output == nullptr)) {
    breach(std::string(name) + " with the wrong buffer sizes");
    return 0;
  }
  Card& entry = cards_[size_t(open.cardIndex)];
  const bool failed = failing(code) || (code == MAP_REGISTERS && config_.faults.mapFails);
  if (failed && !config_.faults.failedRequestsFillOutput) {
    fail(std::string(name) + " failed");
    return 0;
  }
  *bytesReturned = wantOut;
  switch (code) {
    case GET_CARD_INFO:
      std::memset(output, kUnusedByte, kCardInfoSize);
      putWord(output, 0, config_.faults.wrongSignature ? kWrongSignature : kCardInfoSignature);
      putWord(output, kCardInfoRevisionOffset, uint32_t(entry.setup.revision));
      putWord(output, kCardInfoCountOffset, uint32_t(reportedCount()));
      if (config_.faults.wrongSignature) fail("GET_CARD_INFO answered the wrong signature");
      if (reportedCount() < 1 || reportedCount() > kMaxCards)
        fail("the driver reports " + std::to_string(reportedCount()) + " cards");
      break;
    case MAP_REGISTERS:
      putWord(output, 0, failed ? entry.base : map(open.cardIndex));
      break;
    case UNMAP_REGISTERS: {
      const uint32_t base = getWord(static_cast<const uint8_t*>(input));
      if (base != entry.base || !entry.mapped) {
        breach("UNMAP_REGISTERS of " + hex(base) + ", not this card's mapped window");
        return 0;
      }
      if (!failed) entry.mapped = false;
      break;
    }
    default:
      break;
  }
  if (failed) {
    fail(std::string(name) + " failed");
    return 0;
  }
  return 1;
}

int SimDriver::olderRequest(uint32_t code, const void* input, uint32_t inputSize, uint8_t* output,
                            uint32_t outputSize, uint32_t* bytesReturned) {
  const char* name = controlCodeName(true, code);
  if (code != QUERY_CARD_COUNT && code != QUERY_CARD && code != MAP_CARD_REGISTERS) {
    breach("unknown older-family service code " + std::to_string(code));
    return 0;
  }
  if (inputSize != kOlderInputSize || outputSize != kOlderOutputSize || input == nullptr ||
      output == nullptr) {
    breach(std::string(name) + " with the wrong record sizes");
    return 0;
  }
  const uint32_t index = getWord(static_cast<const uint8_t*>(input));
  if (code == QUERY_CARD_COUNT && index != 0) {
    breach("QUERY_CARD_COUNT with a nonzero first input word");
    return 0;
  }
  if (code != QUERY_CARD_COUNT && index >= cards_.size()) {
    fail(std::string(name) + " for card " + std::to_string(index) + ", which is not there");
    return 0;
  }
  const bool failed = failing(code) || (code == MAP_CARD_REGISTERS && config_.faults.mapFails);
  if (failed && !config_.faults.failedRequestsFillOutput) {
    fail(std::string(name) + " failed");
    return 0;
  }
  *bytesReturned = kOlderOutputSize;
  for (uint32_t offset = 0; offset < kOlderOutputSize; offset += 4)
    putWord(output, offset, kUnusedWord);
  switch (code) {
    case QUERY_CARD_COUNT:
      putWord(output, 0, uint32_t(reportedCount()));
      if (reportedCount() < 1 || reportedCount() > kMaxCards)
        fail("the driver reports " + std::to_string(reportedCount()) + " cards");
      break;
    case QUERY_CARD:
      putWord(output, 0, config_.faults.zeroRecord ? 0 : cards_[index].record);
      if (config_.faults.zeroRecord) fail("QUERY_CARD answered record address 0");
      break;
    case MAP_CARD_REGISTERS:
      // Word 0 is not the base; a reader of the wrong word gets the record.
      putWord(output, 0, cards_[index].record);
      putWord(output, 4, failed ? cards_[index].base : map(int(index)));
      break;
    default:
      break;
  }
  if (failed) {
    fail(std::string(name) + " failed");
    return 0;
  }
  const auto& liars = config_.faults.olderWorkingButReportFailure;
  if (std::find(liars.begin(), liars.end(), code) != liars.end()) {
    fail(std::string(name) + " did its work but returned 0");
    return 0;
  }
  return 1;
}

RegisterWindow* SimDriver::registerWindowAt(uint32_t baseAddress) {
  for (Card& entry : cards_) {
    if (entry.base == baseAddress) return entry.card.get();
  }
  breach("register window asked for at " + hex(baseAddress) + ", never handed out");
  return nullptr;
}

uint16_t SimDriver::readCardRecord16(uint32_t recordAddress, uint32_t byteOffset) {
  for (const Card& entry : cards_) {
    if (entry.record != recordAddress) continue;
    if (config_.family != DriverFamily::Older) break;
    if (byteOffset % 2 != 0 || byteOffset + 2 > kCardRecordSize) {
      breach("card record read at offset " + std::to_string(byteOffset));
      return 0;
    }
    if (byteOffset == kCardRecordRevisionOffset) {
      return uint16_t(kRevisionFieldHighByte | (uint32_t(entry.setup.revision) & 0xFFu));
    }
    return uint16_t(kUnusedWord);
  }
  breach("card record read at " + hex(recordAddress) + ", never handed out");
  return 0;
}

}  // namespace tarn::sim
