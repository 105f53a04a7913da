#include "sim/campaign/power_cut_campaign.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "card/registers.hpp"
#include "flash/flash_commands.hpp"
#include "flash/flash_image.hpp"
#include "sim/campaign/cut_machine.hpp"
#include "sim/campaign/flash_campaign.hpp"
#include "sim/campaign/fork_pool.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {
namespace {

constexpr uint32_t kBank1Base = 1u << kBankShift;
constexpr uint32_t kSector3 = 0x30000;
constexpr uint32_t kSector7 = 0x70000;
constexpr uint8_t kSector3Fill = 0x33;
constexpr uint8_t kSector7Fill = 0x77;

enum class Kind { None, Reset, EraseCommand, EraseWait, Program, Verify, Marker, Bank1Check };

// Follows the flash commands in the register accesses and names the phases
// of the update as they pass; notes the accesses that every cut must cover.
// Access i is the i-th of the update (from 1); a cut at N comes after access N.
class PhaseTracker {
 public:
  PhaseTracker(uint32_t imageSize, uint32_t edgeBytes) : size_(imageSize), edge_(edgeBytes) {}

  void write(uint64_t index, uint32_t offset, uint32_t value) {
    if (offset != kFlashAccessRegister) return;
    const FlashAccess access = decodeFlashAccess(value);
    if (access.writeCycle) {
      cycle(index, access.address, access.data);
    } else {
      readRequest(index, access.address);
    }
  }

  void finish(uint64_t total) {
    if (!phases.empty()) phases.back().end = total;
  }

  std::vector<CutPhase> phases;
  std::vector<Kind> kinds;
  // Ranges of accesses each of which is a cut point.
  std::vector<std::pair<uint64_t, uint64_t>> everyAccess;
  uint64_t bank0EraseIndex = 0;   // the access carrying the erase of sector 0
  uint64_t bank0MarkerIndex = 0;  // the access carrying bank 0's marker byte

 private:
  void begin(Kind kind, uint32_t number, uint64_t firstIndex) {
    if (!phases.empty()) phases.back().end = firstIndex - 1;
    CutPhase phase;
    static const char* const names[] = {"",
                                        "reset",
                                        "erase command %u",
                                        "erase wait %u",
                                        "program bank %u",
                                        "verify bank %u",
                                        "marker %u",
                                        "bank 1 check"};
    std::snprintf(phase.name, sizeof phase.name, names[int(kind)], number);
    phase.start = firstIndex - 1;
    phases.push_back(phase);
    kinds.push_back(kind);
    kind_ = kind;
  }

  void cycle(uint64_t index, uint32_t address, uint32_t data) {
    const bool programCycle = lastAddress_ == kUnlockAddress1 && lastData_ == kProgramCommand;
    if (address == kUnlockAddress1 && data == kUnlockData1 && lastData_ != kEraseCommand) {
      commandStart_ = index;
    }
    if (data == kResetCommand && phases.empty()) begin(Kind::Reset, 0, index);
    if (data == kSectorEraseCode && lastAddress_ == kUnlockAddress2 && lastData_ == kUnlockData2) {
      const uint32_t sector = address >> 16;
      begin(Kind::EraseCommand, sector, commandStart_);
      // Six cycles of three accesses each.
      everyAccess.emplace_back(commandStart_, commandStart_ + 17);
      if (sector == 0 && bank0EraseIndex == 0) bank0EraseIndex = index;
      sector_ = sector;
    } else if (programCycle) {
      const uint32_t offset = address & 0x3FFFF;
      if (offset == 0) {
        begin(Kind::Marker, address >> 18, commandStart_);
        if (address == 0 && bank0MarkerIndex == 0) bank0MarkerIndex = index;
      } else {
        if (kind_ != Kind::Program) begin(Kind::Program, address >> 18, commandStart_);
        const uint32_t k = offset - 1;
        if (k < edge_ || k + edge_ >= size_) {
          everyAccess.emplace_back(commandStart_, commandStart_ + 11);  // four cycles
        }
      }
      lastProgrammed_ = address;
    }
    lastAddress_ = address;
    lastData_ = data;
  }

  void readRequest(uint64_t index, uint32_t address) {
    if (kind_ == Kind::EraseCommand) {
      begin(Kind::EraseWait, sector_, index);
    } else if (kind_ == Kind::Program && address != lastProgrammed_) {
      begin(Kind::Verify, address >> 18, index);
    } else if (kind_ == Kind::Marker && lastProgrammed_ == 0 && address == kBank1Base) {
      begin(Kind::Bank1Check, 1, index);
    }
  }

  uint32_t size_;
  uint32_t edge_;
  Kind kind_ = Kind::None;
  uint64_t commandStart_ = 0;
  uint32_t sector_ = 0;
  uint32_t lastAddress_ = 0xFFFFFFFF;
  uint32_t lastData_ = 0;
  uint32_t lastProgrammed_ = 0xFFFFFFFF;
};

bool untouched(const uint8_t* array) {
  for (uint32_t i = 0; i < SimNorFlash::kSectorSize; ++i) {
    if (array[kSector3 + i] != kSector3Fill || array[kSector7 + i] != kSector7Fill) return false;
  }
  return true;
}

// What a copy of the process reports after following the program past a cut.
struct CopyRecord {
  uint64_t firstCut;  // the first cut point it stands for
  uint64_t cutCount;
  uint64_t writesAfterFailure;
  uint64_t recoveryViolations;
  CutMachine::Press cutPress;       // the update that lost its power
  CutMachine::Press recoveryPress;  // the new one, if any
  uint8_t bank1Marked;
  uint8_t failureSeen;
  uint8_t recovery;  // a Recovery
  uint8_t recoveryBank0;
  uint8_t recoveryBank1;
  uint8_t recoverySource;
  uint8_t recoveryUntouched;
};

enum Recovery : uint8_t { kNoRecovery, kFreshPc, kSamePc };

// A simulated PC whose card holds `flash`, the updater's own update pressed on it.
struct FlashMachine {
  FlashMachine(const PowerCutConfig& config, std::unique_ptr<SimNorFlash> owned)
      : machine(config.revision, config.isCardBus) {
    flash = owned.get();
    machine.card().attachFlash(std::move(owned));
  }
  uint64_t violations() { return machine.card().violationCount() + flash->violationCount(); }
  CutMachine machine;
  SimNorFlash* flash = nullptr;
};

// What the planning run left: the main line must end the same way.
struct Plan {
  uint64_t accesses = 0;
  uint64_t endNs = 0;
  int32_t shown = -1;
  std::vector<uint8_t> flash;
};

class Campaign {
 public:
  explicit Campaign(const PowerCutConfig& config) : config_(config) {
    image_ = selectFlashImage(config.revision, config.isCardBus);
    older_ = makeOlderImage(image_);
    olderImage_ = FlashImage{older_.data(), int32_t(older_.size())};
    verdicts_.log = config.log;
  }

  PowerCutResult result() {
    result_.checks = verdicts_.checks;
    result_.broken = verdicts_.broken;
    result_.notes = verdicts_.notes;
    result_.brokenNames = verdicts_.names;
    return result_;
  }

  void check(bool holds, const char* what, uint64_t cut, bool bank1Marked) {
    char where[64];
    std::snprintf(where, sizeof where, "bank 1 %s, cut after %llu accesses",
                  bank1Marked ? "marked" : "blank", static_cast<unsigned long long>(cut));
    verdicts_.check(holds, what, where);
  }

  void runCase(bool bank1Marked) {
    PowerCutCase& out = result_.cases[bank1Marked ? 1 : 0];
    out.bank1Marked = bank1Marked;
    bank1Marked_ = bank1Marked;

    // A first run names the phases, places the cut points, and sets what
    // the main line must come to.
    Plan plan;
    {
      auto pc = freshMachine();
      PhaseTracker tracker(uint32_t(image_.size), config_.edgeBytes);
      CutWindow window(pc->machine.card(), kFlashReadBackRegister);
      window.owner = &tracker;
      window.onWrite = [](void* t, uint64_t index, uint32_t offset, uint32_t value) {
        static_cast<PhaseTracker*>(t)->write(index, offset, value);
      };
      pc->machine.setWindow(&window);
      const CutMachine::Press press = pressUpdate(*pc);
      tracker.finish(pc->machine.card().accessCount());
      plan.accesses = pc->machine.card().accessCount();
      plan.endNs = pc->machine.clock.nowNs();
      plan.shown = press.shown;
      plan.flash.assign(pc->flash->storedArray(), pc->flash->storedArray() + SimNorFlash::kSize);
      total_ = plan.accesses;
      checkPress(verdicts_, press, "the update without a cut", "planning run");
      judgeFinished(*pc->flash, total_, "the update without a cut");
      out.accesses = total_;
      out.seconds = double(plan.endNs) / 1e9;
      out.phases = tracker.phases;
      place(tracker);
    }

    // The main line, that the cuts are taken from.
    auto pc = freshMachine();
    pc_ = pc.get();
    PhaseTracker tracker(uint32_t(image_.size), 0);
    tracker_ = &tracker;
    CutWindow window(pc->machine.card(), kFlashReadBackRegister);
    window_ = &window;
    window.owner = this;
    window.onWrite = [](void* self, uint64_t index, uint32_t offset, uint32_t value) {
      static_cast<Campaign*>(self)->tracker_->write(index, offset, value);
    };
    window.afterAccess = [](void* self, uint64_t index) {
      static_cast<Campaign*>(self)->afterAccess(index);
    };
    window.beforeAnswer = [](void* self) { static_cast<Campaign*>(self)->beforeReadBack(); };
    pc->machine.setWindow(&window);
    nextCut_ = 0;
    groupFirst_ = 0;
    groupCount_ = 0;
    recoveryCut_ = 0;
    recoveryKind_ = kNoRecovery;
    bank0EraseIndex_ = 0;
    markerCycleNs_ = 0;
    markerDoneIndex_ = 0;
    eraseNs_ = 0;
    continuationsStarted_ = 0;
    recoveriesStarted_ = 0;

    ForkPool pool(sizeof(CopyRecord), config_.jobs, [this](uint64_t, const void* record) {
      received(*static_cast<const CopyRecord*>(record));
    });
    pool_ = &pool;
    const CutMachine::Press press = pressUpdate(*pc);
    if (pool.inCopy()) finishCopy(press);

    // The main line made the planned run, whatever its copies did.
    const uint64_t last = total_;
    check(pc->machine.card().accessCount() == plan.accesses,
          "the main line ended with another access count than the plan", last, bank1Marked);
    check(pc->machine.clock.nowNs() == plan.endNs,
          "the main line ended at another virtual time than the plan", last, bank1Marked);
    check(press.shown == plan.shown, "the main line ended with another result than the plan", last,
          bank1Marked);
    check(std::memcmp(pc->flash->storedArray(), plan.flash.data(), plan.flash.size()) == 0,
          "the main line left other flash contents than the plan", last, bank1Marked);
    check(nextCut_ == cuts_.size() && cutIndexes_.size() == cuts_.size() && groupCount_ == 0,
          "a planned cut was not taken, or not followed past", last, bank1Marked);
    check(nextRecovery_ == recoveries_.size(), "a planned recovery was not started", last,
          bank1Marked);
    pool.drain();
    for (const std::string& failure : pool.failures()) {
      check(false, ("a copy was lost: " + failure).c_str(), 0, bank1Marked);
    }
    check(pool.failureCount() == 0 && pool.received() == pool.started(),
          "not every copy reported back", 0, bank1Marked);
    check(out.continuations == continuationsStarted_ &&
              out.recoveries + out.secondUpdates == recoveriesStarted_,
          "the reports do not match the copies started", 0, bank1Marked);
    pool_ = nullptr;

    // Where the window must lie.
    out.expectedFirst = bank0EraseIndex_;
    out.expectedLast = markerDoneIndex_ - 1;
    out.windowSeconds = double(markerCycleNs_ + config_.timing.programNs - eraseNs_) / 1e9;
    finishCase(out);
    pc_ = nullptr;
    window_ = nullptr;
    tracker_ = nullptr;
  }

 private:
  std::unique_ptr<FlashMachine> freshMachine() const {
    auto flash = std::make_unique<SimNorFlash>(config_.timing);
    flash->loadMarkedImage(0, olderImage_.data, uint32_t(olderImage_.size));
    if (bank1Marked_) flash->loadMarkedImage(1, olderImage_.data, uint32_t(olderImage_.size));
    flash->fill(kSector3, SimNorFlash::kSectorSize, kSector3Fill);
    flash->fill(kSector7, SimNorFlash::kSectorSize, kSector7Fill);
    return std::make_unique<FlashMachine>(config_, std::move(flash));
  }

  CutMachine::Press pressUpdate(FlashMachine& pc) { return pc.machine.pressUpdate(config_.press); }

  // The flash after an update that showed "Success".
  void judgeFinished(const SimNorFlash& flash, uint64_t cut, const char* what) {
    char name[128];
    std::snprintf(name, sizeof name, "after %s bank 0 lacks the new image", what);
    check(flash.bankState(0, image_, olderImage_) == BankState::New, name, cut, bank1Marked_);
    std::snprintf(name, sizeof name, "after %s bank 1 is not as it should be", what);
    check(
        flash.bankState(1, image_, olderImage_) == (bank1Marked_ ? BankState::Old : BankState::New),
        name, cut, bank1Marked_);
    std::snprintf(name, sizeof name, "after %s the card does not start from bank 0", what);
    check(flash.powerUpSource() == PowerUpSource::Bank0, name, cut, bank1Marked_);
    std::snprintf(name, sizeof name, "%s changed sector 3 or 7", what);
    check(untouched(flash.storedArray()), name, cut, bank1Marked_);
  }

  void place(const PhaseTracker& tracker) {
    std::vector<uint64_t> points;
    const auto add = [&](uint64_t n) {
      if (n >= 1 && n < total_) points.push_back(n);
    };
    for (const auto& [from, to] : tracker.everyAccess) {
      for (uint64_t n = from; n <= to; ++n) add(n);
    }
    for (size_t i = 0; i < tracker.phases.size(); ++i) {
      const CutPhase& phase = tracker.phases[i];
      const Kind kind = tracker.kinds[i];
      const bool whole = kind == Kind::Reset || kind == Kind::Marker || kind == Kind::Bank1Check;
      const uint64_t edge = config_.phaseEdgeAccesses;
      for (uint64_t n = phase.start + 1; n <= phase.end; ++n) {
        if (whole || n <= phase.start + edge || n + edge > phase.end) add(n);
        if (!whole && n == phase.start + edge && phase.end - phase.start > 2 * edge) {
          n = phase.end - edge;
        }
      }
    }
    for (uint64_t i = 1; i <= config_.spreadCuts; ++i) add(total_ * i / (config_.spreadCuts + 1));
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    cuts_ = std::move(points);

    std::vector<size_t> phaseOf(cuts_.size());
    for (size_t i = 0; i < cuts_.size(); ++i) phaseOf[i] = phaseIndex(tracker.phases, cuts_[i]);
    recoveries_.clear();
    for (size_t i : pickRecoveries(phaseOf, tracker.phases.size(), config_.recoveries)) {
      recoveries_.push_back(cuts_[i]);
    }
    nextRecovery_ = 0;
  }

  static size_t phaseIndex(const std::vector<CutPhase>& phases, uint64_t n) {
    auto phase = std::upper_bound(phases.begin(), phases.end(), n,
                                  [](uint64_t v, const CutPhase& p) { return v <= p.start; });
    return phase == phases.begin() ? 0 : size_t(phase - phases.begin()) - 1;
  }

  // After access `index` of the main line.
  void afterAccess(uint64_t index) {
    const uint64_t now = pc_->machine.clock.nowNs();
    if (bank0EraseIndex_ == 0 && tracker_->bank0EraseIndex == index) {
      bank0EraseIndex_ = index;
      eraseNs_ = now;
    }
    if (markerCycleNs_ == 0 && tracker_->bank0MarkerIndex == index) markerCycleNs_ = now;
    if (markerCycleNs_ != 0 && markerDoneIndex_ == 0 &&
        now >= markerCycleNs_ + config_.timing.programNs) {
      markerDoneIndex_ = index;
    }
    if (nextCut_ < cuts_.size() && cuts_[nextCut_] == index) {
      ++nextCut_;
      cutAt(index, now);
    }
  }

  // Judges the card as it would power up after a cut here.
  void cutAt(uint64_t index, uint64_t now) {
    SimNorFlash copy(*pc_->flash);
    copy.powerLost(now);
    const uint8_t* array = copy.storedArray();
    const BankState bank0 = copy.bankState(0, image_, olderImage_);
    const BankState bank1 = copy.bankState(1, image_, olderImage_);
    const PowerUpSource source = copy.powerUpSource();
    cutIndexes_.push_back(index);
    cutSources_.push_back(uint8_t(source));
    check(bank0 != BankState::Partial && bank1 != BankState::Partial,
          "a marked bank holds a partial image", index, bank1Marked_);
    if (bank1Marked_) check(bank1 == BankState::Old, "the marked bank 1 changed", index, true);
    check(untouched(array), "sector 3 or 7 changed", index, bank1Marked_);
    // Before the erase of sector 0 the card starts from its old bank 0, after
    // bank 0's marker from the new one; in between from bank 1 if it is marked.
    PowerUpSource expected = PowerUpSource::Bank0;
    BankState expected0 = BankState::New;
    if (bank0EraseIndex_ == 0 || index < bank0EraseIndex_) {
      expected0 = BankState::Old;
    } else if (markerDoneIndex_ == 0) {
      expected = bank1Marked_ ? PowerUpSource::Bank1 : PowerUpSource::None;
      expected0 = BankState::Unmarked;
    }
    char what[96];
    std::snprintf(what, sizeof what, "the card starts from %s, not from %s",
                  powerUpSourceName(source), powerUpSourceName(expected));
    check(source == expected, source == expected ? "" : what, index, bank1Marked_);
    check(bank0 == expected0, "bank 0 is not as it should be at this point", index, bank1Marked_);

    // The program's side: one copy per read of the read-back register stands
    // for every cut before it; some cuts get a copy of their own that also
    // presses Update again.
    if (groupCount_ == 0) groupFirst_ = index;
    ++groupCount_;
    if (nextRecovery_ < recoveries_.size() && recoveries_[nextRecovery_] == index) {
      // Every other one on a fresh PC, the others in the same process.
      const Recovery kind = nextRecovery_ % 2 == 0 ? kFreshPc : kSamePc;
      ++nextRecovery_;
      ++recoveriesStarted_;
      if (pool_->split(index)) {
        recoveryCut_ = index;
        recoveryKind_ = kind;
        pc_->machine.card().cutPowerNow();
        window_->dead = true;
      }
    }
  }

  void beforeReadBack() {
    if (groupCount_ == 0) return;
    // A copy follows the program as if the power went anywhere since the
    // last read-back: the program cannot tell those cuts apart.
    ++continuationsStarted_;
    if (pool_->split(groupFirst_)) {
      window_->dead = true;
      return;
    }
    groupCount_ = 0;
  }

  // In a copy, once the update that lost its power has ended.
  [[noreturn]] void finishCopy(const CutMachine::Press& press) {
    CopyRecord record{};
    record.firstCut = recoveryCut_ != 0 ? recoveryCut_ : groupFirst_;
    record.cutCount = recoveryCut_ != 0 ? 1 : groupCount_;
    record.writesAfterFailure = window_->writesAfterFailure;
    record.cutPress = press;
    record.failureSeen = window_->failureSeen ? 1 : 0;
    record.bank1Marked = bank1Marked_ ? 1 : 0;
    record.recovery = recoveryKind_;
    if (recoveryKind_ == kFreshPc) {
      // The owner switches off and on, starts the program and presses Update.
      FlashMachine fresh(config_, std::make_unique<SimNorFlash>(*pc_->flash));
      fresh.flash->powerLost(fresh.machine.clock.nowNs());
      const uint64_t before = fresh.violations();
      record.recoveryPress = pressUpdate(fresh);
      recordRecovery(record, *fresh.flash, fresh.violations() - before);
    } else if (recoveryKind_ == kSamePc) {
      // The card's power comes back while the program runs on: Update again.
      pc_->machine.card().restorePower();
      window_->plain();
      const uint64_t before = pc_->violations();
      record.recoveryPress = pressUpdate(*pc_);
      recordRecovery(record, *pc_->flash, pc_->violations() - before);
    }
    pool_->finish(&record);
  }

  void recordRecovery(CopyRecord& record, const SimNorFlash& flash, uint64_t violations) {
    record.recoveryBank0 = uint8_t(flash.bankState(0, image_, olderImage_));
    record.recoveryBank1 = uint8_t(flash.bankState(1, image_, olderImage_));
    record.recoverySource = uint8_t(flash.powerUpSource());
    record.recoveryUntouched = untouched(flash.storedArray()) ? 1 : 0;
    record.recoveryViolations = violations;
  }

  void received(const CopyRecord& r) {
    const bool marked = r.bank1Marked != 0;
    PowerCutCase& out = result_.cases[marked ? 1 : 0];
    const uint64_t cut = r.firstCut;
    if (r.recovery == kNoRecovery) ++out.continuations;
    check(r.cutPress.shown == 1, "the update did not show \"Failed\" after the power went", cut,
          marked);
    check(r.cutPress.brackets == 1 && r.cutPress.openBrackets == 0 && r.cutPress.updateEnds == 1 &&
              r.cutPress.released,
          "the update that lost its power did not end, close its brackets and release", cut,
          marked);
    check(r.failureSeen != 0, "the update ended without reading the card again", cut, marked);
    check(r.writesAfterFailure == 0, "write cycles after the card was seen gone", cut, marked);
    if (r.recovery == kNoRecovery) return;
    if (r.recovery == kFreshPc) ++out.recoveries;
    if (r.recovery == kSamePc) ++out.secondUpdates;
    recoveredCuts_.push_back(cut);
    const char* what = r.recovery == kFreshPc ? "the recovery" : "the second update";
    char where[64];
    std::snprintf(where, sizeof where, "bank 1 %s, cut after %llu accesses",
                  marked ? "marked" : "blank", static_cast<unsigned long long>(cut));
    checkPress(verdicts_, r.recoveryPress, what, where);
    char name[128];
    std::snprintf(name, sizeof name, "after %s bank 0 lacks the new image", what);
    check(r.recoveryBank0 == uint8_t(BankState::New), name, cut, marked);
    std::snprintf(name, sizeof name, "after %s bank 1 is not as it should be", what);
    check(r.recoveryBank1 == uint8_t(marked ? BankState::Old : BankState::New), name, cut, marked);
    std::snprintf(name, sizeof name, "after %s the card does not start from bank 0", what);
    check(r.recoverySource == uint8_t(PowerUpSource::Bank0), name, cut, marked);
    std::snprintf(name, sizeof name, "%s changed sector 3 or 7", what);
    check(r.recoveryUntouched != 0, name, cut, marked);
    std::snprintf(name, sizeof name, "protocol violation in %s", what);
    check(r.recoveryViolations == 0, name, cut, marked);
  }

  void finishCase(PowerCutCase& out) {
    out.cuts = cutIndexes_.size();
    bool anyNone = false;
    for (size_t i = 0; i < cutIndexes_.size(); ++i) {
      const uint64_t n = cutIndexes_[i];
      const auto source = PowerUpSource(cutSources_[i]);
      CutPhase& phase = out.phases[phaseIndex(out.phases, n)];
      ++phase.cuts;
      if (source == PowerUpSource::Bank0) ++out.startsBank0;
      if (source == PowerUpSource::Bank1) ++out.startsBank1;
      if (source == PowerUpSource::None) {
        ++out.startsNone;
        ++phase.noStart;
        if (!anyNone) out.windowFirst = n;
        out.windowLast = n;
        anyNone = true;
      }
    }
    for (uint64_t n : recoveredCuts_) ++out.phases[phaseIndex(out.phases, n)].recoveries;
    const bool marked = out.bank1Marked;
    if (marked) {
      check(out.startsNone == 0, "a cut left no bank to start from", 0, true);
    } else {
      // Exactly the span from the erase of sector 0 to bank 0's marker: its
      // ends and the accesses just outside them are cut points.
      check(out.windowFirst == out.expectedFirst && out.windowLast == out.expectedLast,
            "the window without a bank to start from is not the span from the first erase to "
            "the marker",
            out.windowFirst, false);
      const auto has = [&](uint64_t n) {
        return std::binary_search(cutIndexes_.begin(), cutIndexes_.end(), n);
      };
      check(has(out.expectedFirst - 1) && has(out.expectedFirst) && has(out.expectedLast) &&
                has(out.expectedLast + 1),
            "the ends of the window were not cut", out.expectedFirst, false);
    }
    for (const CutPhase& phase : out.phases) {
      check(phase.cuts > 0, "a phase without a cut", phase.start, marked);
      if (config_.recoveries >= out.phases.size()) {
        check(phase.recoveries > 0, "a phase without a recovery", phase.start, marked);
      }
    }
    cutIndexes_.clear();
    cutSources_.clear();
    recoveredCuts_.clear();
  }

  const PowerCutConfig& config_;
  FlashImage image_{};
  std::vector<uint8_t> older_;
  FlashImage olderImage_{};
  Verdicts verdicts_;
  PowerCutResult result_;
  bool bank1Marked_ = false;
  uint64_t total_ = 0;
  std::vector<uint64_t> cuts_;
  std::vector<uint64_t> recoveries_;
  size_t nextCut_ = 0;
  size_t nextRecovery_ = 0;
  uint64_t continuationsStarted_ = 0;
  uint64_t recoveriesStarted_ = 0;

  FlashMachine* pc_ = nullptr;
  CutWindow* window_ = nullptr;
  ForkPool* pool_ = nullptr;
  uint64_t groupFirst_ = 0;
  uint64_t groupCount_ = 0;
  uint64_t recoveryCut_ = 0;
  Recovery recoveryKind_ = kNoRecovery;

  uint64_t bank0EraseIndex_ = 0;
  uint64_t eraseNs_ = 0;
  uint64_t markerCycleNs_ = 0;
  uint64_t markerDoneIndex_ = 0;
  PhaseTracker* tracker_ = nullptr;

  std::vector<uint64_t> cutIndexes_;
  std::vector<uint8_t> cutSources_;
  std::vector<uint64_t> recoveredCuts_;
};

}  // namespace

PowerCutResult runPowerCutCampaign(const PowerCutConfig& config) {
  Campaign campaign(config);
  if (config.bank1Cases[0]) campaign.runCase(false);
  if (config.bank1Cases[1]) campaign.runCase(true);
  return campaign.result();
}

void printPowerCutReport(const PowerCutResult& result, std::FILE* out) {
  for (const PowerCutCase& c : result.cases) {
    std::fprintf(out,
                 "bank 1 %s: update of %llu accesses, %.3f s; %llu cut points, %llu copies "
                 "followed the program after a cut, %llu recoveries on a fresh PC, %llu second "
                 "updates in the same process\n",
                 c.bank1Marked ? "marked" : "blank", static_cast<unsigned long long>(c.accesses),
                 c.seconds, static_cast<unsigned long long>(c.cuts),
                 static_cast<unsigned long long>(c.continuations),
                 static_cast<unsigned long long>(c.recoveries),
                 static_cast<unsigned long long>(c.secondUpdates));
    for (const CutPhase& p : c.phases) {
      std::fprintf(out,
                   "  %-16s accesses %9llu to %9llu: %7llu cuts, %4llu recoveries, %6llu "
                   "left no bank to start from\n",
                   p.name, static_cast<unsigned long long>(p.start + 1),
                   static_cast<unsigned long long>(p.end), static_cast<unsigned long long>(p.cuts),
                   static_cast<unsigned long long>(p.recoveries),
                   static_cast<unsigned long long>(p.noStart));
    }
    std::fprintf(out,
                 "  the card started from bank 0 after %llu cuts, bank 1 after %llu, none "
                 "after %llu\n",
                 static_cast<unsigned long long>(c.startsBank0),
                 static_cast<unsigned long long>(c.startsBank1),
                 static_cast<unsigned long long>(c.startsNone));
    if (!c.bank1Marked) {
      std::fprintf(out,
                   "  window without a bank to start from: cuts after access %llu to %llu, "
                   "%llu accesses, %.3f s (the erase of sector 0 at access %llu to bank 0's "
                   "marker in place after access %llu)\n",
                   static_cast<unsigned long long>(c.windowFirst),
                   static_cast<unsigned long long>(c.windowLast),
                   static_cast<unsigned long long>(c.windowLast - c.windowFirst + 1),
                   c.windowSeconds, static_cast<unsigned long long>(c.expectedFirst),
                   static_cast<unsigned long long>(c.expectedLast));
    }
  }
  std::fprintf(out, "invariant checks %llu, broken %llu\n",
               static_cast<unsigned long long>(result.checks),
               static_cast<unsigned long long>(result.broken));
}

}  // namespace tarn::sim
