#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/driver_io.hpp"
#include "platform/progress.hpp"
#include "platform/system_services.hpp"
#include "sim/clock.hpp"
#include "sim/jtag_chain.hpp"
#include "sim/sim_driver.hpp"
#include "sim/sim_flash.hpp"
#include "sim/sim_system.hpp"
#include "sim/trace.hpp"

namespace tarn::sim {

// The simulated machine the updater runs on when there is no real card: the
// driver, its cards with their flash or JTAG chain, the clock and the
// program's sleep. It reads its own settings; the updater never sees them.
//
//   TARN_SIM_CARDS   revisions in card order, each with an optional interface:
//                    "30:pci,60:cardbus,120,152" (1 to 6 cards)
//   TARN_SIM_FAMILY  "nt" (default) or "older"
//   TARN_SIM_FAULTS  comma list of faults spelled as tarn-sim spells them
//                    (sim/sim_faults.hpp): driver faults as they are
//                    ("no-driver,count=7"), a card's faults after its number,
//                    counted from 1 as on the tabs ("2:never-erase=0" for a
//                    flash card, "1:erase-fails" for a JTAG chain card)
//   TARN_SIM_ERASE_MS  time of one sector erase (default 1000)
//   TARN_SIM_STATE   file that keeps the cards' flash and chain contents
//                    across runs (none: every run starts from the factory; a
//                    file that is not there yet: factory-fresh cards)
//   TARN_SIM_TRACE   file that receives the access trace
//   TARN_SIM_POWER   "mains" (default), "battery", "battery:PERCENT" (0 to
//                    100) or "unknown": where the machine's power comes from
// Numbers are decimal, or hexadecimal after 0x; revisions are 0 to 255.
struct SimCardFaults {
  SimFlashFaults flash;
  StandInDeviceFaults chain;
  uint64_t powerCutAfter = 0;  // register accesses before the card loses power; 0: never
};

struct SimWorldSettings {
  DriverFamily family = DriverFamily::Nt;
  std::vector<SimCardSetup> cards;
  SimDriverFaults driverFaults;
  std::vector<SimCardFaults> cardFaults;  // one per card
  uint32_t eraseMs = 1000;
  std::string statePath;
  std::string tracePath;
  PowerState power{PowerLine::Mains, -1};
};

// Four families, each card out of date, and one up-to-date card.
inline constexpr const char* kDefaultSimCards = "14:pci,50:cardbus,100,150,152";

using SettingLookup = std::function<const char*(const char* name)>;
// False with a readable `error` when a setting cannot be understood.
bool parseSimSettings(const SettingLookup& lookup, SimWorldSettings& settings, std::string& error);

// The lowest up-to-date revision of a card's family: 15, 53, 106, 152.
int32_t upToDateRevisionOf(int32_t revision);

class SimWorld {
 public:
  // Powers the cards up: each starts from what its state says (or from the
  // factory contents) and reports its revision accordingly. Check
  // startError() before using the world.
  // `wallSleep` is how a real-time world sleeps (see SimClock).
  SimWorld(SimWorldSettings settings, SimClock::Mode mode, SimClock::WallSleep wallSleep = nullptr);

  // Empty when the world is ready. Otherwise one line on why not: the state
  // file is not one or is damaged (it is then left exactly as it was, and
  // nothing is ever saved over it), or the trace cannot be written.
  const std::string& startError() const { return startError_; }
  ~SimWorld();
  SimWorld(const SimWorld&) = delete;
  SimWorld& operator=(const SimWorld&) = delete;

  DriverIo& driverIo();
  SystemServices& system();
  // The progress channel as the updater should use it: `page` itself, or a
  // recorder in front of it when tracing.
  ProgressTarget* progress(ProgressTarget* page);

  // The access trace, or null when none is kept.
  TraceLog* trace() { return trace_; }
  // Closes the trace file, if one is kept; false with `error` when a line
  // could not be written to it whole. After the program is done with the world.
  bool closeTrace(std::string& error);
  SimDriver& driver() { return *driver_; }
  SimClock& clock() { return clock_; }
  SimSystem& simSystem() { return system_; }
  // The flash of card i, or null for a card updated through its chain.
  SimNorFlash* flash(int i) { return cards_.at(size_t(i)).flash; }
  // The programmable device in the chain of card i, or null for a flash card.
  StandInDevice* device(int i) { return cards_.at(size_t(i)).device; }
  int32_t reportedRevision(int i) const { return settings_.cards.at(size_t(i)).revision; }
  // Writes the state file (when one is named); false with `error` on failure.
  bool save(std::string* error = nullptr);
  // Called by the driver wrapper when an update's window is released.
  void updateReleased();

 private:
  struct CardParts {
    int32_t factoryRevision = 0;
    SimNorFlash* flash = nullptr;
    StandInDevice* device = nullptr;
  };
  struct SavedCard {
    std::string kind;  // "flash" or "device"
    std::vector<uint8_t> bytes;
  };
  class Driver;

  void powerUp(std::vector<SavedCard>& saved);
  std::unique_ptr<SimNorFlash> powerUpFlash(SimCardSetup& card, const SimCardFaults& faults,
                                            const SavedCard& saved);
  std::unique_ptr<StandInDevice> powerUpDevice(SimCardSetup& card, const SimCardFaults& faults,
                                               const SavedCard& saved);
  bool loadState(std::vector<SavedCard>& saved, std::string& error);

  SimWorldSettings settings_;
  std::string startError_;
  SimClock clock_;
  SimSystem system_;
  std::vector<int32_t> factoryRevisions_;
  std::vector<CardParts> cards_;
  std::unique_ptr<SimDriver> driver_;
  std::unique_ptr<Driver> driverWrapper_;
  std::unique_ptr<TraceFile> traceFile_;
  TraceLog* trace_ = nullptr;
  std::unique_ptr<TracingSystem> tracingSystem_;
  std::unique_ptr<TracingProgress> tracingProgress_;
};

}  // namespace tarn::sim
