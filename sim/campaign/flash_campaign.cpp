#include "sim/campaign/flash_campaign.hpp"

#include <algorithm>
#include <cinttypes>

#include "sim/campaign/cut_machine.hpp"
#include "sim/flash_rig.hpp"

namespace tarn::sim {
namespace {

// Sits between the programmer and the card: notes the moment the flash first
// showed a failure and counts write cycles issued after that moment.
class WatchingWindow final : public RegisterWindow {
 public:
  explicit WatchingWindow(FlashRig& rig) : rig_(rig) {}

  uint32_t read32(uint32_t offset) override {
    const uint32_t value = rig_.card.read32(offset);
    // Only the read-back register tells the programmer anything, and a status
    // read of a byte being programmed only through DQ7 and DQ5.
    if (offset == kFlashReadBackRegister && !failureShown) {
      const uint8_t seen = statusRead_ ? 0xA0 : 0xFF;
      if ((rig_.flash->lastFaultMask() & seen) != 0) failureShown = true;
    }
    return value;
  }

  void write32(uint32_t offset, uint32_t value) override {
    if (offset == kFlashAccessRegister) {
      const FlashAccess access = decodeFlashAccess(value);
      if (access.writeCycle) {
        if (failureShown) ++writesAfterFailure;
        // Status reads of a byte programmed may follow.
        polling_ =
            commands_.write(access.address, access.data) == FlashCommandDecoder::Cycle::ProgramByte;
        if (polling_) lastProgrammed_ = access.address;
        statusRead_ = false;
      } else {
        statusRead_ = polling_ && access.address == lastProgrammed_;
        if (!statusRead_) polling_ = false;
      }
    }
    rig_.card.write32(offset, value);
  }

  bool failureShown = false;
  uint64_t writesAfterFailure = 0;

 private:
  FlashRig& rig_;
  bool polling_ = false;     // status reads of a programmed byte may follow
  bool statusRead_ = false;  // the pending read is one of them
  FlashCommandDecoder commands_;
  uint32_t lastProgrammed_ = 0xFFFFFFFF;
};

struct RunSetup {
  bool bank1Marked = false;
  SimFlashFaults faults;
  std::string label;
};

class Campaign {
 public:
  explicit Campaign(const FlashFaultConfig& config) : config_(config) { verdicts.log = config.log; }

  // The number of read requests of a clean update, bank 1 blank.
  uint64_t cleanReads() {
    FlashRig rig(config_.timing);
    rig.flash->loadMarkedImage(0, config_.olderImage.data, uint32_t(config_.olderImage.size));
    writeFlashImage(rig.bus, nullptr, config_.image);
    return rig.flash->readRequests();
  }

  void run(const RunSetup& setup) {
    FlashRig rig(config_.timing, setup.faults);
    rig.flash->loadMarkedImage(0, config_.olderImage.data, uint32_t(config_.olderImage.size));
    if (setup.bank1Marked) {
      rig.flash->loadMarkedImage(1, config_.olderImage.data, uint32_t(config_.olderImage.size));
    }
    WatchingWindow watch(rig);
    rig.bus.window = &watch;
    const int result = writeFlashImage(rig.bus, nullptr, config_.image);
    result_.totalAccesses += rig.card.accessCount();
    ++result_.runs;

    const FlashImage older = config_.olderImage;
    const bool bank0Done = rig.flash->bankState(0, config_.image, older) == BankState::New;
    const bool bank1Done = rig.flash->bankState(1, config_.image, older) == BankState::New;
    check(result != 0 || (bank0Done && (setup.bank1Marked || bank1Done)), setup,
          "result 0 without the complete image and marker");
    check(result != 0 || !watch.failureShown, setup,
          "result 0 although the flash showed a failure");
    check(watch.writesAfterFailure == 0, setup, "write cycles after the first failure");
    if (setup.bank1Marked) {
      check(rig.flash->powerUpSource() != PowerUpSource::None, setup, "the card no longer starts");
      check(rig.flash->bankState(1, config_.image, older) == BankState::Old, setup,
            "the marked bank 1 was changed");
    }
    check(rig.violations() == 0, setup, "protocol violation");
  }

  void check(bool holds, const RunSetup& setup, const char* what) {
    verdicts.check(holds, what, setup.label.c_str());
  }

  void fault(const char* what, bool bank1Marked, SimFlashFaults faults) {
    RunSetup setup;
    setup.bank1Marked = bank1Marked;
    setup.faults = std::move(faults);
    setup.label = std::string(what) + (bank1Marked ? ", bank 1 marked" : ", bank 1 blank");
    run(setup);
  }

  void faults() {
    const uint64_t reads = cleanReads();
    const FlashImage image = config_.image;
    const uint32_t size = uint32_t(image.size);
    char what[96];
    for (bool marked : {false, true}) {
      for (int32_t sector : {0, 1, 2, 4, 5, 6}) {
        SimFlashFaults f;
        f.neverEraseSector = sector;
        std::snprintf(what, sizeof what, "sector %d never erases", sector);
        fault(what, marked, f);
      }
      for (uint32_t bankBase : {0u, kBank1Base}) {
        for (uint32_t offset : {1u, 1 + size / 2, size, 0u}) {
          SimFlashFaults f;
          f.neverProgramAddress = bankBase + offset;
          std::snprintf(what, sizeof what, "byte %05x never programs", bankBase + offset);
          fault(what, marked, f);
        }
        // Stuck at 1 where the image wants a 0: in bit 7 data polling never
        // completes; in a lower bit only the verify can see it. Stuck at 0 in an
        // erased sector keeps it from reading blank.
        const auto stuck = [&](uint32_t address, uint8_t bit, uint8_t value) {
          // A stuck bit in a marked bank 1 would change what the card held
          // before the update, which is not what these runs are about.
          if (marked && bankBase == kBank1Base) return;
          SimFlashFaults f;
          f.stuckBits.push_back({address, bit, value});
          std::snprintf(what, sizeof what, "bit %u stuck at %u at %05x", bit, value, address);
          fault(what, marked, f);
        };
        for (uint8_t bit : {uint8_t(7), uint8_t(2)}) {
          for (uint32_t k = size / 3; k < size; ++k) {
            if ((image.data[k] & (1u << bit)) == 0) {
              stuck(bankBase + 1 + k, bit, 1);
              break;
            }
          }
        }
        stuck(bankBase, 7, 1);            // the marker 0x5A has bit 7 clear
        stuck(bankBase + 0x10010, 4, 0);  // early in the sector: each check stops there
      }
      const uint32_t places = std::max<uint32_t>(config_.faultPlaces, 1);
      for (uint32_t i = 0; i <= places; ++i) {
        const int64_t read = int64_t(i == places ? reads - 1 : reads * i / places);
        SimFlashFaults busy;
        busy.busyStuckFromRead = read;
        std::snprintf(what, sizeof what, "busy stuck from read %lld", static_cast<long long>(read));
        fault(what, marked, busy);
        SimFlashFaults ones;
        ones.allOnesFromRead = read;
        std::snprintf(what, sizeof what, "all ones from read %lld", static_cast<long long>(read));
        fault(what, marked, ones);
      }
    }
  }

  FlashFaultResult result_;
  Verdicts verdicts;

 private:
  const FlashFaultConfig& config_;
};

}  // namespace

std::vector<uint8_t> makeOlderImage(FlashImage image) {
  std::vector<uint8_t> older(image.data, image.data + image.size);
  for (size_t k = 16; k + 16 < older.size(); k += 3) older[k] = uint8_t(older[k] ^ 0x24);
  return older;
}

FlashFaultResult runFlashFaultCampaign(const FlashFaultConfig& config) {
  Campaign campaign(config);
  campaign.faults();
  FlashFaultResult& r = campaign.result_;
  r.checks = campaign.verdicts.checks;
  r.broken = campaign.verdicts.broken;
  r.notes = campaign.verdicts.notes;
  if (config.log != nullptr) {
    std::fprintf(config.log,
                 "faults: %" PRIu64 " runs, %" PRIu64 " invariant checks, %" PRIu64
                 " broken, %" PRIu64 " register accesses\n",
                 r.runs, r.checks, r.broken, r.totalAccesses);
  }
  return r;
}

}  // namespace tarn::sim
