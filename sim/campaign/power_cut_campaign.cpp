#include "sim/campaign/power_cut_campaign.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "card/registers.hpp"
#include "flash/flash_image.hpp"
#include "sim/campaign/fork_pool.hpp"
#include "sim/campaign/split_run.hpp"
#include "sim/flash_rig.hpp"

namespace tarn::sim {
namespace {

constexpr uint32_t kBank1Base = 0x40000;
constexpr uint32_t kSector3 = 0x30000;
constexpr uint32_t kSector7 = 0x70000;
constexpr uint8_t kSector3Fill = 0x33;
constexpr uint8_t kSector7Fill = 0x77;
constexpr size_t kProgramStack = 1u << 20;

enum class Kind { None, Reset, EraseCommand, EraseWait, Program, Verify, Marker, Bank1Check };

// Follows the flash commands in the register accesses and names the phases
// of the update as they pass; notes the accesses that every cut must cover.
// Access i is the i-th of the update (from 1); a cut at N comes after access N.
class PhaseTracker {
 public:
  PhaseTracker(uint32_t imageSize, uint32_t edgeBytes) : size_(imageSize), edge_(edgeBytes) {}

  void write(uint64_t index, uint32_t offset, uint32_t value) {
    if (offset != kFlashAccessRegister) return;
    const uint32_t address = (value >> 8) & 0x7FFFFF;
    const uint32_t data = value & 0xFF;
    if ((value & 0x80000000u) != 0) {
      cycle(index, address, data);
    } else {
      readRequest(index, address);
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
    const bool programCycle = lastAddress_ == 0x555 && lastData_ == 0xA0;
    if (address == 0x555 && data == 0xAA && lastData_ != 0x80) commandStart_ = index;
    if (address == 0 && data == 0xF0 && phases.empty()) begin(Kind::Reset, 0, index);
    if (data == 0x30 && lastAddress_ == 0x2AA && lastData_ == 0x55) {
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

enum class BankState : uint8_t { Unmarked, Old, New, Partial };

BankState bankState(const uint8_t* array, uint32_t base, FlashImage image, FlashImage older) {
  if (array[base] != kBankMarker) return BankState::Unmarked;
  const uint8_t* body = array + base + 1;
  if (std::memcmp(body, image.data, size_t(image.size)) == 0) return BankState::New;
  if (std::memcmp(body, older.data, size_t(older.size)) == 0) return BankState::Old;
  return BankState::Partial;
}

bool untouched(const uint8_t* array) {
  for (uint32_t i = 0; i < SimNorFlash::kSectorSize; ++i) {
    if (array[kSector3 + i] != kSector3Fill || array[kSector7 + i] != kSector7Fill) return false;
  }
  return true;
}

const char* sourceName(PowerUpSource source) {
  switch (source) {
    case PowerUpSource::Bank0:
      return "bank 0";
    case PowerUpSource::Bank1:
      return "bank 1";
    default:
      return "no bank";
  }
}

// What a copy of the process reports after following the program past a cut.
struct CopyRecord {
  uint64_t firstCut;  // the first cut point it stands for
  uint64_t cutCount;
  uint64_t accessesAfter;  // accesses the program made after the cut
  uint64_t writesAfterFailure;
  int32_t result;
  int32_t recoveryResult;
  uint8_t bank1Marked;
  uint8_t failureSeen;
  uint8_t recovered;  // 1 when a recovery update ran
  uint8_t recoveryBank0;
  uint8_t recoveryBank1;
  uint8_t recoverySource;
  uint8_t recoveryUntouched;
  uint8_t pad;
  uint64_t recoveryViolations;
};

// Stands between the program and the card. Passes every access on until the
// process becomes a copy that has lost the card: from then on each read
// answers all ones, as an unpowered card's register window does.
class CutWindow final : public RegisterWindow {
 public:
  using Hook = void (*)(void* owner, uint64_t index);
  CutWindow(SimCard& card, PhaseTracker& tracker) : card_(card), tracker_(tracker) {}

  uint32_t read32(uint32_t offset) override {
    if (dead) {
      ++deadAccesses;
      if (offset == kFlashReadBackRegister) failureSeen = true;
      return 0xFFFFFFFFu;
    }
    if (offset == kFlashReadBackRegister && beforeReadBack != nullptr) beforeReadBack(owner);
    if (dead) return read32(offset);
    const uint32_t value = card_.read32(offset);
    after(card_.accessCount());
    return value;
  }

  void write32(uint32_t offset, uint32_t value) override {
    if (dead) {
      ++deadAccesses;
      if (offset == kFlashAccessRegister && (value & 0x80000000u) != 0 && failureSeen) {
        ++writesAfterFailure;
      }
      return;
    }
    card_.write32(offset, value);
    const uint64_t index = card_.accessCount();
    tracker_.write(index, offset, value);
    after(index);
  }

  bool dead = false;
  bool failureSeen = false;
  uint64_t deadAccesses = 0;
  uint64_t writesAfterFailure = 0;
  void* owner = nullptr;
  void (*afterAccess)(void* owner, uint64_t index) = nullptr;
  void (*beforeReadBack)(void* owner) = nullptr;

 private:
  void after(uint64_t index) {
    if (afterAccess != nullptr) afterAccess(owner, index);
  }

  SimCard& card_;
  PhaseTracker& tracker_;
};

class Campaign {
 public:
  explicit Campaign(const PowerCutConfig& config) : config_(config) {}

  PowerCutResult result;

  void check(bool holds, const char* what, uint64_t cut, bool bank1Marked) {
    ++result.checks;
    if (holds) return;
    ++result.broken;
    char note[160];
    std::snprintf(note, sizeof note, "bank 1 %s, cut after %llu accesses: %s",
                  bank1Marked ? "marked" : "blank", static_cast<unsigned long long>(cut), what);
    if (config_.log != nullptr) std::fprintf(config_.log, "BROKEN %s\n", note);
    if (result.notes.size() < 32) result.notes.emplace_back(note);
  }

  void runCase(bool bank1Marked) {
    PowerCutCase& out = result.cases[bank1Marked ? 1 : 0];
    out.bank1Marked = bank1Marked;
    bank1Marked_ = bank1Marked;

    // A first run names the phases and places the cut points.
    {
      auto rig = freshRig();
      PhaseTracker tracker(uint32_t(config_.image.size), config_.edgeBytes);
      CutWindow window(rig->card, tracker);
      rig->bus.window = &window;
      const int clean = writeFlashImage(rig->bus, nullptr, config_.image);
      total_ = rig->card.accessCount();
      tracker.finish(total_);
      check(clean == 0, "the update without a cut failed", 0, bank1Marked);
      out.accesses = total_;
      out.seconds = double(rig->clock.nowNs()) / 1e9;
      out.phases = tracker.phases;
      plan(tracker);
    }

    // The run that the cuts are taken from.
    auto rig = freshRig();
    rig_ = rig.get();
    PhaseTracker tracker(uint32_t(config_.image.size), 0);
    tracker_ = &tracker;
    CutWindow window(rig->card, tracker);
    window_ = &window;
    window.owner = this;
    window.afterAccess = [](void* self, uint64_t index) {
      static_cast<Campaign*>(self)->afterAccess(index);
    };
    window.beforeReadBack = [](void* self) { static_cast<Campaign*>(self)->beforeReadBack(); };
    rig->bus.window = &window;
    nextCut_ = 0;
    groupFirst_ = 0;
    groupCount_ = 0;
    recoveryCut_ = 0;
    bank0EraseIndex_ = 0;
    markerCycleNs_ = 0;
    markerDoneIndex_ = 0;
    eraseNs_ = 0;

    ForkPool pool(sizeof(CopyRecord), config_.jobs, [this](const void* record) {
      received(*static_cast<const CopyRecord*>(record));
    });
    pool_ = &pool;
    SplitRun split(kProgramStack);
    split_ = &split;
    split.run(
        [](void* self) {
          auto* campaign = static_cast<Campaign*>(self);
          campaign->programEnded(
              writeFlashImage(campaign->rig_->bus, nullptr, campaign->config_.image));
        },
        this);
    split_ = nullptr;
    const int updateResult = mainResult_;

    // No "Success" before the work was done, and the work as it should be.
    const uint8_t* array = rig->flash->storedArray();
    check(updateResult == 0, "the update without a cut failed", total_, bank1Marked);
    check(bankState(array, 0, config_.image, config_.olderImage) == BankState::New,
          "result 0 without the new image in bank 0", total_, bank1Marked);
    check(bankState(array, kBank1Base, config_.image, config_.olderImage) ==
              (bank1Marked ? BankState::Old : BankState::New),
          "result 0 with bank 1 not as it should be", total_, bank1Marked);
    check(untouched(array), "sector 3 or 7 changed", total_, bank1Marked);
    check(rig->violations() == 0, "protocol violation", total_, bank1Marked);
    pool.drain();
    check(pool.lost() == 0, "a copy ended without its report", 0, bank1Marked);
    pool_ = nullptr;

    // Where the window must lie.
    out.expectedFirst = bank0EraseIndex_;
    out.expectedLast = markerDoneIndex_ - 1;
    out.windowSeconds = double(markerCycleNs_ + config_.timing.programNs - eraseNs_) / 1e9;
    finishCase(out);
    rig_ = nullptr;
    window_ = nullptr;
    tracker_ = nullptr;
  }

 private:
  std::unique_ptr<FlashRig> freshRig() const {
    auto rig = std::make_unique<FlashRig>(config_.timing);
    rig->flash->loadMarkedImage(0, config_.olderImage.data, uint32_t(config_.olderImage.size));
    if (bank1Marked_) {
      rig->flash->loadMarkedImage(1, config_.olderImage.data, uint32_t(config_.olderImage.size));
    }
    rig->flash->fill(kSector3, SimNorFlash::kSectorSize, kSector3Fill);
    rig->flash->fill(kSector7, SimNorFlash::kSectorSize, kSector7Fill);
    return rig;
  }

  void plan(const PhaseTracker& tracker) {
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

    // Recoveries evenly over the update, and three in every phase.
    std::set<uint64_t> chosen;
    const auto nearest = [&](uint64_t n) {
      auto it = std::lower_bound(cuts_.begin(), cuts_.end(), n);
      if (it == cuts_.end()) --it;
      chosen.insert(*it);
    };
    // Up to three in every phase (its first, middle and last cut), as many as
    // the count allows but at least one.
    const size_t perPhase =
        config_.recoveries == 0
            ? 0
            : std::clamp<size_t>(config_.recoveries / tracker.phases.size(), 1, 3);
    for (const CutPhase& phase : tracker.phases) {
      if (perPhase == 0) break;
      auto first = std::upper_bound(cuts_.begin(), cuts_.end(), phase.start);
      auto last = std::upper_bound(cuts_.begin(), cuts_.end(), phase.end);
      if (first == last) continue;
      chosen.insert(*(first + (last - first) / 2));
      if (perPhase >= 2) chosen.insert(*first);
      if (perPhase >= 3) chosen.insert(*(last - 1));
    }
    for (uint64_t i = 0; chosen.size() < config_.recoveries && i < config_.recoveries; ++i) {
      nearest(1 + total_ * i / config_.recoveries);
    }
    for (uint64_t i = 0; chosen.size() < config_.recoveries && i < cuts_.size(); ++i) {
      chosen.insert(cuts_[(i * 7919) % cuts_.size()]);
    }
    recoveries_.assign(chosen.begin(), chosen.end());
    nextRecovery_ = 0;
  }

  // After access `index` of the run the cuts are taken from.
  void afterAccess(uint64_t index) {
    const uint64_t now = rig_->clock.nowNs();
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
    SimNorFlash copy(*rig_->flash);
    copy.powerLost(now);
    const uint8_t* array = copy.storedArray();
    const BankState bank0 = bankState(array, 0, config_.image, config_.olderImage);
    const BankState bank1 = bankState(array, kBank1Base, config_.image, config_.olderImage);
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
    if (source != expected) {
      char what[96];
      std::snprintf(what, sizeof what, "the card starts from %s, not from %s", sourceName(source),
                    sourceName(expected));
      check(false, what, index, bank1Marked_);
    } else {
      check(true, "", index, bank1Marked_);
    }
    check(bank0 == expected0, "bank 0 is not as it should be at this point", index, bank1Marked_);

    // The program's side: one copy per read of the read-back register stands
    // for every cut before it; some cuts get a copy of their own that also
    // runs the user's next update.
    if (groupCount_ == 0) groupFirst_ = index;
    ++groupCount_;
    if (nextRecovery_ < recoveries_.size() && recoveries_[nextRecovery_] == index) {
      ++nextRecovery_;
      if (pool_->split()) {
        recoveryCut_ = index;
        rig_->card.cutPowerNow();
        window_->dead = true;
      }
    }
  }

  void beforeReadBack() {
    if (groupCount_ == 0) return;
    // A continuation follows the program as if the power went anywhere since
    // the last read-back: the program cannot tell those cuts apart. What it
    // changes outside the program's stack is put back afterwards.
    const FlashBus bus = rig_->bus;
    const SimClock clock = rig_->clock;
    const uint64_t sleepCalls = rig_->system.sleepCalls;
    const uint64_t sleptMs = rig_->system.sleptMs;
    const size_t debugLines = rig_->system.debugLines.size();
    if (split_->branch()) {
      window_->dead = true;
      return;
    }
    rig_->bus = bus;
    rig_->clock = clock;
    rig_->system.sleepCalls = sleepCalls;
    rig_->system.sleptMs = sleptMs;
    rig_->system.debugLines.resize(debugLines);
    window_->dead = false;
    window_->failureSeen = false;
    window_->deadAccesses = 0;
    window_->writesAfterFailure = 0;
    groupCount_ = 0;
  }

  // The program has returned: on the main line of the run, in a continuation
  // after a cut, or in a copy that lost its power at a cut.
  void programEnded(int updateResult) {
    if (split_->inBranch()) {
      CopyRecord record{};
      record.firstCut = groupFirst_;
      record.cutCount = groupCount_;
      record.accessesAfter = window_->deadAccesses;
      record.writesAfterFailure = window_->writesAfterFailure;
      record.result = updateResult;
      record.failureSeen = window_->failureSeen ? 1 : 0;
      record.bank1Marked = bank1Marked_ ? 1 : 0;
      received(record);
      return;
    }
    if (pool_->inCopy()) finishCopy(updateResult, *window_);
    mainResult_ = updateResult;
  }

  [[noreturn]] void finishCopy(int updateResult, const CutWindow& window) {
    CopyRecord record{};
    record.firstCut = recoveryCut_ != 0 ? recoveryCut_ : groupFirst_;
    record.cutCount = recoveryCut_ != 0 ? 1 : groupCount_;
    record.accessesAfter = window.deadAccesses;
    record.writesAfterFailure = window.writesAfterFailure;
    record.result = updateResult;
    record.failureSeen = window.failureSeen ? 1 : 0;
    record.bank1Marked = bank1Marked_ ? 1 : 0;
    if (recoveryCut_ != 0) {
      // Power comes back; the user runs the update again on the same card.
      record.recovered = 1;
      rig_->card.restorePower();
      rig_->bus.window = &rig_->card;
      const uint64_t violationsBefore = rig_->violations();
      record.recoveryResult = writeFlashImage(rig_->bus, nullptr, config_.image);
      const uint8_t* array = rig_->flash->storedArray();
      record.recoveryBank0 = uint8_t(bankState(array, 0, config_.image, config_.olderImage));
      record.recoveryBank1 =
          uint8_t(bankState(array, kBank1Base, config_.image, config_.olderImage));
      record.recoverySource = uint8_t(rig_->flash->powerUpSource());
      record.recoveryUntouched = untouched(array) ? 1 : 0;
      record.recoveryViolations = rig_->violations() - violationsBefore;
    }
    pool_->finish(&record);
  }

  void received(const CopyRecord& r) {
    const bool marked = r.bank1Marked != 0;
    PowerCutCase& out = result.cases[marked ? 1 : 0];
    ++out.continuations;
    check(r.result != 0, "the update reported success after the power went", r.firstCut, marked);
    check(r.failureSeen != 0, "the update ended without reading the card again", r.firstCut,
          marked);
    check(r.writesAfterFailure == 0, "write cycles after the card was seen gone", r.firstCut,
          marked);
    if (r.recovered == 0) return;
    ++out.recoveries;
    recoveredCuts_.push_back(r.firstCut);
    check(r.recoveryResult == 0, "the recovery update failed", r.firstCut, marked);
    check(r.recoveryBank0 == uint8_t(BankState::New), "after recovery bank 0 lacks the new image",
          r.firstCut, marked);
    check(r.recoveryBank1 == uint8_t(marked ? BankState::Old : BankState::New),
          "after recovery bank 1 is not as it should be", r.firstCut, marked);
    check(r.recoverySource == uint8_t(PowerUpSource::Bank0),
          "after recovery the card does not start from bank 0", r.firstCut, marked);
    check(r.recoveryUntouched != 0, "the recovery changed sector 3 or 7", r.firstCut, marked);
    check(r.recoveryViolations == 0, "protocol violation in the recovery", r.firstCut, marked);
  }

  void finishCase(PowerCutCase& out) {
    std::sort(recoveredCuts_.begin(), recoveredCuts_.end());
    out.cuts = cutIndexes_.size();
    bool anyNone = false;
    for (size_t i = 0; i < cutIndexes_.size(); ++i) {
      const uint64_t n = cutIndexes_[i];
      const auto source = PowerUpSource(cutSources_[i]);
      auto phase = std::upper_bound(out.phases.begin(), out.phases.end(), n,
                                    [](uint64_t v, const CutPhase& p) { return v <= p.start; });
      CutPhase* p = phase == out.phases.begin() ? nullptr : &*(phase - 1);
      if (p != nullptr) ++p->cuts;
      if (source == PowerUpSource::Bank0) ++out.startsBank0;
      if (source == PowerUpSource::Bank1) ++out.startsBank1;
      if (source == PowerUpSource::None) {
        ++out.startsNone;
        if (p != nullptr) ++p->noStart;
        if (!anyNone) out.windowFirst = n;
        out.windowLast = n;
        anyNone = true;
      }
    }
    for (uint64_t n : recoveredCuts_) {
      auto phase = std::upper_bound(out.phases.begin(), out.phases.end(), n,
                                    [](uint64_t v, const CutPhase& p) { return v <= p.start; });
      if (phase != out.phases.begin()) ++(phase - 1)->recoveries;
    }
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
      if (config_.recoveries > 0) {
        check(phase.recoveries > 0, "a phase without a recovery", phase.start, marked);
      }
    }
    cutIndexes_.clear();
    cutSources_.clear();
    recoveredCuts_.clear();
  }

  const PowerCutConfig& config_;
  bool bank1Marked_ = false;
  uint64_t total_ = 0;
  std::vector<uint64_t> cuts_;
  std::vector<uint64_t> recoveries_;
  size_t nextCut_ = 0;
  size_t nextRecovery_ = 0;

  FlashRig* rig_ = nullptr;
  CutWindow* window_ = nullptr;
  ForkPool* pool_ = nullptr;
  SplitRun* split_ = nullptr;
  int mainResult_ = -1;
  uint64_t groupFirst_ = 0;
  uint64_t groupCount_ = 0;
  uint64_t recoveryCut_ = 0;

  uint64_t bank0EraseIndex_ = 0;
  uint64_t eraseNs_ = 0;
  uint64_t markerCycleNs_ = 0;
  uint64_t markerDoneIndex_ = 0;
  const PhaseTracker* tracker_ = nullptr;

 private:
  std::vector<uint64_t> cutIndexes_;
  std::vector<uint8_t> cutSources_;
  std::vector<uint64_t> recoveredCuts_;
};

}  // namespace

PowerCutResult runPowerCutCampaign(const PowerCutConfig& config) {
  Campaign campaign(config);
  campaign.runCase(false);
  campaign.runCase(true);
  return campaign.result;
}

void printPowerCutReport(const PowerCutResult& result, std::FILE* out) {
  for (const PowerCutCase& c : result.cases) {
    std::fprintf(out,
                 "bank 1 %s: update of %llu accesses, %.3f s; %llu cut points, %llu copies "
                 "followed the program after a cut, %llu recoveries\n",
                 c.bank1Marked ? "marked" : "blank", static_cast<unsigned long long>(c.accesses),
                 c.seconds, static_cast<unsigned long long>(c.cuts),
                 static_cast<unsigned long long>(c.continuations),
                 static_cast<unsigned long long>(c.recoveries));
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
