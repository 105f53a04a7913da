#include "sim/campaign/power_cut_campaign.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "sim/campaign/cut_engine.hpp"
#include "sim/campaign/flash_campaign.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {
namespace {

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
    if (address == kUnlockAddress1 && data == kUnlockData1 && commands_.lastData != kEraseCommand) {
      commandStart_ = index;
    }
    if (data == kResetCommand && phases.empty()) begin(Kind::Reset, 0, index);
    const FlashCommandDecoder::Cycle cycle = commands_.write(address, data);
    if (cycle == FlashCommandDecoder::Cycle::SectorErase) {
      const uint32_t sector = address >> 16;
      begin(Kind::EraseCommand, sector, commandStart_);
      // Six cycles of three accesses each.
      everyAccess.emplace_back(commandStart_, commandStart_ + 17);
      if (sector == 0 && bank0EraseIndex == 0) bank0EraseIndex = index;
      sector_ = sector;
    } else if (cycle == FlashCommandDecoder::Cycle::ProgramByte) {
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
  FlashCommandDecoder commands_;
  uint32_t lastProgrammed_ = 0xFFFFFFFF;
};

bool untouched(const uint8_t* array) {
  for (uint32_t i = 0; i < SimNorFlash::kSectorSize; ++i) {
    if (array[kSector3 + i] != kSector3Fill || array[kSector7 + i] != kSector7Fill) return false;
  }
  return true;
}

SimNorFlash& flashOf(CutMachine& pc) { return static_cast<SimNorFlash&>(*pc.card().flash()); }

const CutRules kRules{
    "the update did not show \"Failed\" after the power went",
    "the update",
    {"the recovery", "the second update"},
    {"after %s bank 0 lacks the new image", "after %s bank 1 is not as it should be",
     "after %s the card does not start from bank 0", "%s changed sector 3 or 7"},
    true};

class Campaign final : public CutCampaign {
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

  void runCase(bool bank1Marked) {
    PowerCutCase& out = result_.cases[bank1Marked ? 1 : 0];
    out.bank1Marked = bank1Marked_ = bank1Marked;
    const MainLinePlan plan = planRun(out);

    // The main line, that the cuts are taken from.
    CutEngine engine(*this, kRules, verdicts_);
    std::vector<size_t> phaseOf(cuts_.size());
    for (size_t i = 0; i < cuts_.size(); ++i) phaseOf[i] = phaseIndex(out.phases, cuts_[i]);
    engine.plan(std::move(phaseOf), out.phases.size(), config_.recoveries);
    auto pc = freshPc();
    CutWindow window(pc->card(), kFlashReadBackRegister);
    size_t next = 0;
    window.afterAccess = [&](uint64_t index) {
      if (next < cuts_.size() && cuts_[next] == index) cutAt(engine, *pc, out, cuts_[next++]);
    };
    pc->setWindow(&window);
    const CutMachine::Press press =
        engine.runMainLine(*pc, window, nullptr, config_.press, config_.jobs);
    engine.judgeMainLine(
        press, *pc, plan,
        std::memcmp(flashOf(*pc).storedArray(), planned_.data(), planned_.size()) == 0);
    engine.countInto(out);
    judgeWindow(out);
  }

  void describe(uint64_t cut, char* where, size_t size) const override {
    std::snprintf(where, size, "bank 1 %s, cut after %" PRIu64 " accesses",
                  bank1Marked_ ? "marked" : "blank", cut < cuts_.size() ? cuts_[cut] : 0);
  }

  std::unique_ptr<CutMachine> freshPc(CutMachine& cut) const override {
    return machineWith(std::make_unique<SimNorFlash>(flashOf(cut)));
  }

  uint32_t state(CutMachine& pc) const override { return stateOf(flashOf(pc)); }

  uint64_t violations(CutMachine& pc) const override {
    return pc.card().violationCount() + flashOf(pc).violationCount();
  }

  uint32_t recoveryHeld(CutMachine& pc) const override {
    const SimNorFlash& flash = flashOf(pc);
    const BankState bank1 = bank1Marked_ ? BankState::Old : BankState::New;
    return uint32_t(flash.bankState(0, image_, olderImage_) == BankState::New) |
           uint32_t(flash.bankState(1, image_, olderImage_) == bank1) << 1 |
           uint32_t(flash.powerUpSource() == PowerUpSource::Bank0) << 2 |
           uint32_t(untouched(flash.storedArray())) << 3;
  }

 private:
  void check(bool holds, const char* what, uint64_t access) {
    char where[64];
    std::snprintf(where, sizeof where, "bank 1 %s, cut after %" PRIu64 " accesses",
                  bank1Marked_ ? "marked" : "blank", access);
    verdicts_.check(holds, what, where);
  }

  std::unique_ptr<CutMachine> machineWith(std::unique_ptr<SimNorFlash> flash) const {
    auto pc = std::make_unique<CutMachine>(config_.revision, config_.isCardBus);
    pc->card().attachFlash(std::move(flash));
    return pc;
  }

  // A simulated PC whose card holds the older image, in bank 1 too if marked.
  std::unique_ptr<CutMachine> freshPc() const {
    auto flash = std::make_unique<SimNorFlash>(config_.timing);
    flash->loadMarkedImage(0, olderImage_.data, uint32_t(olderImage_.size));
    if (bank1Marked_) flash->loadMarkedImage(1, olderImage_.data, uint32_t(olderImage_.size));
    flash->fill(kSector3, SimNorFlash::kSectorSize, kSector3Fill);
    flash->fill(kSector7, SimNorFlash::kSectorSize, kSector7Fill);
    return machineWith(std::move(flash));
  }

  // A first run names the phases, places the cut points, finds the window's
  // ends, and sets what the main line must come to.
  MainLinePlan planRun(PowerCutCase& out) {
    auto pc = freshPc();
    PhaseTracker tracker(uint32_t(image_.size), config_.edgeBytes);
    CutWindow window(pc->card(), kFlashReadBackRegister);
    uint64_t eraseNs = 0, markerCycleNs = 0;
    markerDone_ = 0;
    window.onWrite = [&](uint64_t index, uint32_t offset, uint32_t value) {
      tracker.write(index, offset, value);
    };
    window.afterAccess = [&](uint64_t index) {
      const uint64_t now = pc->clock.nowNs();
      if (index == tracker.bank0EraseIndex && eraseNs == 0) eraseNs = now;
      if (index == tracker.bank0MarkerIndex && markerCycleNs == 0) markerCycleNs = now;
      if (markerCycleNs != 0 && markerDone_ == 0 &&
          now >= markerCycleNs + config_.timing.programNs) {
        markerDone_ = index;
      }
    };
    pc->setWindow(&window);
    const CutMachine::Press press = pc->pressUpdate(config_.press);
    total_ = pc->card().accessCount();
    tracker.finish(total_);
    checkPress(verdicts_, press, "the update without a cut", "planning run");
    judgeFinished(*pc, "the update without a cut");
    const uint8_t* array = flashOf(*pc).storedArray();
    planned_.assign(array, array + SimNorFlash::kSize);
    out.accesses = total_;
    out.seconds = double(pc->clock.nowNs()) / 1e9;
    out.phases = tracker.phases;
    bank0Erase_ = tracker.bank0EraseIndex;
    // The window lies from the access starting the erase of sector 0 to the
    // last before bank 0's marker is in (to the end, should it never come).
    out.expectedFirst = bank0Erase_;
    out.expectedLast = markerDone_ != 0 ? markerDone_ - 1 : total_ - 1;
    if (markerCycleNs != 0 && eraseNs != 0) {
      out.windowSeconds = double(markerCycleNs + config_.timing.programNs - eraseNs) / 1e9;
    }
    place(tracker);
    return {total_, pc->clock.nowNs(), press.shown};
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
  }

  static size_t phaseIndex(const std::vector<CutPhase>& phases, uint64_t n) {
    auto phase = std::upper_bound(phases.begin(), phases.end(), n,
                                  [](uint64_t v, const CutPhase& p) { return v <= p.start; });
    return phase == phases.begin() ? 0 : size_t(phase - phases.begin()) - 1;
  }

  // The flash after an update that showed "Success", judged as a recovery's.
  void judgeFinished(CutMachine& pc, const char* what) {
    const uint32_t held = recoveryHeld(pc);
    char name[128];
    for (size_t i = 0; i < kRules.recoveryJudgements.size(); ++i) {
      std::snprintf(name, sizeof name, kRules.recoveryJudgements[i], what);
      check((held >> i & 1) != 0, name, total_);
    }
  }

  uint32_t stateOf(const SimNorFlash& flash) const {
    return uint32_t(flash.bankState(0, image_, olderImage_)) |
           uint32_t(flash.bankState(1, image_, olderImage_)) << 4 |
           uint32_t(flash.powerUpSource()) << 8;
  }

  // Judges the card as it would power up after a cut after access `index`.
  void cutAt(CutEngine& engine, CutMachine& pc, PowerCutCase& out, uint64_t index) {
    const uint64_t now = pc.clock.nowNs();
    SimNorFlash copy(flashOf(pc));
    copy.powerLost(now);
    const BankState bank0 = copy.bankState(0, image_, olderImage_);
    const BankState bank1 = copy.bankState(1, image_, olderImage_);
    const PowerUpSource source = copy.powerUpSource();
    check(bank0 != BankState::Partial && bank1 != BankState::Partial,
          "a marked bank holds a partial image", index);
    if (bank1Marked_) check(bank1 == BankState::Old, "the marked bank 1 changed", index);
    check(untouched(copy.storedArray()), "sector 3 or 7 changed", index);
    // Before the erase of sector 0 the card starts from its old bank 0, after
    // bank 0's marker from the new one; in between from bank 1 if it is marked.
    PowerUpSource expected = PowerUpSource::Bank0;
    BankState expected0 = BankState::New;
    if (bank0Erase_ == 0 || index < bank0Erase_) {
      expected0 = BankState::Old;
    } else if (markerDone_ == 0 || index < markerDone_) {
      expected = bank1Marked_ ? PowerUpSource::Bank1 : PowerUpSource::None;
      expected0 = BankState::Unmarked;
    }
    char what[96];
    std::snprintf(what, sizeof what, "the card starts from %s, not from %s",
                  powerUpSourceName(source), powerUpSourceName(expected));
    check(source == expected, source == expected ? "" : what, index);
    check(bank0 == expected0, "bank 0 is not as it should be at this point", index);
    if (source == PowerUpSource::Bank0) ++out.startsBank0;
    if (source == PowerUpSource::Bank1) ++out.startsBank1;
    if (source == PowerUpSource::None) {
      if (out.startsNone++ == 0) out.windowFirst = index;
      out.windowLast = index;
      ++out.phases[phaseIndex(out.phases, index)].noStart;
    }
    engine.cut(stateOf(copy), false, now);
  }

  void judgeWindow(const PowerCutCase& out) {
    if (out.bank1Marked) {
      check(out.startsNone == 0, "a cut left no bank to start from", 0);
      return;
    }
    // Exactly the span from the erase of sector 0 to bank 0's marker: its
    // ends and the accesses just outside them are cut points.
    check(out.windowFirst == out.expectedFirst && out.windowLast == out.expectedLast,
          "the window without a bank to start from is not the span from the first erase to "
          "the marker",
          out.windowFirst);
    const auto has = [&](uint64_t n) { return std::binary_search(cuts_.begin(), cuts_.end(), n); };
    check(has(out.expectedFirst - 1) && has(out.expectedFirst) && has(out.expectedLast) &&
              has(out.expectedLast + 1),
          "the ends of the window were not cut", out.expectedFirst);
  }

  const PowerCutConfig& config_;
  FlashImage image_{};
  std::vector<uint8_t> older_;
  FlashImage olderImage_{};
  Verdicts verdicts_;
  PowerCutResult result_;
  bool bank1Marked_ = false;
  uint64_t total_ = 0;
  std::vector<uint64_t> cuts_;    // after these accesses, in order
  std::vector<uint8_t> planned_;  // the flash as the planning run left it
  uint64_t bank0Erase_ = 0;       // the access carrying the erase of sector 0
  uint64_t markerDone_ = 0;       // the first access after bank 0's marker is in
};

}  // namespace

PowerCutResult runPowerCutCampaign(const PowerCutConfig& config) {
  Campaign campaign(config);
  if (config.bank1Cases[0]) campaign.runCase(false);
  if (config.bank1Cases[1]) campaign.runCase(true);
  return campaign.result();
}

}  // namespace tarn::sim
