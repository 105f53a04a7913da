#include "sim/campaign/flash_campaign.hpp"

#include <algorithm>
#include <set>

#include "card/registers.hpp"
#include "sim/flash_rig.hpp"

namespace tarn::sim {
namespace {

constexpr uint32_t kBank1Base = 0x40000;

struct Phase {
  char name[24];
  uint64_t start;  // access count before the phase's first access
  uint64_t end;
};

// Sits between the programmer and the card: notes the moment the flash first
// showed a failure (or the power went), counts write cycles issued after that
// moment, and names the phases of the update as they pass.
class WatchingWindow final : public RegisterWindow {
 public:
  explicit WatchingWindow(FlashRig& rig) : rig_(rig) {}

  uint32_t read32(uint32_t offset) override {
    const uint32_t value = rig_.card.read32(offset);
    // Only the read-back register tells the programmer anything, and a status
    // read of a byte being programmed only through DQ7 and DQ5.
    if (offset == kFlashReadBackRegister && !failureShown) {
      const uint8_t seen = statusRead_ ? 0xA0 : 0xFF;
      if (!rig_.card.powered() || (rig_.flash->lastFaultMask() & seen) != 0) failureShown = true;
    }
    return value;
  }

  void write32(uint32_t offset, uint32_t value) override {
    if (offset == kFlashAccessRegister) {
      const uint32_t address = (value >> 8) & 0x7FFFFF;
      const uint32_t data = value & 0xFF;
      if ((value & 0x80000000u) != 0) {
        if (failureShown) ++writesAfterFailure;
        cycle(address, data);
      } else {
        readRequest(address);
      }
    }
    rig_.card.write32(offset, value);
  }

  bool failureShown = false;
  uint64_t writesAfterFailure = 0;
  std::vector<Phase> phases;

 private:
  enum class Kind { None, Reset, Erase, Program, Verify, Marker, Bank1Check };

  void begin(Kind kind, uint32_t number, uint64_t start) {
    if (!phases.empty()) phases.back().end = start;
    Phase phase{};
    static const char* const names[] = {
        "",          "reset",       "erase sector %u", "program bank %u", "verify bank %u",
        "marker %u", "bank 1 check"};
    std::snprintf(phase.name, sizeof phase.name, names[int(kind)], number);
    phase.start = start;
    phases.push_back(phase);
    kind_ = kind;
  }

  void cycle(uint32_t address, uint32_t data) {
    const uint64_t now = rig_.card.accessCount();
    statusRead_ = false;
    const bool programCycle = lastAddress_ == 0x555 && lastData_ == 0xA0;
    if (address == 0x555 && data == 0xAA && lastData_ != 0x80) commandStart_ = now;
    if (address == 0 && data == 0xF0 && phases.empty()) begin(Kind::Reset, 0, now);
    if (data == 0x30 && lastAddress_ == 0x2AA && lastData_ == 0x55) {
      begin(Kind::Erase, address >> 16, commandStart_);
    } else if (programCycle) {
      if ((address & 0x3FFFF) == 0) {
        begin(Kind::Marker, address >> 18, commandStart_);
      } else if (kind_ != Kind::Program) {
        begin(Kind::Program, address >> 18, commandStart_);
      }
      lastProgrammed_ = address;
      polling_ = true;
    } else {
      polling_ = false;
    }
    lastAddress_ = address;
    lastData_ = data;
  }

  void readRequest(uint32_t address) {
    const uint64_t now = rig_.card.accessCount();
    statusRead_ = polling_ && address == lastProgrammed_;
    if (kind_ == Kind::Program && address != lastProgrammed_) {
      begin(Kind::Verify, address >> 18, now);
      polling_ = false;
    } else if (kind_ == Kind::Marker && lastProgrammed_ == 0 && address == kBank1Base) {
      begin(Kind::Bank1Check, 1, now);
      polling_ = false;
    }
  }

  FlashRig& rig_;
  Kind kind_ = Kind::None;
  bool polling_ = false;     // status reads of a programmed byte may follow
  bool statusRead_ = false;  // the pending read is one of them
  uint64_t commandStart_ = 0;
  uint32_t lastAddress_ = 0xFFFFFFFF;
  uint32_t lastData_ = 0;
  uint32_t lastProgrammed_ = 0xFFFFFFFF;
};

struct RunSetup {
  bool bank1Marked = false;
  uint64_t cutAfter = 0;  // 0 = no cut
  SimFlashFaults faults;
  std::string label;
};

struct RunOutcome {
  int result = 0;
  uint64_t accesses = 0;
  uint64_t readRequests = 0;
  std::vector<Phase> phases;
};

bool bankHolds(const SimNorFlash& flash, uint32_t base, FlashImage image) {
  if (flash.peek(base) != 0x5A) return false;
  for (int32_t k = 0; k < image.size; ++k) {
    if (flash.peek(base + 1 + uint32_t(k)) != image.data[k]) return false;
  }
  return true;
}

class Campaign {
 public:
  explicit Campaign(const FlashCampaignConfig& config) : config_(config) {}

  RunOutcome run(const RunSetup& setup) {
    FlashRig rig(config_.timing, setup.faults);
    rig.flash->loadMarkedImage(0, config_.olderImage.data, uint32_t(config_.olderImage.size));
    if (setup.bank1Marked) {
      rig.flash->loadMarkedImage(1, config_.olderImage.data, uint32_t(config_.olderImage.size));
    }
    if (setup.cutAfter != 0) rig.card.cutPowerAfter(setup.cutAfter);
    WatchingWindow watch(rig);
    rig.bus.window = &watch;

    RunOutcome outcome;
    outcome.result = writeFlashImage(rig.bus, nullptr, config_.image);
    outcome.accesses = rig.card.accessCount();
    result_.cutsMidErase += rig.flash->interruptedErases();
    result_.cutsMidProgram += rig.flash->interruptedPrograms();
    result_.totalAccesses += outcome.accesses;
    outcome.readRequests = rig.flash->readRequests();
    if (!watch.phases.empty()) watch.phases.back().end = outcome.accesses;
    outcome.phases = watch.phases;
    ++result_.runs;

    const bool bank0Done = bankHolds(*rig.flash, 0, config_.image);
    const bool bank1Done = bankHolds(*rig.flash, kBank1Base, config_.image);
    check(outcome.result != 0 || (bank0Done && (setup.bank1Marked || bank1Done)), setup,
          "result 0 without the complete image and marker");
    check(outcome.result != 0 || !watch.failureShown, setup,
          "result 0 although the flash showed a failure");
    check(watch.writesAfterFailure == 0, setup, "write cycles after the first failure");
    if (setup.bank1Marked) {
      check(rig.flash->powerUpSource() != PowerUpSource::None, setup, "the card no longer starts");
      check(bankHolds(*rig.flash, kBank1Base, config_.olderImage), setup,
            "the marked bank 1 was changed");
    }
    check(rig.violations() == 0, setup, "protocol violation");
    return outcome;
  }

  void check(bool holds, const RunSetup& setup, const char* what) {
    ++result_.checks;
    if (holds) return;
    ++result_.broken;
    std::string note = setup.label + ": " + what;
    if (config_.log != nullptr) std::fprintf(config_.log, "BROKEN %s\n", note.c_str());
    if (result_.notes.size() < 32) result_.notes.push_back(note);
  }

  void cuts(bool bank1Marked) {
    RunSetup clean;
    clean.bank1Marked = bank1Marked;
    clean.label = bank1Marked ? "clean, bank 1 marked" : "clean, bank 1 blank";
    const RunOutcome reference = run(clean);
    if (!bank1Marked) {
      result_.cleanAccesses = reference.accesses;
      result_.phases = reference.phases.size();
      cleanReads_ = reference.readRequests;
      for (const Phase& phase : reference.phases) {
        if (config_.log == nullptr) break;
        std::fprintf(config_.log, "phase %-16s accesses %llu to %llu\n", phase.name,
                     static_cast<unsigned long long>(phase.start),
                     static_cast<unsigned long long>(phase.end));
      }
    }

    static constexpr uint64_t kOffsets[] = {1,    2,    3,     5,     8,     13,    21,
                                            34,   55,   100,   250,   500,   1000,  2000,
                                            4000, 8000, 16000, 32000, 64000, 128000};
    std::set<uint64_t> points;
    for (const Phase& phase : reference.phases) {
      const uint64_t length = phase.end - phase.start;
      uint32_t aimed = 0;
      // The ends of a phase first, then its quarters, then close to its start.
      // start + 21 lands just past an erase command, while the sector erases.
      const uint64_t picks[] = {phase.start + 1,          phase.end,
                                phase.start + length / 2, phase.start + 21,
                                phase.start + length / 4, phase.start + 3 * length / 4};
      for (uint64_t pick : picks) {
        if (aimed < config_.aimedPerPhase && pick > phase.start && pick <= phase.end) {
          points.insert(pick);
          ++aimed;
        }
      }
      for (uint64_t offset : kOffsets) {
        if (aimed >= config_.aimedPerPhase || offset >= length) break;
        if (points.insert(phase.start + offset).second) ++aimed;
      }
    }
    for (uint32_t i = 1; i <= config_.spreadCuts; ++i) {
      points.insert(std::max<uint64_t>(1, reference.accesses * i / (config_.spreadCuts + 1)));
    }
    for (const Phase& phase : reference.phases) {
      const bool cut = std::any_of(points.begin(), points.end(),
                                   [&](uint64_t p) { return p > phase.start && p <= phase.end; });
      if (!bank1Marked && cut) ++result_.phasesCut;
    }
    for (uint64_t point : points) {
      RunSetup setup;
      setup.bank1Marked = bank1Marked;
      setup.cutAfter = point;
      char label[96];
      std::snprintf(label, sizeof label, "cut after %llu accesses, bank 1 %s",
                    static_cast<unsigned long long>(point), bank1Marked ? "marked" : "blank");
      setup.label = label;
      run(setup);
      ++result_.cutRuns;
    }
  }

  void fault(const char* what, bool bank1Marked, SimFlashFaults faults) {
    RunSetup setup;
    setup.bank1Marked = bank1Marked;
    setup.faults = std::move(faults);
    setup.label = std::string(what) + (bank1Marked ? ", bank 1 marked" : ", bank 1 blank");
    run(setup);
    ++result_.faultRuns;
  }

  void faults() {
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
        const int64_t read = int64_t(i == places ? cleanReads_ - 1 : cleanReads_ * i / places);
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

  FlashCampaignResult result_;

 private:
  const FlashCampaignConfig& config_;
  uint64_t cleanReads_ = 1;
};

}  // namespace

std::vector<uint8_t> makeOlderImage(FlashImage image) {
  std::vector<uint8_t> older(image.data, image.data + image.size);
  for (size_t k = 16; k + 16 < older.size(); k += 3) older[k] = uint8_t(older[k] ^ 0x24);
  return older;
}

FlashCampaignResult runFlashCampaign(const FlashCampaignConfig& config) {
  Campaign campaign(config);
  campaign.cuts(false);
  campaign.cuts(true);
  campaign.faults();
  FlashCampaignResult& r = campaign.result_;
  if (config.log != nullptr) {
    std::fprintf(
        config.log,
        "campaign: %llu runs (%llu power cuts, %llu faults), %llu/%llu phases cut, "
        "%llu cut an erase and %llu a byte program in progress, %llu invariant checks, "
        "%llu broken, %llu register accesses\n",
        static_cast<unsigned long long>(r.runs), static_cast<unsigned long long>(r.cutRuns),
        static_cast<unsigned long long>(r.faultRuns), static_cast<unsigned long long>(r.phasesCut),
        static_cast<unsigned long long>(r.phases), static_cast<unsigned long long>(r.cutsMidErase),
        static_cast<unsigned long long>(r.cutsMidProgram),
        static_cast<unsigned long long>(r.checks), static_cast<unsigned long long>(r.broken),
        static_cast<unsigned long long>(r.totalAccesses));
  }
  return r;
}

}  // namespace tarn::sim
