#include "sim/sim_world.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>

#include "card/driver.hpp"
#include "payloads/payloads.hpp"
#include "platform/card_sheet.hpp"
#include "sim/replace_file.hpp"
#include "sim/sim_faults.hpp"

namespace tarn::sim {

// ---------------------------------------------------------------- settings

namespace {

bool parseCards(const std::string& text, SimWorldSettings& settings, std::string& error) {
  settings.cards.clear();
  for (const std::string_view entry : splitAt(text, ',')) {
    const std::vector<std::string_view> fields = splitAt(entry, ':');
    int32_t revision = 0;
    if (fields.size() > 2 || !parseRevision(fields[0], revision)) {
      error =
          "TARN_SIM_CARDS: '" + std::string(entry) + "' is not REVISION[:pci|:cardbus] (0 to 255)";
      return false;
    }
    SimCardSetup setup;
    setup.revision = revision;
    if (fields.size() == 2) {
      if (fields[1] == "pci") {
        setup.interface = CardInterface::Pci;
      } else if (fields[1] == "cardbus") {
        setup.interface = CardInterface::CardBus;
      } else {
        error =
            "TARN_SIM_CARDS: interface '" + std::string(fields[1]) + "' is neither pci nor cardbus";
        return false;
      }
    }
    settings.cards.push_back(setup);
  }
  if (settings.cards.empty() || settings.cards.size() > size_t(kMaxCards)) {
    error = "TARN_SIM_CARDS: 1 to 6 cards (use TARN_SIM_FAULTS=count=N to report another number)";
    return false;
  }
  return true;
}

// Driver faults as tarn-sim cards spells them; a card's faults as tarn-sim
// flash or xsvf spells them, after the card's number and a colon.
bool parseFaults(const std::string& text, SimWorldSettings& settings, std::string& error) {
  for (const std::string_view entry : splitAt(text, ',')) {
    if (entry.empty()) continue;
    const size_t colon = entry.find(':');
    uint64_t number = 0;
    std::string why;
    if (colon == std::string::npos || !parseNumber(entry.substr(0, colon), UINT32_MAX, number)) {
      if (parseDriverFault(entry, settings.driverFaults, why)) continue;
      error = "TARN_SIM_FAULTS: " + why + "; or CARD:FAULT for a card";
      return false;
    }
    if (number < 1 || number > settings.cards.size()) {
      error = "TARN_SIM_FAULTS: '" + std::string(entry) + "' names card " + std::to_string(number) +
              "; the cards are 1 to " + std::to_string(settings.cards.size());
      return false;
    }
    const size_t card = size_t(number - 1);
    const std::string_view fault = entry.substr(colon + 1);
    SimCardFaults& faults = settings.cardFaults[card];
    const bool chainCard = settings.cards[card].revision < 50;
    const bool ok = chainCard ? parseChainFault(fault, faults.chain, why)
                              : parseFlashFault(fault, faults.flash, faults.powerCutAfter, why);
    if (!ok) {
      error = "TARN_SIM_FAULTS: card " + std::to_string(number) + " (revision " +
              std::to_string(settings.cards[card].revision) +
              (chainCard ? ", JTAG chain): " : ", flash): ") + why;
      return false;
    }
  }
  return true;
}

bool parsePower(const std::string& text, PowerState& power, std::string& error) {
  constexpr std::string_view kCharge = "battery:";
  uint64_t percent = 0;
  if (text.empty() || text == "mains") {
    power = {PowerLine::Mains, -1};
  } else if (text == "unknown") {
    power = {PowerLine::Unknown, -1};
  } else if (text == "battery") {
    power = {PowerLine::Battery, -1};
  } else if (text.starts_with(kCharge) &&
             parseNumber(std::string_view(text).substr(kCharge.size()), 100, percent)) {
    power = {PowerLine::Battery, int32_t(percent)};
  } else {
    error = "TARN_SIM_POWER: '" + text +
            "' is not mains, battery, battery:PERCENT (0 to 100) or unknown";
    return false;
  }
  return true;
}

}  // namespace

bool parseSimSettings(const SettingLookup& lookup, SimWorldSettings& settings, std::string& error) {
  settings = SimWorldSettings{};
  const auto value = [&](const char* name) -> std::string {
    const char* text = lookup(name);
    return text != nullptr ? std::string(text) : std::string();
  };
  const std::string cards = value("TARN_SIM_CARDS");
  if (!parseCards(cards.empty() ? kDefaultSimCards : cards, settings, error)) return false;
  settings.cardFaults.assign(settings.cards.size(), SimCardFaults{});

  const std::string family = value("TARN_SIM_FAMILY");
  if (family.empty() || family == "nt") {
    settings.family = DriverFamily::Nt;
  } else if (family == "older") {
    settings.family = DriverFamily::Older;
  } else {
    error = "TARN_SIM_FAMILY: '" + family + "' is neither nt nor older";
    return false;
  }
  if (!parseFaults(value("TARN_SIM_FAULTS"), settings, error)) return false;
  const std::string erase = value("TARN_SIM_ERASE_MS");
  if (!erase.empty()) {
    uint64_t ms = 0;
    if (!parseNumber(erase, 2000, ms)) {
      error = "TARN_SIM_ERASE_MS: '" + erase + "' is not 0 to 2000";
      return false;
    }
    settings.eraseMs = uint32_t(ms);
  }
  settings.statePath = value("TARN_SIM_STATE");
  settings.tracePath = value("TARN_SIM_TRACE");
  return parsePower(value("TARN_SIM_POWER"), settings.power, error);
}

int32_t upToDateRevisionOf(int32_t revision) {
  if (revision < 50) return 15;
  if (revision < 100) return 53;
  if (revision < 150) return 106;
  return 152;
}

// ---------------------------------------------------------------- the driver

// The simulated driver as the updater reaches it: the register windows go
// through the trace when one is kept, and the release of a window after an
// update is the moment the cards' state is written down.
class SimWorld::Driver final : public DriverIo {
 public:
  Driver(SimWorld& world, SimDriver& inner, TraceLog* trace)
      : world_(world), inner_(inner), trace_(trace) {}
  uint32_t getVersion() override { return inner_.getVersion(); }
  DriverHandle createFileA(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                           uint32_t creationDisposition, uint32_t flags) override {
    return inner_.createFileA(fileName, desiredAccess, shareMode, creationDisposition, flags);
  }
  int deviceIoControl(DriverHandle device, uint32_t code, const void* input, uint32_t inputSize,
                      void* output, uint32_t outputSize, uint32_t* bytesReturned) override {
    const int result =
        inner_.deviceIoControl(device, code, input, inputSize, output, outputSize, bytesReturned);
    if (code == UNMAP_REGISTERS) world_.updateReleased();
    return result;
  }
  int closeHandle(DriverHandle handle) override { return inner_.closeHandle(handle); }
  RegisterWindow* registerWindowAt(uint32_t baseAddress) override {
    RegisterWindow* window = inner_.registerWindowAt(baseAddress);
    if (trace_ == nullptr || window == nullptr) return window;
    auto found = traced_.find(baseAddress);
    if (found == traced_.end())
      found = traced_.emplace(baseAddress, std::make_unique<TracingWindow>(*window, *trace_)).first;
    return found->second.get();
  }
  uint16_t readCardRecord16(uint32_t recordAddress, uint32_t byteOffset) override {
    return inner_.readCardRecord16(recordAddress, byteOffset);
  }

 private:
  SimWorld& world_;
  SimDriver& inner_;
  TraceLog* trace_;
  std::map<uint32_t, std::unique_ptr<TracingWindow>> traced_;
};

// ---------------------------------------------------------------- the world

namespace {

// The state file: a header line "tarn-sim-state FORMAT CHECKSUM LENGTH" (the
// checksum is FNV-1a 64 of the LENGTH bytes that follow, in hexadecimal), then
// per card a line "card INDEX REVISION INTERFACE KIND SIZE" and SIZE bytes of
// contents. Whatever fails any of that is not ours to overwrite.
constexpr const char* kStateMark = "tarn-sim-state";
constexpr int kStateFormat = 2;
// Six cards' contents with their lines fit well inside this; anything bigger
// is some other file.
constexpr size_t kStateFileLimit = 16u * 1024 * 1024;

bool isUpToDate(int32_t revision) { return revision >= upToDateRevisionOf(revision); }

FlashImage currentImageFor(const SimCardSetup& setup) {
  return selectFlashImage(setup.revision, setup.interface == CardInterface::CardBus ? 1 : 0);
}

// The firmware a card left the factory with before the current one: the
// current image with a scattering of bytes changed (the header kept).
std::vector<uint8_t> olderImage(FlashImage current) {
  std::vector<uint8_t> bytes(current.data, current.data + current.size);
  for (size_t k = 16; k + 16 < bytes.size(); k += 251) bytes[k] = uint8_t(bytes[k] ^ 0xA5);
  return bytes;
}

// What the configuration memory of a chain card holds when it leaves the
// factory: some earlier firmware, the same for every card of a revision.
std::vector<uint8_t> factoryDeviceContent(const SimCardSetup& card) {
  std::vector<uint8_t> bytes(StandInDevice::kArrayBytes);
  uint32_t value = 0x9E3779B9u ^ uint32_t(card.revision);
  for (uint8_t& byte : bytes) {
    value = value * 1664525u + 1013904223u;
    byte = uint8_t(value >> 24);
  }
  return bytes;
}

bool bankHolds(const SimNorFlash& flash, uint32_t bank, FlashImage image) {
  const uint32_t base = bank << 18;
  for (int32_t k = 0; k < image.size; ++k) {
    if (flash.peek(base + 1 + uint32_t(k)) != image.data[k]) return false;
  }
  return true;
}

const char* interfaceName(CardInterface interface) {
  return interface == CardInterface::CardBus ? "cardbus" : "pci";
}

}  // namespace

SimWorld::SimWorld(SimWorldSettings settings, SimClock::Mode mode, SimClock::WallSleep wallSleep)
    : settings_(std::move(settings)),
      clock_(mode, SimClock::kDefaultBusAccessNs, wallSleep),
      system_(clock_) {
  system_.power = settings_.power;
  settings_.cardFaults.resize(settings_.cards.size());
  for (const SimCardSetup& setup : settings_.cards) factoryRevisions_.push_back(setup.revision);
  std::vector<SavedCard> saved(settings_.cards.size());
  if (!loadState(saved, startError_)) {
    startError_ =
        "TARN_SIM_STATE: '" + settings_.statePath + "' " + startError_ + "; it was left as it is";
  } else if (!settings_.tracePath.empty()) {
    traceFile_ = std::make_unique<TraceFile>(settings_.tracePath);
    trace_ = traceFile_->log();
    if (trace_ != nullptr) {
      tracingSystem_ = std::make_unique<TracingSystem>(system_, *trace_);
    } else {
      startError_ = "TARN_SIM_TRACE: " + traceFile_->error();
    }
  }
  powerUp(saved);
}

SimWorld::~SimWorld() {
  save();
  driverWrapper_.reset();
}

bool SimWorld::closeTrace(std::string& error) {
  if (trace_ == nullptr || traceFile_->close()) return true;
  error = "TARN_SIM_TRACE: " + traceFile_->error();
  return false;
}

std::unique_ptr<SimNorFlash> SimWorld::powerUpFlash(SimCardSetup& card, const SimCardFaults& faults,
                                                    const SavedCard& saved) {
  SimFlashTiming timing;
  timing.eraseNs = uint64_t(settings_.eraseMs) * 1000000u;
  auto flash = std::make_unique<SimNorFlash>(timing, faults.flash);
  const FlashImage current = currentImageFor(card);
  if (saved.kind == "flash" && saved.bytes.size() == SimNorFlash::kSize) {
    flash->load(0, saved.bytes.data(), SimNorFlash::kSize);
  } else if (isUpToDate(card.revision)) {
    flash->loadMarkedImage(0, current.data, uint32_t(current.size));
    flash->loadMarkedImage(1, current.data, uint32_t(current.size));
  } else {
    const std::vector<uint8_t> older = olderImage(current);
    flash->loadMarkedImage(0, older.data(), uint32_t(older.size()));
    flash->loadMarkedImage(1, older.data(), uint32_t(older.size()));
  }
  // The card reports the revision of the firmware it configured itself from.
  const PowerUpSource source = flash->powerUpSource();
  if (source != PowerUpSource::None &&
      bankHolds(*flash, source == PowerUpSource::Bank0 ? 0 : 1, current) &&
      !isUpToDate(card.revision)) {
    card.revision = upToDateRevisionOf(card.revision);
  }
  return flash;
}

std::unique_ptr<StandInDevice> SimWorld::powerUpDevice(SimCardSetup& card,
                                                       const SimCardFaults& faults,
                                                       const SavedCard& saved) {
  auto device = std::make_unique<StandInDevice>(faults.chain);
  const std::vector<uint8_t> factory = factoryDeviceContent(card);
  if (saved.kind == "device" && saved.bytes.size() == StandInDevice::kArrayBytes + 1) {
    device->preload(std::vector<uint8_t>(saved.bytes.begin(), saved.bytes.end() - 1),
                    saved.bytes.back() != 0);
  } else {
    device->preload(factory, true);
  }
  // The card starts from the device only when its content is complete (the
  // done flag, set last by an update); content other than what it left the
  // factory with is the firmware an update put there.
  if (device->doneFlag() && device->array() != factory && !isUpToDate(card.revision))
    card.revision = upToDateRevisionOf(card.revision);
  return device;
}

void SimWorld::powerUp(std::vector<SavedCard>& saved) {
  cards_.assign(settings_.cards.size(), CardParts{});
  std::vector<std::unique_ptr<SimNorFlash>> flashes(settings_.cards.size());
  std::vector<std::unique_ptr<StandInDevice>> devices(settings_.cards.size());
  for (size_t i = 0; i < settings_.cards.size(); ++i) {
    SimCardSetup& card = settings_.cards[i];
    cards_[i].factoryRevision = card.revision;
    if (card.revision < 50) {
      devices[i] = powerUpDevice(card, settings_.cardFaults[i], saved[i]);
      cards_[i].device = devices[i].get();
    } else {
      flashes[i] = powerUpFlash(card, settings_.cardFaults[i], saved[i]);
      cards_[i].flash = flashes[i].get();
    }
  }

  SimDriverConfig config;
  config.family = settings_.family;
  config.cards = settings_.cards;
  config.faults = settings_.driverFaults;
  driver_ = std::make_unique<SimDriver>(clock_, config);
  for (size_t i = 0; i < settings_.cards.size(); ++i) {
    if (flashes[i]) driver_->card(int(i)).attachFlash(std::move(flashes[i]));
    if (devices[i]) driver_->card(int(i)).attachJtag(std::move(devices[i]));
    const uint64_t cut = settings_.cardFaults[i].powerCutAfter;
    if (cut != 0) driver_->card(int(i)).cutPowerAfter(cut);
  }
  driverWrapper_ = std::make_unique<Driver>(*this, *driver_, trace_);
}

DriverIo& SimWorld::driverIo() { return *driverWrapper_; }

SystemServices& SimWorld::system() {
  if (tracingSystem_) return *tracingSystem_;
  return system_;
}

ProgressTarget* SimWorld::progress(ProgressTarget* page) {
  if (!trace_) return page;
  tracingProgress_ = std::make_unique<TracingProgress>(page, *trace_);
  return tracingProgress_.get();
}

void SimWorld::updateReleased() { save(); }

namespace {

bool readWholeFile(std::FILE* file, std::string& bytes, std::string& error) {
  char chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (bytes.size() + got > kStateFileLimit) {
      error = "is too large to be a state file of the simulated cards";
      return false;
    }
    bytes.append(chunk, got);
  }
  if (std::ferror(file) != 0) {
    error = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  return true;
}

uint64_t checksumOf(const std::string& body) {
  return fnv1a64(reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

// The body of a state file whose header holds, or why it does not.
bool checkStateHeader(const std::string& file, std::string& body, std::string& error) {
  const size_t newline = file.find('\n');
  const std::string mark = std::string(kStateMark) + " ";
  if (newline == std::string::npos || newline > 128 || file.compare(0, mark.size(), mark) != 0) {
    error =
        std::string("is not a state file of the simulated cards (no '") + kStateMark + "' mark)";
    return false;
  }
  const std::string header = file.substr(0, newline);
  int format = 0;
  unsigned long long checksum = 0, length = 0;
  char extra = 0;
  const int fields = std::sscanf(header.c_str() + mark.size(), "%d %16llx %llu %c", &format,
                                 &checksum, &length, &extra);
  if (fields >= 1 && format != kStateFormat) {
    error = "is a state file of format " + std::to_string(format) + "; this build reads format " +
            std::to_string(kStateFormat) + " (delete it for factory-fresh cards)";
    return false;
  }
  if (fields != 3) {
    error = "has a damaged header line";
    return false;
  }
  body = file.substr(newline + 1);
  if (body.size() != length) {
    error = "is damaged: its header promises " + std::to_string(length) +
            " bytes of contents, it holds " + std::to_string(body.size());
    return false;
  }
  if (checksumOf(body) != checksum) {
    error = "is damaged: its checksum does not match its contents";
    return false;
  }
  return true;
}

}  // namespace

bool SimWorld::loadState(std::vector<SavedCard>& saved, std::string& error) {
  if (settings_.statePath.empty()) return true;
  errno = 0;
  std::FILE* file = std::fopen(settings_.statePath.c_str(), "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return true;  // the first run: factory contents
    error = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  std::string bytes;
  const bool read = readWholeFile(file, bytes, error);
  std::fclose(file);
  std::string body;
  if (!read || !checkStateHeader(bytes, body, error)) return false;

  std::vector<SavedCard> cards(saved.size());
  size_t at = 0;
  while (at < body.size()) {
    const size_t newline = body.find('\n', at);
    unsigned index = 0, size = 0;
    int revision = 0;
    char interface[16] = {}, kind[16] = {};
    const std::string line =
        newline == std::string::npos ? std::string() : body.substr(at, newline - at);
    const bool fits =
        std::sscanf(line.c_str(), "card %u %d %15s %15s %u", &index, &revision, interface, kind,
                    &size) == 5 &&
        ((std::strcmp(kind, "flash") == 0 && size == SimNorFlash::kSize) ||
         (std::strcmp(kind, "device") == 0 && size == StandInDevice::kArrayBytes + 1)) &&
        body.size() - (newline + 1) >= size;
    if (!fits) {
      error = "is damaged: a card record cannot be read";
      return false;
    }
    at = newline + 1;
    // Contents belong to the card only when it is still the same card.
    if (index < cards.size() && factoryRevisions_[index] == revision &&
        std::strcmp(interface, interfaceName(settings_.cards[index].interface)) == 0) {
      cards[index] =
          SavedCard{kind, std::vector<uint8_t>(body.begin() + std::ptrdiff_t(at),
                                               body.begin() + std::ptrdiff_t(at + size))};
    }
    at += size;
  }
  saved = std::move(cards);
  return true;
}

bool SimWorld::save(std::string* error) {
  if (settings_.statePath.empty() || !driver_) return true;
  if (!startError_.empty()) {
    if (error) *error = startError_;
    return false;
  }
  std::string body;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < cards_.size(); ++i) {
    const char* kind = nullptr;
    if (cards_[i].flash != nullptr) {
      kind = "flash";
      bytes.resize(SimNorFlash::kSize);
      for (uint32_t a = 0; a < SimNorFlash::kSize; ++a) bytes[a] = cards_[i].flash->peek(a);
    } else if (cards_[i].device != nullptr) {
      kind = "device";
      bytes = cards_[i].device->array();
      bytes.push_back(cards_[i].device->doneFlag() ? 1 : 0);
    } else {
      continue;
    }
    char line[128];
    std::snprintf(line, sizeof line, "card %u %d %s %s %u\n", unsigned(i), factoryRevisions_[i],
                  interfaceName(settings_.cards[i].interface), kind, unsigned(bytes.size()));
    body += line;
    body.append(bytes.begin(), bytes.end());
  }
  char header[128];
  std::snprintf(header, sizeof header, "%s %d %016llx %llu\n", kStateMark, kStateFormat,
                static_cast<unsigned long long>(checksumOf(body)),
                static_cast<unsigned long long>(body.size()));

  const std::string temporary = settings_.statePath + ".new";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    if (error) *error = temporary + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fputs(header, file) >= 0 &&
            std::fwrite(body.data(), 1, body.size(), file) == body.size();
  ok = std::fclose(file) == 0 && ok;
  if (ok) ok = replaceFile(temporary, settings_.statePath);
  if (!ok) {
    if (error) *error = settings_.statePath + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
  }
  return ok;
}

}  // namespace tarn::sim
