#include "sim/campaign/xsvf_cut_campaign.hpp"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <set>

#include "sim/campaign/cut_engine.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/stand_in_device.hpp"

namespace tarn::sim {
namespace {

constexpr int32_t kRevision = 30;  // a card updated through its JTAG chain

enum class Holds : uint8_t { Nothing, Old, New, Partial };

// Where the play is, named by the instruction the device last took.
const char* phaseName(uint8_t instruction, bool enabledSeen, bool rowsSeen) {
  using namespace tarn::standin;
  static const struct {
    uint8_t instruction;
    const char* name;
  } kNames[] = {{kEnable, "enable"},           {kErase, "erase wait"},
                {kStatus, "checks"},           {kNextRow, "row programming"},
                {kLoadRow, "row programming"}, {kProgramRow, "row programming"},
                {kReadPage, "verify"},         {kReadRow, "verify"},
                {kSetDone, "done flag"},       {kDisable, "leave programming"},
                {kDone, "done check"}};
  if (instruction == kIdcode) return enabledSeen ? "checks" : "identify";
  if (instruction == kAddress || instruction == kNextPage || instruction == kLoadPage ||
      instruction == kProgramPage) {
    return rowsSeen ? "row programming" : "page programming";
  }
  for (const auto& entry : kNames) {
    if (entry.instruction == instruction) return entry.name;
  }
  return "other";
}

struct CutPoint {
  uint64_t index;     // after this many accesses
  uint64_t offsetNs;  // and this long after the last of them (inside a sleep)
  bool operator<(const CutPoint& o) const {
    return index != o.index ? index < o.index : offsetNs < o.offsetNs;
  }
  bool operator==(const CutPoint& o) const { return index == o.index && offsetNs == o.offsetNs; }
};

struct SleepSpan {
  uint64_t index;
  uint64_t accessNs;  // the time of that last access
  uint64_t fromNs;    // after it
  uint64_t lengthNs;
};

StandInDevice& deviceOf(CutMachine& pc) { return static_cast<StandInDevice&>(*pc.card().jtag()); }

std::unique_ptr<CutMachine> machineWith(int32_t isCardBus, std::unique_ptr<StandInDevice> device) {
  auto pc = std::make_unique<CutMachine>(kRevision, isCardBus);
  pc->card().attachJtag(std::move(device));
  return pc;
}

const CutRules kRules{"a cut play showed \"Success\" before the device held the new image",
                      "the play",
                      {"the new play after the cut", "the second play"},
                      {"after %s the card did not start with the new image",
                       "after %s the card does not power up with the new image"},
                      false};

class Campaign final : public CutCampaign {
 public:
  explicit Campaign(const XsvfCutConfig& config) : config_(config) { verdicts_.log = config.log; }

  XsvfCutResult result;

  void check(bool holds, const char* what, const CutPoint& cut) {
    char where[64];
    std::snprintf(where, sizeof where, "cut after %" PRIu64 " accesses and %" PRIu64 " ns",
                  cut.index, cut.offsetNs);
    verdicts_.check(holds, what, where);
  }

  void run() {
    // What the card held before: any whole image other than the new one.
    oldImage_ = StandInDevice().array();
    for (size_t i = 0; i < oldImage_.size(); ++i) oldImage_[i] = uint8_t(i * 7 + 0x5A);
    planRun();
    cutRun();
    report();
    result.checks = verdicts_.checks;
    result.broken = verdicts_.broken;
    result.notes = verdicts_.notes;
    result.brokenNames = verdicts_.names;
  }

  void describe(uint64_t cut, char* where, size_t size) const override {
    const CutPoint point = cut < cuts_.size() ? cuts_[cut] : CutPoint{0, 0};
    std::snprintf(where, size, "cut after %" PRIu64 " accesses and %" PRIu64 " ns", point.index,
                  point.offsetNs);
  }

  std::unique_ptr<CutMachine> freshPc(CutMachine& cut) const override {
    return machineWith(config_.isCardBus, std::make_unique<StandInDevice>(deviceOf(cut)));
  }

  uint32_t state(CutMachine& pc) const override { return stateOf(deviceOf(pc)); }

  uint64_t violations(CutMachine& pc) const override { return pc.card().violationCount(); }

  // The card starts with the new image after the play, and again when it
  // next powers up.
  uint32_t recoveryHeld(CutMachine& pc) const override {
    StandInDevice later(deviceOf(pc));
    later.powerLost(pc.clock.nowNs() + 1000000u);
    return uint32_t(deviceOf(pc).started() && holds(deviceOf(pc)) == Holds::New) |
           uint32_t(later.started() && holds(later) == Holds::New) << 1;
  }

 private:
  // A main line's PC, whose card holds the old image: its card's window and
  // its sleeps pass through the cut points.
  struct MainLine {
    explicit MainLine(const Campaign& campaign)
        : pc(machineWith(campaign.config_.isCardBus, campaign.oldDevice())),
          window(pc->card(), kStatusRegister),
          system(pc->simSystem) {
      pc->setWindow(&window);
      pc->setSystem(&system);
    }
    std::unique_ptr<CutMachine> pc;
    CutWindow window;
    CutSystem system;
  };

  std::unique_ptr<StandInDevice> oldDevice() const {
    auto device = std::make_unique<StandInDevice>();
    device->preload(oldImage_, true);
    return device;
  }

  uint32_t stateOf(const StandInDevice& device) const {
    return uint32_t(holds(device)) | uint32_t(device.started()) << 4;
  }

  // A first play: the new image, the phases, the sleeps, and where the
  // window must lie.
  void planRun() {
    // What the card held before: any whole image other than the new one.
    oldImage_ = StandInDevice().array();
    for (size_t i = 0; i < oldImage_.size(); ++i) oldImage_[i] = uint8_t(i * 7 + 0x5A);
    MainLine line(*this);
    CutMachine& pc = *line.pc;
    line.window.afterAccess = [&](uint64_t index) { observe(pc, index); };
    line.system.beforeSleep = [&](uint32_t ms) {
      sleeps_.push_back(
          {lastIndex_, lastAccessNs_, pc.clock.nowNs() - lastAccessNs_, pc.clock.sleepNs(ms)});
    };
    const CutMachine::Press press = pc.pressUpdate(config_.press);
    checkPress(verdicts_, press, "the play without a cut", "planning run");
    check(deviceOf(pc).started(), "the card did not start after the play without a cut", {0, 0});
    total_ = pc.card().accessCount();
    plan_ = {total_, pc.clock.nowNs(), press.shown};
    result.accesses = total_;
    result.seconds = double(plan_.endNs) / 1e9;
    newImage_ = deviceOf(pc).array();
    result.eraseStartNs = eraseStartNs_;
    result.doneFlagNs = doneFlagNs_;
    result.windowSeconds = double(doneFlagNs_ - eraseStartNs_) / 1e9;

    std::set<CutPoint> points;
    for (uint64_t i = 1; i <= config_.spreadCuts; ++i) {
      points.insert({total_ * i / (config_.spreadCuts + 1), 0});
    }
    // Every access around the start of the erase and before the sleep in
    // which the done flag completes; the moments either side of completion.
    if (eraseStartIndex_ != 0) {
      for (uint64_t n = eraseStartIndex_ > 8 ? eraseStartIndex_ - 8 : 1; n <= eraseStartIndex_ + 8;
           ++n) {
        points.insert({n, 0});
      }
    }
    // The first access of each stretch of a phase, and one in its middle.
    // In the first and last stretch of each phase, more spread over it.
    std::vector<size_t> firstOf(phaseNames_.size(), SIZE_MAX), lastOf(phaseNames_.size());
    for (size_t i = 0; i < phaseStarts_.size(); ++i) {
      const uint64_t from = phaseStarts_[i];
      const uint64_t to = i + 1 < phaseStarts_.size() ? phaseStarts_[i + 1] : total_;
      if (config_.everyStretch || firstOf[phaseIds_[i]] == SIZE_MAX) {
        points.insert({from, 0});
        points.insert({from + (to - from) / 2, 0});
      }
      if (firstOf[phaseIds_[i]] == SIZE_MAX) firstOf[phaseIds_[i]] = i;
      lastOf[phaseIds_[i]] = i;
    }
    for (size_t id = 0; id < phaseNames_.size(); ++id) {
      for (size_t i : {firstOf[id], lastOf[id]}) {
        const uint64_t from = phaseStarts_[i];
        const uint64_t to = i + 1 < phaseStarts_.size() ? phaseStarts_[i + 1] : total_;
        for (uint64_t k = 0; k < config_.stretchCuts; ++k) {
          points.insert({from + (to - from) * k / config_.stretchCuts, 0});
        }
      }
    }
    for (const SleepSpan& s : sleeps_) {
      const uint64_t from = s.fromNs, length = s.lengthNs;
      const uint32_t count = length >= 1000000000u ? 4 * config_.sleepCuts : config_.sleepCuts;
      for (uint32_t k = 1; k <= count; ++k) {
        points.insert({s.index, from + length * k / (count + 1)});
      }
      if (config_.sleepEnds) {
        points.insert({s.index, from + 1});
        points.insert({s.index, from + length - 1});
      }
      const uint64_t start = s.accessNs + from;
      if (doneFlagNs_ > start && doneFlagNs_ < start + length) {
        const uint64_t at = doneFlagNs_ - s.accessNs;
        points.insert({s.index, at - 1});
        points.insert({s.index, at});
        for (uint64_t n = s.index > 16 ? s.index - 16 : 1; n <= s.index; ++n) points.insert({n, 0});
      }
    }
    cuts_.assign(points.begin(), points.end());
    while (!cuts_.empty() && cuts_.back().index >= total_) cuts_.pop_back();
    while (!cuts_.empty() && cuts_.front().index == 0) cuts_.erase(cuts_.begin());
  }

  // After access `index` of the first play: phases and the window's ends.
  void observe(CutMachine& pc, uint64_t index) {
    lastIndex_ = index;
    lastAccessNs_ = pc.clock.nowNs();
    const uint8_t instruction = deviceOf(pc).instruction();
    const uint64_t running = deviceOf(pc).stepRunningSinceNs();
    if (instruction == standin::kEnable) enabledSeen_ = true;
    if (instruction == standin::kLoadRow) rowsSeen_ = true;
    if (instruction == standin::kErase && running != 0 && eraseStartIndex_ == 0) {
      eraseStartIndex_ = index;
      eraseStartNs_ = running;
    }
    if (instruction == standin::kSetDone && running != 0 && doneFlagNs_ == 0) {
      doneFlagNs_ = running + uint64_t(standin::kSetDoneUs) * 1000u;
    }
    const char* name = phaseName(instruction, enabledSeen_, rowsSeen_);
    if (name == lastPhaseName_) return;
    lastPhaseName_ = name;
    if (phaseStarts_.empty() || phaseNames_[phaseIds_.back()] != name) {
      auto it = std::find(phaseNames_.begin(), phaseNames_.end(), name);
      if (it == phaseNames_.end()) it = phaseNames_.insert(phaseNames_.end(), name);
      phaseStarts_.push_back(index);
      phaseIds_.push_back(size_t(it - phaseNames_.begin()));
    }
  }

  size_t phaseAt(uint64_t index) const {
    auto it = std::upper_bound(phaseStarts_.begin(), phaseStarts_.end(), index);
    return it == phaseStarts_.begin() ? 0 : phaseIds_[size_t(it - phaseStarts_.begin()) - 1];
  }

  void cutRun() {
    MainLine line(*this);
    CutMachine& pc = *line.pc;
    result.phases.clear();
    for (const std::string& name : phaseNames_) result.phases.push_back({name, 0, 0, 0});
    CutEngine engine(*this, kRules, verdicts_);
    std::vector<size_t> phaseOf(cuts_.size());
    for (size_t i = 0; i < cuts_.size(); ++i) phaseOf[i] = phaseAt(cuts_[i].index);
    engine.plan(std::move(phaseOf), phaseNames_.size(), config_.recoveries);
    size_t next = 0;
    lastIndex_ = 0;
    lastAccessNs_ = 0;
    line.window.afterAccess = [&](uint64_t index) {
      lastIndex_ = index;
      lastAccessNs_ = pc.clock.nowNs();
      while (next < cuts_.size() && cuts_[next].index == index && cuts_[next].offsetNs == 0) {
        cutAt(engine, pc, cuts_[next++], lastAccessNs_);
      }
    };
    // The cuts inside a sleep, until one of them leaves this process a copy
    // whose card is gone.
    line.system.beforeSleep = [&](uint32_t ms) {
      const uint64_t from = pc.clock.nowNs();
      const uint64_t to = from + pc.clock.sleepNs(ms);
      while (!line.window.dead && next < cuts_.size() && cuts_[next].index == lastIndex_) {
        const uint64_t at = lastAccessNs_ + cuts_[next].offsetNs;
        if (at < from || at >= to) break;
        ++result.cutsInSleeps;
        cutAt(engine, pc, cuts_[next++], at);
      }
    };
    const CutMachine::Press press =
        engine.runMainLine(pc, line.window, &line.system, config_.press, config_.jobs);
    engine.judgeMainLine(press, pc, plan_, deviceOf(pc).array() == newImage_);
    engine.countInto(result);
    result.successAfterCut = engine.successAfterCut;
  }

  Holds holds(const StandInDevice& device) const {
    if (!device.started()) return Holds::Nothing;
    if (device.array() == newImage_) return Holds::New;
    if (device.array() == oldImage_) return Holds::Old;
    return Holds::Partial;
  }

  void cutAt(CutEngine& engine, CutMachine& pc, const CutPoint& cut, uint64_t atNs) {
    StandInDevice copy(deviceOf(pc));
    copy.powerLost(atNs);
    const Holds now = holds(copy);
    check(now != Holds::Partial, "the card starts holding a partial image", cut);
    Holds expected = Holds::New;
    if (atNs <= eraseStartNs_) {
      expected = Holds::Old;
    } else if (atNs < doneFlagNs_) {
      expected = Holds::Nothing;
    }
    check(now == expected, "the card does not start as it should at this point", cut);
    if (now == Holds::Old) ++result.startsOld;
    if (now == Holds::New) ++result.startsNew;
    if (now == Holds::Nothing) {
      ++result.phases[phaseAt(cut.index)].noStart;
      if (result.startsNone++ == 0) {
        result.windowFirstAccess = cut.index;
        result.windowFirstNs = cut.offsetNs;
        windowFirstAt_ = atNs;
      }
      result.windowLastAccess = cut.index;
      result.windowLastNs = cut.offsetNs;
      windowLastAt_ = atNs;
    }
    engine.cut(stateOf(copy), now == Holds::New, atNs);
  }

  void report() {
    // Exactly from the start of the erase to the completion of the done flag:
    // the first cut after the erase started and the last before the flag was
    // in place, with the cuts just outside them starting the card.
    const uint64_t firstAt = windowFirstAt_;
    const uint64_t lastAt = windowLastAt_;
    check(result.windowFirstAccess == eraseStartIndex_ + 1 && result.windowFirstNs == 0,
          "the window does not begin where the erase starts",
          {result.windowFirstAccess, result.windowFirstNs});
    check(lastAt == doneFlagNs_ - 1, "the window does not end where the done flag completes",
          {result.windowLastAccess, result.windowLastNs});
    check(firstAt > eraseStartNs_, "the window begins before the erase",
          {result.windowFirstAccess, result.windowFirstNs});
  }

  const XsvfCutConfig& config_;
  Verdicts verdicts_;
  MainLinePlan plan_;
  uint64_t total_ = 0;
  std::vector<uint8_t> newImage_;
  std::vector<uint8_t> oldImage_;
  std::vector<SleepSpan> sleeps_;
  const char* lastPhaseName_ = nullptr;
  uint64_t windowFirstAt_ = 0;
  uint64_t windowLastAt_ = 0;
  uint64_t lastIndex_ = 0;
  uint64_t lastAccessNs_ = 0;
  bool enabledSeen_ = false;
  bool rowsSeen_ = false;
  uint64_t eraseStartIndex_ = 0;
  uint64_t eraseStartNs_ = 0;
  uint64_t doneFlagNs_ = 0;
  std::vector<std::string> phaseNames_;
  std::vector<uint64_t> phaseStarts_;
  std::vector<size_t> phaseIds_;
  std::vector<CutPoint> cuts_;
};

}  // namespace

XsvfCutResult runXsvfCutCampaign(const XsvfCutConfig& config) {
  Campaign campaign(config);
  campaign.run();
  return campaign.result;
}

}  // namespace tarn::sim
