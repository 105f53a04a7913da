#include "sim/campaign/xsvf_cut_campaign.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "card/registers.hpp"
#include "jtag/jtag_port.hpp"
#include "sim/campaign/fork_pool.hpp"
#include "sim/campaign/split_run.hpp"
#include "sim/clock.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_card.hpp"
#include "sim/sim_system.hpp"
#include "sim/stand_in_device.hpp"
#include "xsvf/player.hpp"

namespace tarn::sim {
namespace {

constexpr size_t kProgramStack = 1u << 20;  // the player's context holds seven 7000-byte buffers

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

struct CopyRecord {
  uint64_t index;
  uint64_t offsetNs;
  int32_t result;
  int32_t recoveryResult;
  uint8_t recovered;
  uint8_t startedAfterRelease;
  uint8_t holdsAfterRelease;
  uint8_t startsAtPowerUp;
  uint8_t holdsAtPowerUp;
  uint8_t phase;
  uint8_t pad[2];
  uint64_t recoveryViolations;
};

// Between the player and the card: passes every access on until this run
// has lost the card, and then answers all ones, as an unpowered card does.
class CutWindow final : public RegisterWindow {
 public:
  explicit CutWindow(SimCard& card) : card_(card) {}

  uint32_t read32(uint32_t offset) override {
    if (dead) return 0xFFFFFFFFu;
    if (offset == kStatusRegister && beforeSample != nullptr) beforeSample(owner);
    if (dead) return 0xFFFFFFFFu;
    const uint32_t value = card_.read32(offset);
    afterAccess(owner, card_.accessCount());
    return value;
  }
  void write32(uint32_t offset, uint32_t value) override {
    if (dead) return;
    card_.write32(offset, value);
    afterAccess(owner, card_.accessCount());
  }

  bool dead = false;
  void* owner = nullptr;
  void (*afterAccess)(void*, uint64_t) = nullptr;
  void (*beforeSample)(void*) = nullptr;

 private:
  SimCard& card_;
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

struct Rig {
  SimClock clock;
  SimCard card{clock};
  SimSystem system{clock};
  StandInDevice* device = nullptr;
  Rig() {
    auto owned = std::make_unique<StandInDevice>();
    device = owned.get();
    card.attachJtag(std::move(owned));
    card.beginSession();
  }
};

XsvfError play(RegisterWindow& window, SystemServices& system, const XsvfCutConfig& config) {
  JtagPort port{8, &window, &system, nullptr};
  XsvfStream stream{config.stream, config.streamSize, 0, 0, nullptr};
  return playXsvf(port, stream, 0, nullptr);
}

class Campaign {
 public:
  explicit Campaign(const XsvfCutConfig& config) : config_(config) {}

  XsvfCutResult result;

  void check(bool holds, const char* what, const CutPoint& cut) {
    ++result.checks;
    if (holds) return;
    ++result.broken;
    char note[160];
    std::snprintf(note, sizeof note, "cut after %llu accesses and %llu ns: %s",
                  static_cast<unsigned long long>(cut.index),
                  static_cast<unsigned long long>(cut.offsetNs), what);
    if (config_.log != nullptr) std::fprintf(config_.log, "BROKEN %s\n", note);
    if (result.notes.size() < 32) result.notes.emplace_back(note);
  }

  void run() {
    planRun();
    cutRun();
    report();
  }

 private:
  // A first play: the new image, the phases, the sleeps, and where the
  // window must lie.
  void planRun() {
    Rig rig;
    rig_ = &rig;
    CutWindow window(rig.card);
    CutSystem system(rig.system);
    window.owner = this;
    window.afterAccess = [](void* self, uint64_t index) {
      static_cast<Campaign*>(self)->observe(index);
    };
    system.owner = this;
    system.beforeSleep = [](void* self, uint32_t ms) {
      auto* c = static_cast<Campaign*>(self);
      c->sleeps_.push_back({c->lastIndex_, c->lastAccessNs_,
                            c->rig_->clock.nowNs() - c->lastAccessNs_, c->rig_->clock.sleepNs(ms)});
    };
    const XsvfError clean = play(window, system, config_);
    check(clean == 0, "the play without a cut failed", {0, 0});
    check(rig.device->started(), "the card did not start after the play without a cut", {0, 0});
    total_ = rig.card.accessCount();
    result.accesses = total_;
    result.seconds = double(rig.clock.nowNs()) / 1e9;
    newImage_ = rig.device->array();
    oldImage_ = newImage_;
    for (size_t i = 0; i < oldImage_.size(); i += 7) oldImage_[i] = uint8_t(oldImage_[i] ^ 0x5A);
    result.eraseStartNs = eraseStartNs_;
    result.doneFlagNs = doneFlagNs_;
    result.windowSeconds = double(doneFlagNs_ - eraseStartNs_) / 1e9;
    rig_ = nullptr;

    std::set<CutPoint> points;
    for (uint64_t i = 1; i <= config_.spreadCuts; ++i) {
      points.insert({total_ * i / (config_.spreadCuts + 1), 0});
    }
    // Every access around the start of the erase and before the sleep in
    // which the done flag completes; the moments either side of completion.
    for (uint64_t n = eraseStartIndex_ - 8; n <= eraseStartIndex_ + 8; ++n) points.insert({n, 0});
    // The first access of each stretch of a phase, and one in its middle.
    // In the first and last stretch of each phase, 32 spread over it.
    std::vector<size_t> firstOf(phaseNames_.size(), SIZE_MAX), lastOf(phaseNames_.size());
    for (size_t i = 0; i < phaseStarts_.size(); ++i) {
      const uint64_t from = phaseStarts_[i];
      const uint64_t to = i + 1 < phaseStarts_.size() ? phaseStarts_[i + 1] : total_;
      points.insert({from, 0});
      points.insert({from + (to - from) / 2, 0});
      if (firstOf[phaseIds_[i]] == SIZE_MAX) firstOf[phaseIds_[i]] = i;
      lastOf[phaseIds_[i]] = i;
    }
    for (size_t id = 0; id < phaseNames_.size(); ++id) {
      for (size_t i : {firstOf[id], lastOf[id]}) {
        const uint64_t from = phaseStarts_[i];
        const uint64_t to = i + 1 < phaseStarts_.size() ? phaseStarts_[i + 1] : total_;
        for (uint64_t k = 0; k < 32; ++k) points.insert({from + (to - from) * k / 32, 0});
      }
    }
    for (const SleepSpan& s : sleeps_) {
      const uint64_t from = s.fromNs, length = s.lengthNs;
      const uint32_t count = length >= 1000000000u ? 4 * config_.sleepCuts : config_.sleepCuts;
      for (uint32_t k = 1; k <= count; ++k) {
        points.insert({s.index, from + length * k / (count + 1)});
      }
      points.insert({s.index, from + 1});
      points.insert({s.index, from + length - 1});
      const uint64_t start = s.accessNs + from;
      if (doneFlagNs_ > start && doneFlagNs_ < start + length) {
        const uint64_t at = doneFlagNs_ - s.accessNs;
        points.insert({s.index, at - 1});
        points.insert({s.index, at});
        for (uint64_t n = s.index > 16 ? s.index - 16 : 1; n <= s.index; ++n) points.insert({n, 0});
        doneFlagIndex_ = s.index;
      }
    }
    cuts_.assign(points.begin(), points.end());
    while (!cuts_.empty() && cuts_.back().index >= total_) cuts_.pop_back();
    while (!cuts_.empty() && cuts_.front().index == 0) cuts_.erase(cuts_.begin());

    // Recoveries: three in every phase, the others evenly over the cuts.
    std::set<size_t> chosen;
    std::vector<std::vector<size_t>> byPhase(phaseNames_.size());
    for (size_t i = 0; i < cuts_.size(); ++i) byPhase[phaseAt(cuts_[i].index)].push_back(i);
    const size_t perPhase =
        config_.recoveries == 0 ? 0 : std::clamp<size_t>(config_.recoveries / byPhase.size(), 1, 3);
    for (const auto& list : byPhase) {
      if (list.empty() || perPhase == 0) continue;
      chosen.insert(list[list.size() / 2]);
      if (perPhase >= 2) chosen.insert(list.front());
      if (perPhase >= 3) chosen.insert(list.back());
    }
    for (uint64_t i = 0; chosen.size() < config_.recoveries && i < cuts_.size(); ++i) {
      chosen.insert(size_t(i * cuts_.size() / std::max<uint32_t>(config_.recoveries, 1)) %
                    cuts_.size());
    }
    recoveryCuts_.clear();
    for (size_t i : chosen) recoveryCuts_.push_back(cuts_[i]);
    std::sort(recoveryCuts_.begin(), recoveryCuts_.end());
  }

  // After access `index` of the first play: phases and the window's ends.
  void observe(uint64_t index) {
    const uint64_t now = rig_->clock.nowNs();
    lastIndex_ = index;
    lastAccessNs_ = now;
    const uint8_t instruction = rig_->device->instruction();
    const uint64_t running = rig_->device->stepRunningSinceNs();
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
    Rig rig;
    rig.device->preload(oldImage_, true);
    rig_ = &rig;
    CutWindow window(rig.card);
    CutSystem system(rig.system);
    window_ = &window;
    window.owner = this;
    window.afterAccess = [](void* self, uint64_t index) {
      static_cast<Campaign*>(self)->afterAccess(index);
    };
    window.beforeSample = [](void* self) { static_cast<Campaign*>(self)->beforeSample(); };
    system.owner = this;
    system.beforeSleep = [](void* self, uint32_t ms) { static_cast<Campaign*>(self)->inSleep(ms); };
    windowPtr_ = &window;
    systemPtr_ = &system;
    result.phases.clear();
    for (const std::string& name : phaseNames_) result.phases.push_back({name, 0, 0, 0});

    ForkPool pool(sizeof(CopyRecord), config_.jobs, [this](const void* record) {
      received(*static_cast<const CopyRecord*>(record));
    });
    pool_ = &pool;
    SplitRun split(kProgramStack);
    split_ = &split;
    lastIndex_ = 0;
    lastAccessNs_ = 0;
    split.run(
        [](void* self) {
          auto* c = static_cast<Campaign*>(self);
          c->programEnded(play(*c->windowPtr_, *c->systemPtr_, c->config_));
        },
        this);
    check(mainResult_ == 0, "the play the cuts were taken from failed", {total_, 0});
    check(rig.device->started() && rig.device->array() == newImage_,
          "the card did not start with the new image after the play", {total_, 0});
    check(rig.card.violationCount() == 0, "access-protocol violation", {total_, 0});
    pool.drain();
    check(pool.lost() == 0, "a copy ended without its report", {0, 0});
    split_ = nullptr;
    pool_ = nullptr;
    rig_ = nullptr;
    window_ = nullptr;
  }

  void afterAccess(uint64_t index) {
    if (window_->dead) return;
    lastIndex_ = index;
    lastAccessNs_ = rig_->clock.nowNs();
    while (nextCut_ < cuts_.size() && cuts_[nextCut_].index == index &&
           cuts_[nextCut_].offsetNs == 0) {
      cutAt(cuts_[nextCut_++], lastAccessNs_);
    }
  }

  void inSleep(uint32_t ms) {
    if (window_->dead) return;  // a continuation, or a copy that lost its card
    const uint64_t from = rig_->clock.nowNs();
    const uint64_t to = from + rig_->clock.sleepNs(ms);
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
    StandInDevice copy(*rig_->device);
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
      ++nextRecovery_;
      if (pool_->split()) {
        recoveryCut_ = cut;
        recoveryPhase_ = phase;
        recoveryAllNew_ = now == Holds::New;
        rig_->card.cutPowerAt(atNs);
        window_->dead = true;
      }
    }
  }

  void beforeSample() {
    if (groupCount_ == 0) return;
    const SimClock clock = rig_->clock;
    const uint64_t sleepCalls = rig_->system.sleepCalls;
    const uint64_t sleptMs = rig_->system.sleptMs;
    if (split_->branch()) {
      window_->dead = true;
      return;
    }
    rig_->clock = clock;
    rig_->system.sleepCalls = sleepCalls;
    rig_->system.sleptMs = sleptMs;
    window_->dead = false;
    groupCount_ = 0;
  }

  void programEnded(XsvfError playResult) {
    if (split_->inBranch()) {
      ++result.continuations;
      if (playResult == 0) result.successAfterCut += groupCount_;
      check(playResult != 0 || groupAllNew_,
            "a cut play ended in 0 before the device held the new image", groupFirst_);
      return;
    }
    if (pool_->inCopy()) finishCopy(playResult);
    mainResult_ = playResult;
  }

  [[noreturn]] void finishCopy(XsvfError cutResult) {
    CopyRecord record{};
    record.index = recoveryCut_.index;
    record.offsetNs = recoveryCut_.offsetNs;
    record.result = cutResult;
    record.phase = uint8_t(recoveryPhase_);
    record.pad[0] = recoveryAllNew_ ? 1 : 0;
    // The power comes back; the user plays the stream again on the same card.
    record.recovered = 1;
    rig_->card.restorePower();
    const uint64_t violations = rig_->card.violationCount();
    record.recoveryResult = play(rig_->card, rig_->system, config_);
    record.startedAfterRelease = rig_->device->started() ? 1 : 0;
    record.holdsAfterRelease = uint8_t(holds(*rig_->device));
    StandInDevice later(*rig_->device);
    later.powerLost(rig_->clock.nowNs() + 1000000u);
    record.startsAtPowerUp = later.started() ? 1 : 0;
    record.holdsAtPowerUp = uint8_t(holds(later));
    record.recoveryViolations = rig_->card.violationCount() - violations;
    pool_->finish(&record);
  }

  void received(const CopyRecord& r) {
    const CutPoint cut{r.index, r.offsetNs};
    ++result.recoveries;
    ++result.phases[r.phase].recoveries;
    check(r.result != 0 || r.pad[0] != 0,
          "a cut play ended in 0 before the device held the new image", cut);
    check(r.recoveryResult == 0, "the new play after the cut failed", cut);
    check(r.startedAfterRelease != 0 && r.holdsAfterRelease == uint8_t(Holds::New),
          "after the new play the card did not start with the new image", cut);
    check(r.startsAtPowerUp != 0 && r.holdsAtPowerUp == uint8_t(Holds::New),
          "after the new play the card does not power up with the new image", cut);
    check(r.recoveryViolations == 0, "access-protocol violation in the new play", cut);
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
      if (config_.recoveries > 0) check(phase.recoveries > 0, "a phase without a recovery", {0, 0});
    }
    (void)doneFlagIndex_;
  }

  const XsvfCutConfig& config_;
  Rig* rig_ = nullptr;
  CutWindow* window_ = nullptr;
  CutWindow* windowPtr_ = nullptr;
  CutSystem* systemPtr_ = nullptr;
  ForkPool* pool_ = nullptr;
  SplitRun* split_ = nullptr;
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
  uint64_t doneFlagIndex_ = 0;
  std::vector<std::string> phaseNames_;
  std::vector<uint64_t> phaseStarts_;
  std::vector<size_t> phaseIds_;
  std::vector<CutPoint> cuts_;
  std::vector<CutPoint> recoveryCuts_;
  size_t nextCut_ = 0;
  size_t nextRecovery_ = 0;
  CutPoint groupFirst_{0, 0};
  uint64_t groupCount_ = 0;
  bool groupAllNew_ = true;
  CutPoint recoveryCut_{0, 0};
  size_t recoveryPhase_ = 0;
  bool recoveryAllNew_ = false;
  int mainResult_ = -1;
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
               "continuations followed the player after a cut, %llu new plays after a cut\n",
               static_cast<unsigned long long>(r.accesses), r.seconds,
               static_cast<unsigned long long>(r.cuts),
               static_cast<unsigned long long>(r.cutsInSleeps),
               static_cast<unsigned long long>(r.continuations),
               static_cast<unsigned long long>(r.recoveries));
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
