#include "sim/campaign/xsvf_cut_campaign.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "card/registers.hpp"
#include "jtag/jtag_port.hpp"
#include "sim/campaign/cut_machine.hpp"
#include "sim/campaign/fork_pool.hpp"
#include "sim/clock.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "sim/stand_in_device.hpp"

namespace tarn::sim {
namespace {

constexpr int32_t kRevision = 30;  // a card updated through its JTAG chain

enum class Holds : uint8_t { Nothing, Old, New, Partial };

// Where the play is, named by the instruction the device last took.
const char* phaseName(uint8_t instruction, bool enabledSeen, bool rowsSeen) {
  using namespace tarn::standin;
  switch (instruction) {
    case kIdcode:
      return enabledSeen ? "checks" : "identify";
    case kEnable:
      return "enable";
    case kErase:
      return "erase wait";
    case kStatus:
      return "checks";
    case kAddress:
    case kNextPage:
    case kLoadPage:
    case kProgramPage:
      return rowsSeen ? "row programming" : "page programming";
    case kNextRow:
    case kLoadRow:
    case kProgramRow:
      return "row programming";
    case kReadPage:
    case kReadRow:
      return "verify";
    case kSetDone:
      return "done flag";
    case kDisable:
      return "leave programming";
    case kDone:
      return "done check";
    default:
      return "other";
  }
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

enum Recovery : uint8_t { kNoRecovery, kFreshPc, kSamePc };

// What a copy of the process reports after following the player past a cut.
struct CopyRecord {
  uint64_t index;  // the first cut it stands for
  uint64_t offsetNs;
  uint64_t cutCount;
  uint64_t recoveryViolations;
  CutMachine::Press cutPress;
  CutMachine::Press recoveryPress;
  uint8_t recovery;    // a Recovery
  uint8_t allHeldNew;  // the device held the new image at every cut it stands for
  uint8_t startedAfterRelease;
  uint8_t holdsAfterRelease;
  uint8_t startsAtPowerUp;
  uint8_t holdsAtPowerUp;
  uint8_t phase;
};

// The program's sleeps, with cuts taken inside them.
class CutSystem final : public SystemServices {
 public:
  explicit CutSystem(SimSystem& inner) : inner_(inner) {}
  void sleep(uint32_t milliseconds) override {
    if (beforeSleep != nullptr) beforeSleep(owner, milliseconds);
    inner_.sleep(milliseconds);
  }
  void outputDebugString(const char* text) override { inner_.outputDebugString(text); }

  void* owner = nullptr;
  void (*beforeSleep)(void*, uint32_t) = nullptr;

 private:
  SimSystem& inner_;
};

// A simulated PC whose card (of a revision below 50) holds `device` on its
// chain, the updater's own update pressed on it.
struct XsvfMachine {
  XsvfMachine(int32_t isCardBus, std::unique_ptr<StandInDevice> owned)
      : machine(kRevision, isCardBus) {
    device = owned.get();
    machine.card().attachJtag(std::move(owned));
  }
  CutMachine machine;
  StandInDevice* device = nullptr;
};

// A main line's PC: its card's window and its sleeps pass through the cut
// points, whose hooks are `owner`'s.
struct CutPc {
  CutPc(int32_t isCardBus, std::unique_ptr<StandInDevice> owned, void* owner)
      : pc(isCardBus, std::move(owned)),
        window(pc.machine.card(), kStatusRegister),
        system(pc.machine.simSystem) {
    pc.machine.setWindow(&window);
    pc.machine.setSystem(&system);
    window.owner = owner;
    system.owner = owner;
  }
  XsvfMachine pc;
  CutWindow window;
  CutSystem system;
};

class Campaign {
 public:
  explicit Campaign(const XsvfCutConfig& config) : config_(config) { verdicts_.log = config.log; }

  XsvfCutResult result;

  void check(bool holds, const char* what, const CutPoint& cut) {
    char where[64];
    std::snprintf(where, sizeof where, "cut after %llu accesses and %llu ns",
                  static_cast<unsigned long long>(cut.index),
                  static_cast<unsigned long long>(cut.offsetNs));
    verdicts_.check(holds, what, where);
  }

  void run() {
    planRun();
    cutRun();
    report();
    result.checks = verdicts_.checks;
    result.broken = verdicts_.broken;
    result.notes = verdicts_.notes;
    result.brokenNames = verdicts_.names;
  }

 private:
  // A first play: the new image, the phases, the sleeps, and where the
  // window must lie.
  void planRun() {
    // What the card held before: any whole image other than the new one.
    oldImage_ = StandInDevice().array();
    for (size_t i = 0; i < oldImage_.size(); ++i) oldImage_[i] = uint8_t(i * 7 + 0x5A);
    CutPc cut(config_.isCardBus, oldDevice(), this);
    XsvfMachine& pc = cut.pc;
    pc_ = &pc;
    cut.window.afterAccess = [](void* self, uint64_t index) {
      static_cast<Campaign*>(self)->observe(index);
    };
    cut.system.beforeSleep = [](void* self, uint32_t ms) {
      auto* c = static_cast<Campaign*>(self);
      c->sleeps_.push_back({c->lastIndex_, c->lastAccessNs_,
                            c->pc_->machine.clock.nowNs() - c->lastAccessNs_,
                            c->pc_->machine.clock.sleepNs(ms)});
    };
    const CutMachine::Press press = pc.machine.pressUpdate(config_.press);
    checkPress(verdicts_, press, "the play without a cut", "planning run");
    check(pc.device->started(), "the card did not start after the play without a cut", {0, 0});
    total_ = pc.machine.card().accessCount();
    plan_.accesses = total_;
    plan_.endNs = pc.machine.clock.nowNs();
    plan_.shown = press.shown;
    result.accesses = total_;
    result.seconds = double(plan_.endNs) / 1e9;
    newImage_ = pc.device->array();
    plan_.started = pc.device->started();
    result.eraseStartNs = eraseStartNs_;
    result.doneFlagNs = doneFlagNs_;
    result.windowSeconds = double(doneFlagNs_ - eraseStartNs_) / 1e9;
    pc_ = nullptr;

    std::set<CutPoint> points;
    for (uint64_t i = 1; i <= config_.spreadCuts; ++i) {
      points.insert({total_ * i / (config_.spreadCuts + 1), 0});
    }
    // Every access around the start of the erase and before the sleep in
    // which the done flag completes; the moments either side of completion.
    for (uint64_t n = eraseStartIndex_ - 8; n <= eraseStartIndex_ + 8; ++n) points.insert({n, 0});
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

    std::vector<size_t> phaseOf(cuts_.size());
    for (size_t i = 0; i < cuts_.size(); ++i) phaseOf[i] = phaseAt(cuts_[i].index);
    const std::vector<size_t> chosen =
        pickRecoveries(phaseOf, phaseNames_.size(), config_.recoveries);
    recoveryCuts_.clear();
    for (size_t i : chosen) recoveryCuts_.push_back(cuts_[i]);
    std::sort(recoveryCuts_.begin(), recoveryCuts_.end());
  }

  // After access `index` of the first play: phases and the window's ends.
  void observe(uint64_t index) {
    const uint64_t now = pc_->machine.clock.nowNs();
    lastIndex_ = index;
    lastAccessNs_ = now;
    const uint8_t instruction = pc_->device->instruction();
    const uint64_t running = pc_->device->stepRunningSinceNs();
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

  std::unique_ptr<StandInDevice> oldDevice() const {
    auto device = std::make_unique<StandInDevice>();
    device->preload(oldImage_, true);
    return device;
  }

  void cutRun() {
    CutPc cut(config_.isCardBus, oldDevice(), this);
    XsvfMachine& pc = cut.pc;
    pc_ = &pc;
    window_ = &cut.window;
    system_ = &cut.system;
    cut.window.afterAccess = [](void* self, uint64_t index) {
      static_cast<Campaign*>(self)->afterAccess(index);
    };
    cut.window.beforeAnswer = [](void* self) { static_cast<Campaign*>(self)->beforeSample(); };
    cut.system.beforeSleep = [](void* self, uint32_t ms) {
      static_cast<Campaign*>(self)->inSleep(ms);
    };
    result.phases.clear();
    for (const std::string& name : phaseNames_) result.phases.push_back({name, 0, 0, 0});

    ForkPool pool(sizeof(CopyRecord), config_.jobs, [this](uint64_t, const void* record) {
      received(*static_cast<const CopyRecord*>(record));
    });
    pool_ = &pool;
    lastIndex_ = 0;
    lastAccessNs_ = 0;
    const CutMachine::Press press = pc.machine.pressUpdate(config_.press);
    if (pool.inCopy()) finishCopy(press);

    // The cuts after the player's last look at TDO: it cannot tell them from
    // no cut, so the main line's own ending is theirs.
    if (groupCount_ > 0) {
      ++continuationsStarted_;
      received(groupRecord(press));
      groupCount_ = 0;
    }

    // The main line made the planned play, whatever its copies did.
    const CutPoint end{total_, 0};
    check(pc.machine.card().accessCount() == plan_.accesses,
          "the main line ended with another access count than the plan", end);
    check(pc.machine.clock.nowNs() == plan_.endNs,
          "the main line ended at another virtual time than the plan", end);
    check(press.shown == plan_.shown, "the main line ended with another result than the plan", end);
    check(pc.device->started() == plan_.started && pc.device->array() == newImage_,
          "the main line left the device otherwise than the plan", end);
    check(pc.machine.card().violationCount() == 0, "access-protocol violation", end);
    check(nextCut_ == cuts_.size() && result.cuts == cuts_.size(), "a planned cut was not taken",
          end);
    check(nextRecovery_ == recoveryCuts_.size(), "a planned recovery was not started", end);
    pool.drain();
    for (const std::string& failure : pool.failures()) {
      check(false, ("a copy was lost: " + failure).c_str(), {0, 0});
    }
    check(pool.failureCount() == 0 && pool.received() == pool.started(),
          "not every copy reported back", {0, 0});
    check(result.continuations == continuationsStarted_ &&
              result.recoveries + result.secondPlays == recoveriesStarted_,
          "the reports do not match the copies started", {0, 0});
    pool_ = nullptr;
    pc_ = nullptr;
    window_ = nullptr;
    system_ = nullptr;
  }

  void afterAccess(uint64_t index) {
    if (window_->dead) return;
    lastIndex_ = index;
    lastAccessNs_ = pc_->machine.clock.nowNs();
    while (nextCut_ < cuts_.size() && cuts_[nextCut_].index == index &&
           cuts_[nextCut_].offsetNs == 0) {
      cutAt(cuts_[nextCut_++], lastAccessNs_);
    }
  }

  void inSleep(uint32_t ms) {
    if (window_->dead) return;  // a continuation, or a copy that lost its card
    const uint64_t from = pc_->machine.clock.nowNs();
    const uint64_t to = from + pc_->machine.clock.sleepNs(ms);
    while (nextCut_ < cuts_.size() && cuts_[nextCut_].index == lastIndex_) {
      const uint64_t at = lastAccessNs_ + cuts_[nextCut_].offsetNs;
      if (at < from || at >= to) break;
      ++result.cutsInSleeps;
      cutAt(cuts_[nextCut_++], at);
    }
  }

  Holds holds(const StandInDevice& device) const {
    if (!device.started()) return Holds::Nothing;
    if (device.array() == newImage_) return Holds::New;
    if (device.array() == oldImage_) return Holds::Old;
    return Holds::Partial;
  }

  void cutAt(const CutPoint& cut, uint64_t atNs) {
    StandInDevice copy(*pc_->device);
    copy.powerLost(atNs);
    const Holds now = holds(copy);
    ++result.cuts;
    const size_t phase = phaseAt(cut.index);
    ++result.phases[phase].cuts;
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
      ++result.startsNone;
      ++result.phases[phase].noStart;
      if (result.startsNone == 1) {
        result.windowFirstAccess = cut.index;
        result.windowFirstNs = cut.offsetNs;
        windowFirstAt_ = atNs;
      }
      result.windowLastAccess = cut.index;
      result.windowLastNs = cut.offsetNs;
      windowLastAt_ = atNs;
    }
    if (groupCount_ == 0) {
      groupFirst_ = cut;
      groupAllNew_ = true;
    }
    ++groupCount_;
    groupAllNew_ = groupAllNew_ && now == Holds::New;

    if (nextRecovery_ < recoveryCuts_.size() && recoveryCuts_[nextRecovery_] == cut) {
      // Every other one on a fresh PC, the others in the same process.
      const Recovery kind = nextRecovery_ % 2 == 0 ? kFreshPc : kSamePc;
      ++nextRecovery_;
      ++recoveriesStarted_;
      if (pool_->split(cut.index)) {
        recoveryCut_ = cut;
        recoveryKind_ = kind;
        groupFirst_ = cut;
        groupCount_ = 1;
        groupAllNew_ = now == Holds::New;
        pc_->machine.card().cutPowerAt(atNs);
        window_->dead = true;
      }
    }
  }

  void beforeSample() {
    if (groupCount_ == 0) return;
    // A copy follows the player as if the power went anywhere since its last
    // look at TDO: it cannot tell those cuts apart.
    ++continuationsStarted_;
    if (pool_->split(groupFirst_.index)) {
      window_->dead = true;
      return;
    }
    groupCount_ = 0;
  }

  // What the cuts of the open group share: where the first lies, how many,
  // and how the play that lost its power ended.
  CopyRecord groupRecord(const CutMachine::Press& press) const {
    CopyRecord record{};
    record.index = groupFirst_.index;
    record.offsetNs = groupFirst_.offsetNs;
    record.cutCount = groupCount_;
    record.cutPress = press;
    record.allHeldNew = groupAllNew_ ? 1 : 0;
    return record;
  }

  // In a copy, once the play that lost its power has ended.
  [[noreturn]] void finishCopy(const CutMachine::Press& press) {
    CopyRecord record = groupRecord(press);
    record.phase = uint8_t(phaseAt(groupFirst_.index));
    record.recovery = recoveryKind_;
    if (recoveryKind_ == kFreshPc) {
      // The owner switches off and on, starts the program and presses Update.
      XsvfMachine fresh(config_.isCardBus, std::make_unique<StandInDevice>(*pc_->device));
      record.recoveryPress = fresh.machine.pressUpdate(config_.press);
      recordRecovery(record, fresh);
    } else if (recoveryKind_ == kSamePc) {
      // The card's power comes back while the program runs on, its JTAG port
      // value kept from the play that was cut: Update again.
      pc_->machine.card().restorePower();
      window_->plain();
      system_->beforeSleep = nullptr;
      const uint64_t before = pc_->machine.card().violationCount();
      record.recoveryPress = pc_->machine.pressUpdate(config_.press);
      recordRecovery(record, *pc_);
      record.recoveryViolations = pc_->machine.card().violationCount() - before;
    }
    pool_->finish(&record);
  }

  void recordRecovery(CopyRecord& record, XsvfMachine& pc) {
    record.startedAfterRelease = pc.device->started() ? 1 : 0;
    record.holdsAfterRelease = uint8_t(holds(*pc.device));
    StandInDevice later(*pc.device);
    later.powerLost(pc.machine.clock.nowNs() + 1000000u);
    record.startsAtPowerUp = later.started() ? 1 : 0;
    record.holdsAtPowerUp = uint8_t(holds(later));
    record.recoveryViolations = pc.machine.card().violationCount();
  }

  void received(const CopyRecord& r) {
    const CutPoint cut{r.index, r.offsetNs};
    if (r.recovery == kNoRecovery) ++result.continuations;
    if (r.cutPress.shown == 0) result.successAfterCut += r.cutCount;
    check(r.cutPress.shown != 0 || r.allHeldNew != 0,
          "a cut play showed \"Success\" before the device held the new image", cut);
    check(r.cutPress.shown != -1 && r.cutPress.brackets == 1 && r.cutPress.openBrackets == 0 &&
              r.cutPress.updateEnds == 1 && r.cutPress.released,
          "the play that lost its power did not end, close its brackets and release", cut);
    if (r.recovery == kNoRecovery) return;
    if (r.recovery == kFreshPc) ++result.recoveries;
    if (r.recovery == kSamePc) ++result.secondPlays;
    ++result.phases[r.phase].recoveries;
    const char* what = r.recovery == kFreshPc ? "the new play after the cut" : "the second play";
    char where[64];
    std::snprintf(where, sizeof where, "cut after %llu accesses and %llu ns",
                  static_cast<unsigned long long>(cut.index),
                  static_cast<unsigned long long>(cut.offsetNs));
    checkPress(verdicts_, r.recoveryPress, what, where);
    char name[128];
    std::snprintf(name, sizeof name, "after %s the card did not start with the new image", what);
    check(r.startedAfterRelease != 0 && r.holdsAfterRelease == uint8_t(Holds::New), name, cut);
    std::snprintf(name, sizeof name, "after %s the card does not power up with the new image",
                  what);
    check(r.startsAtPowerUp != 0 && r.holdsAtPowerUp == uint8_t(Holds::New), name, cut);
    std::snprintf(name, sizeof name, "access-protocol violation in %s", what);
    check(r.recoveryViolations == 0, name, cut);
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
    for (const XsvfCutPhase& phase : result.phases) {
      check(phase.cuts > 0, "a phase without a cut", {0, 0});
      if (config_.recoveries >= result.phases.size()) {
        check(phase.recoveries > 0, "a phase without a recovery", {0, 0});
      }
    }
  }

  struct Plan {
    uint64_t accesses = 0;
    uint64_t endNs = 0;
    int32_t shown = -1;
    bool started = false;
  };

  const XsvfCutConfig& config_;
  Verdicts verdicts_;
  Plan plan_;
  XsvfMachine* pc_ = nullptr;
  CutWindow* window_ = nullptr;
  CutSystem* system_ = nullptr;
  ForkPool* pool_ = nullptr;
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
  std::vector<CutPoint> recoveryCuts_;
  size_t nextCut_ = 0;
  size_t nextRecovery_ = 0;
  uint64_t continuationsStarted_ = 0;
  uint64_t recoveriesStarted_ = 0;
  CutPoint groupFirst_{0, 0};
  uint64_t groupCount_ = 0;
  bool groupAllNew_ = true;
  CutPoint recoveryCut_{0, 0};
  Recovery recoveryKind_ = kNoRecovery;
};

}  // namespace

XsvfCutResult runXsvfCutCampaign(const XsvfCutConfig& config) {
  Campaign campaign(config);
  campaign.run();
  return campaign.result;
}

void printXsvfCutReport(const XsvfCutResult& r, std::FILE* out) {
  std::fprintf(out,
               "play of %llu accesses, %.3f s; %llu cut points (%llu inside sleeps), %llu "
               "continuations followed the player after a cut, %llu new plays after a cut on a "
               "fresh PC, %llu in the same process\n",
               static_cast<unsigned long long>(r.accesses), r.seconds,
               static_cast<unsigned long long>(r.cuts),
               static_cast<unsigned long long>(r.cutsInSleeps),
               static_cast<unsigned long long>(r.continuations),
               static_cast<unsigned long long>(r.recoveries),
               static_cast<unsigned long long>(r.secondPlays));
  for (const XsvfCutPhase& p : r.phases) {
    std::fprintf(
        out, "  %-18s %6llu cuts, %4llu new plays, %6llu left a card that does not start\n",
        p.name.c_str(), static_cast<unsigned long long>(p.cuts),
        static_cast<unsigned long long>(p.recoveries), static_cast<unsigned long long>(p.noStart));
  }
  std::fprintf(out,
               "  the card started with the old image after %llu cuts, the new after %llu, not "
               "at all after %llu; %llu cut plays ended in 0, each cut after the done flag was "
               "in place\n",
               static_cast<unsigned long long>(r.startsOld),
               static_cast<unsigned long long>(r.startsNew),
               static_cast<unsigned long long>(r.startsNone),
               static_cast<unsigned long long>(r.successAfterCut));
  std::fprintf(out,
               "  window in which a cut leaves a card that does not start: cuts after access "
               "%llu to %llu (+%llu ns), %llu accesses, %.3f s (erase start at %.6f s to done "
               "flag at %.6f s)\n",
               static_cast<unsigned long long>(r.windowFirstAccess),
               static_cast<unsigned long long>(r.windowLastAccess),
               static_cast<unsigned long long>(r.windowLastNs),
               static_cast<unsigned long long>(r.windowLastAccess - r.windowFirstAccess + 1),
               r.windowSeconds, double(r.eraseStartNs) / 1e9, double(r.doneFlagNs) / 1e9);
  std::fprintf(out, "invariant checks %llu, broken %llu\n",
               static_cast<unsigned long long>(r.checks),
               static_cast<unsigned long long>(r.broken));
}

}  // namespace tarn::sim
