#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/driver_io.hpp"
#include "sim/clock.hpp"
#include "sim/sim_card.hpp"

namespace tarn::sim {

enum class DriverFamily { Nt, Older };
enum class CardInterface { Pci, CardBus };

struct SimCardSetup {
  int32_t revision = 100;
  CardInterface interface = CardInterface::Pci;
};

// The ways the simulated driver can let the tool down, one switch each.
struct SimDriverFaults {
  bool noDriver = false;        // CreateFileA fails for every device name
  bool wrongSignature = false;  // the NT card information record carries 0x3FC4
  bool overrideCount = false;   // report `reportedCount` cards instead of the real number
  int32_t reportedCount = 0;
  bool mapFails = false;     // the mapping request fails (both families)
  bool zeroMapping = false;  // the mapping request succeeds with base address 0
  bool zeroRecord = false;   // older family: QUERY_CARD succeeds with record address 0
  // Requests that fail, by control or service code.
  std::vector<uint32_t> failingCodes;
  // A failed request normally leaves the output alone; with this it also
  // writes the answer a successful one would give, so only the result tells.
  // The older family is judged by its output words alone: there such a
  // failure cannot be told from a success.
  bool failedRequestsFillOutput = false;
  // Older family: requests, by service code, that do their work and fill the
  // output record as usual, yet return 0, as some real older drivers do.
  std::vector<uint32_t> olderWorkingButReportFailure;
};

struct SimDriverConfig {
  DriverFamily family = DriverFamily::Nt;
  std::vector<SimCardSetup> cards{SimCardSetup{}};
  SimDriverFaults faults;
};

// Stands in for the cards' kernel driver: answers both driver families at the
// device names, codes and record layouts the tool uses, for 1 to 6 simulated
// cards. It also polices the calling convention: every call that a real
// driver would refuse or that leaks a handle is counted, so tests can demand
// that there are none.
class SimDriver final : public DriverIo {
 public:
  static constexpr uint32_t kNtVersion = 0x23F00206u;     // top bit clear
  static constexpr uint32_t kOlderVersion = 0xC0000A04u;  // top bit set
  static constexpr uint32_t kWrongSignature = 0x3FC4u;
  static constexpr uint32_t kCardRecordSize = 0x600;

  // Throws std::invalid_argument for a card count outside 1 to 6.
  SimDriver(SimClock& clock, SimDriverConfig config);

  // DriverIo
  uint32_t getVersion() override;
  DriverHandle createFileA(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                           uint32_t creationDisposition, uint32_t flagsAndAttributes) override;
  int deviceIoControl(DriverHandle device, uint32_t controlCode, const void* input,
                      uint32_t inputSize, void* output, uint32_t outputSize,
                      uint32_t* bytesReturned) override;
  int closeHandle(DriverHandle handle) override;
  RegisterWindow* registerWindowAt(uint32_t baseAddress) override;
  uint16_t readCardRecord16(uint32_t recordAddress, uint32_t byteOffset) override;

  DriverFamily family() const { return config_.family; }
  void setFamily(DriverFamily family) { config_.family = family; }
  SimDriverFaults& faults() { return config_.faults; }

  int cardCount() const { return int(cards_.size()); }
  SimCard& card(int index) { return *cards_.at(size_t(index)).card; }
  const SimCardSetup& cardSetup(int index) const { return cards_.at(size_t(index)).setup; }
  uint32_t baseAddressOf(int index) const { return cards_.at(size_t(index)).base; }
  uint32_t recordAddressOf(int index) const { return cards_.at(size_t(index)).record; }
  bool isMapped(int index) const { return cards_.at(size_t(index)).mapped; }
  uint64_t mapCount(int index) const { return cards_.at(size_t(index)).maps; }

  // Handles handed out and not yet closed.
  int openHandles() const { return int(handles_.size()); }
  // Calls that break the calling convention (wrong name, access, flags,
  // sizes, codes, handles not open, unknown addresses).
  uint64_t conventionBreaches() const { return breaches_; }
  const std::vector<std::string>& breachNotes() const { return breachNotes_; }
  // Every call made, one line each, in order.
  const std::vector<std::string>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }
  // What the driver did last to make a call fail (empty when nothing).
  const std::string& lastFailure() const { return lastFailure_; }
  void clearLastFailure() { lastFailure_.clear(); }

 private:
  struct Card {
    SimCardSetup setup;
    std::unique_ptr<SimCard> card;
    uint32_t base = 0;    // fake user-space address of the register window
    uint32_t record = 0;  // fake address of the older driver's card record
    bool mapped = false;
    uint64_t maps = 0;
  };
  struct Open {
    bool older = false;
    int cardIndex = 0;  // NT device: the card it belongs to
  };

  void buildCards(const std::vector<SimCardSetup>& setups);
  void breach(const std::string& note);
  void fail(const std::string& note);
  void log(const std::string& line);
  bool failing(uint32_t code) const;
  int32_t reportedCount() const;
  int ntRequest(const Open& open, uint32_t code, const void* input, uint32_t inputSize,
                uint8_t* output, uint32_t outputSize, uint32_t* bytesReturned);
  int olderRequest(uint32_t code, const void* input, uint32_t inputSize, uint8_t* output,
                   uint32_t outputSize, uint32_t* bytesReturned);
  // The mapping answer shared by both families; returns the base to report.
  uint32_t map(int cardIndex);

  SimClock& clock_;
  SimDriverConfig config_;
  std::vector<Card> cards_;
  std::map<DriverHandle, Open> handles_;
  DriverHandle nextHandle_ = 0x40;
  uint64_t breaches_ = 0;
  std::vector<std::string> breachNotes_;
  std::vector<std::string> calls_;
  std::string lastFailure_;
};

const char* controlCodeName(bool older, uint32_t code);

}  // namespace tarn::sim
