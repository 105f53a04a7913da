#include "sim/jtag_chain.hpp"

#include <cstring>

#include "card/registers.hpp"
#include "sim/sim_faults.hpp"

namespace tarn::sim {

using namespace tarn::standin;

TapPhase tapNext(TapPhase state, bool tms) {
  using P = TapPhase;
  switch (state) {
    case P::Reset:
      return tms ? P::Reset : P::Idle;
    case P::Idle:
      return tms ? P::DrSelect : P::Idle;
    case P::DrSelect:
      return tms ? P::IrSelect : P::DrCapture;
    case P::DrCapture:
      return tms ? P::DrExit1 : P::DrShift;
    case P::DrShift:
      return tms ? P::DrExit1 : P::DrShift;
    case P::DrExit1:
      return tms ? P::DrUpdate : P::DrPause;
    case P::DrPause:
      return tms ? P::DrExit2 : P::DrPause;
    case P::DrExit2:
      return tms ? P::DrUpdate : P::DrShift;
    case P::DrUpdate:
      return tms ? P::DrSelect : P::Idle;
    case P::IrSelect:
      return tms ? P::Reset : P::IrCapture;
    case P::IrCapture:
      return tms ? P::IrExit1 : P::IrShift;
    case P::IrShift:
      return tms ? P::IrExit1 : P::IrShift;
    case P::IrExit1:
      return tms ? P::IrUpdate : P::IrPause;
    case P::IrPause:
      return tms ? P::IrExit2 : P::IrPause;
    case P::IrExit2:
      return tms ? P::IrUpdate : P::IrShift;
    case P::IrUpdate:
      return tms ? P::DrSelect : P::Idle;
  }
  return P::Reset;
}

void JtagChain::portWrite(uint32_t value, uint64_t nowNs) {
  if (value == kJtagPortRelease) {
    enabled_ = false;
    ++releases_;
    onRelease(nowNs);
    return;
  }
  // Without bit 3 the card does not drive the chain's pins.
  enabled_ = (value & kJtagPortEnable) != 0;
  if (!enabled_) return;
  const bool tms = (value & 0x1u) != 0;
  const bool tck = (value & 0x2u) != 0;
  const bool tdi = (value & 0x4u) != 0;
  if (tck && !tck_) {
    ++risingEdges_;
    onRisingEdge(state_, tdi, nowNs);
    const TapPhase from = state_;
    state_ = tapNext(state_, tms);
    onStep(from, state_, nowNs);
  } else if (!tck) {
    tdo_ = tdoAfterFall(state_, tdi);
  }
  tck_ = tck;
}

uint32_t JtagChain::status(uint64_t) { return tdo_ ? kTdoBit : 0u; }

void JtagChain::powerLost(uint64_t nowNs) {
  state_ = TapPhase::Reset;
  enabled_ = false;
  tck_ = false;
  tdo_ = false;
  onPowerLost(nowNs);
}

// ---------------------------------------------------------------------------

void DelayChain::onRisingEdge(TapPhase state, bool tdi, uint64_t) {
  if (delay_ == 0) return;
  if (state != TapPhase::DrShift && state != TapPhase::IrShift) return;
  history_[next_] = tdi ? 1 : 0;
  next_ = (next_ + 1) % delay_;
}

bool DelayChain::tdoAfterFall(TapPhase, bool tdi) {
  if (delay_ == 0) return tdi;
  return history_[next_] != 0;  // the oldest bit: shifted in `delay_` edges ago
}

// ---------------------------------------------------------------------------

uint64_t fnv1a64(const uint8_t* data, size_t size) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

void StandInDevice::ShiftRegister::load(const uint8_t* bytes, size_t byteCount, size_t length) {
  bits.assign(length, 0);
  head = 0;
  for (size_t i = 0; i < length && i / 8 < byteCount; ++i) {
    bits[i] = (bytes[byteCount - 1 - i / 8] >> (i % 8)) & 1u;
  }
}

void StandInDevice::ShiftRegister::loadValue(uint64_t value, size_t length) {
  bits.assign(length, 0);
  head = 0;
  for (size_t i = 0; i < length && i < 64; ++i) bits[i] = uint8_t((value >> i) & 1u);
}

void StandInDevice::ShiftRegister::shift(bool in) {
  if (bits.empty()) return;
  bits[head] = in ? 1 : 0;
  head = head + 1 == bits.size() ? 0 : head + 1;
}

void StandInDevice::ShiftRegister::value(uint8_t* bytes, size_t byteCount) const {
  std::memset(bytes, 0, byteCount);
  const size_t n = bits.size();
  for (size_t i = 0; i < n && i / 8 < byteCount; ++i) {
    if (bits[(head + i) % n]) bytes[byteCount - 1 - i / 8] |= uint8_t(1u << (i % 8));
  }
}

uint64_t StandInDevice::ShiftRegister::low64() const {
  uint64_t v = 0;
  const size_t n = bits.size();
  for (size_t i = 0; i < n && i < 64; ++i) {
    if (bits[(head + i) % n]) v |= uint64_t(1) << i;
  }
  return v;
}

StandInDevice::StandInDevice(StandInDeviceFaults faults)
    : faults_(faults),
      array_(kArrayBytes, 0xFF),
      pageBuffer_(2 * kRowBytes, 0xFF),
      rowBuffer_(kRowBytes, 0xFF) {
  ir_.loadValue(kIdcode, 8);
  dr_.loadValue(0, 1);
}

void StandInDevice::preload(const std::vector<uint8_t>& content, bool done) {
  for (size_t i = 0; i < array_.size(); ++i) array_[i] = i < content.size() ? content[i] : 0xFF;
  doneFlag_ = done;
}

size_t StandInDevice::drLength() const {
  switch (instruction_) {
    case kIdcode:
      return 32;
    case kStatus:
      return 6;
    case kAddress:
      return 16;
    case kLoadPage:
    case kReadPage:
      return 2 * kRowBytes * 8;
    case kLoadRow:
    case kReadRow:
      return kRowBytes * 8;
    default:
      return 1;  // bypass, and the instructions that only start a step
  }
}

uint32_t StandInDevice::statusValue() const {
  return kStatusMarker | (enabled_ ? kStatusEnabled : 0) | (erasedFlag_ ? kStatusErased : 0) |
         (doneFlag_ ? kStatusDoneFlag : 0) | (failFlag_ ? kStatusFail : 0);
}

void StandInDevice::captureDr() {
  const size_t length = drLength();
  switch (instruction_) {
    case kIdcode:
      dr_.loadValue(kIdCode, length);
      return;
    case kStatus:
      dr_.loadValue(statusValue(), length);
      return;
    case kAddress:
      dr_.loadValue(address_, length);
      return;
    case kDone:
      dr_.loadValue(doneFlag_ && !enabled_ ? 1 : 0, length);
      return;
    case kLoadPage:
    case kLoadRow:
    case kReadPage:
    case kReadRow: {
      // Loads show the rows they will go to (a blank check); reads show the
      // rows the last sense step fetched, or nothing when none was waited for.
      const bool page = instruction_ == kLoadPage || instruction_ == kReadPage;
      const bool read = instruction_ == kReadPage || instruction_ == kReadRow;
      const size_t bytes = page ? 2 * kRowBytes : kRowBytes;
      const bool valid = !read || senseRow_ == address_;
      if (valid && size_t(address_) * kRowBytes + bytes <= array_.size()) {
        dr_.load(&array_[size_t(address_) * kRowBytes], bytes, length);
      } else {
        dr_.loadValue(0, length);
      }
      return;
    }
    default:
      dr_.loadValue(0, length);
      return;
  }
}

void StandInDevice::onRisingEdge(TapPhase state, bool tdi, uint64_t) {
  switch (state) {
    case TapPhase::IrCapture:
      ir_.loadValue(0x01, 8);
      break;
    case TapPhase::IrShift:
      ir_.shift(tdi);
      break;
    case TapPhase::DrCapture:
      captureDr();
      break;
    case TapPhase::DrShift:
      dr_.shift(tdi);
      break;
    default:
      break;
  }
}

void StandInDevice::post(Step step) {
  pending_ = step;
  pendingInIdle_ = false;
}

uint32_t StandInDevice::stepUs(Step step) const {
  switch (step) {
    case Step::Address:
    case Step::NextPage:
    case Step::NextRow:
      return kAddressUs;
    case Step::Sense:
      return kSenseUs;
    case Step::Enable:
      return kEnableUs;
    case Step::Disable:
      return kDisableUs;
    case Step::ProgramPage:
      return kProgramPageUs;
    case Step::ProgramRow:
      return kProgramRowUs;
    case Step::SetDone:
      return kSetDoneUs;
    case Step::Erase:
      return kEraseUs;
    case Step::None:
      return 0;
  }
  return 0;
}

void StandInDevice::settle(uint64_t nowNs) {
  if (pending_ == Step::None) return;
  const Step step = pending_;
  pending_ = Step::None;
  const bool waited = pendingInIdle_ && nowNs - idleSinceNs_ >= uint64_t(stepUs(step)) * 1000u;
  pendingInIdle_ = false;
  if (waited && !(step == Step::Erase && faults_.eraseNeverCompletes)) {
    complete(step);
    return;
  }
  ++abortedSteps_;
  // A cut-short step that changes the array leaves it in doubt.
  if (step == Step::ProgramPage || step == Step::ProgramRow || step == Step::SetDone ||
      step == Step::Erase) {
    failFlag_ = true;
  }
  if (step == Step::Erase && faults_.eraseNeverCompletes) failFlag_ = false;
}

void StandInDevice::programRows(uint32_t row, const std::vector<uint8_t>& data, uint32_t rows) {
  if (size_t(row) + rows > kRows) {
    failFlag_ = true;
    return;
  }
  const size_t base = size_t(row) * kRowBytes;
  for (size_t i = 0; i < size_t(rows) * kRowBytes; ++i) {
    uint8_t programmed = uint8_t(array_[base + i] & data[i]);
    if (faults_.stuckBit >= 0 && size_t(faults_.stuckBit / 8) == base + i) {
      const uint8_t bit = uint8_t(1u << (faults_.stuckBit % 8));
      programmed = uint8_t((programmed & ~bit) | (array_[base + i] & bit));
    }
    array_[base + i] = programmed;
  }
  erasedFlag_ = false;
  senseRow_ = UINT32_MAX;
}

void StandInDevice::complete(Step step) {
  ++completedSteps_;
  switch (step) {
    case Step::Address:
      address_ = pendingAddress_;
      break;
    case Step::NextPage:
      address_ += 2;
      break;
    case Step::NextRow:
      address_ += 1;
      break;
    case Step::Sense:
      senseRow_ = address_;
      break;
    case Step::Enable:
      enabled_ = true;
      address_ = 0;
      failFlag_ = false;
      break;
    case Step::Disable:
      enabled_ = false;
      break;
    case Step::ProgramPage:
      if (enabled_) programRows(address_, pageBuffer_, 2);
      break;
    case Step::ProgramRow:
      if (enabled_) programRows(address_, rowBuffer_, 1);
      break;
    case Step::SetDone:
      if (enabled_) doneFlag_ = true;
      break;
    case Step::Erase:
      if (enabled_) {
        std::memset(array_.data(), 0xFF, array_.size());
        doneFlag_ = false;
        erasedFlag_ = true;
        senseRow_ = UINT32_MAX;
      }
      break;
    case Step::None:
      break;
  }
}

void StandInDevice::updateIr(uint64_t) {
  instruction_ = uint8_t(ir_.low64() & 0xFFu);
  senseRow_ = UINT32_MAX;
  switch (instruction_) {
    case kEnable:
      post(Step::Enable);
      break;
    case kDisable:
      post(Step::Disable);
      break;
    case kProgramPage:
      post(Step::ProgramPage);
      break;
    case kProgramRow:
      post(Step::ProgramRow);
      break;
    case kErase:
      post(Step::Erase);
      break;
    case kSetDone:
      post(Step::SetDone);
      break;
    case kNextPage:
      post(Step::NextPage);
      break;
    case kNextRow:
      post(Step::NextRow);
      break;
    case kReadPage:
    case kReadRow:
      post(Step::Sense);
      break;
    default:
      break;
  }
}

void StandInDevice::updateDr(uint64_t) {
  switch (instruction_) {
    case kAddress: {
      pendingAddress_ = uint32_t(dr_.low64() & 0xFFFFu);
      post(Step::Address);
      break;
    }
    case kLoadPage:
      dr_.value(pageBuffer_.data(), pageBuffer_.size());
      break;
    case kLoadRow:
      dr_.value(rowBuffer_.data(), rowBuffer_.size());
      break;
    default:
      break;
  }
}

void StandInDevice::onStep(TapPhase from, TapPhase to, uint64_t nowNs) {
  // A pending step runs while the controller stays in Run-Test/Idle; it is
  // judged when the controller leaves, or when it never got there.
  if (from == TapPhase::Idle && to != TapPhase::Idle) settle(nowNs);
  if ((from == TapPhase::DrUpdate || from == TapPhase::IrUpdate) && to != TapPhase::Idle) {
    settle(nowNs);
  }
  if (to == TapPhase::Idle && from != TapPhase::Idle && pending_ != Step::None) {
    pendingInIdle_ = true;
    idleSinceNs_ = nowNs;
  }
  if (to == TapPhase::IrUpdate) updateIr(nowNs);
  if (to == TapPhase::DrUpdate) updateDr(nowNs);
  if (to == TapPhase::Reset) {
    settle(nowNs);
    instruction_ = kIdcode;
  }
}

bool StandInDevice::tdoAfterFall(TapPhase state, bool) {
  if (state == TapPhase::DrShift) return dr_.out();
  if (state == TapPhase::IrShift) return ir_.out();
  return true;
}

void StandInDevice::cutShort(Step step, uint64_t ranNs, uint64_t needNs) {
  if (!enabled_ || ranNs == 0) return;
  const double done = double(ranNs) / double(needNs);
  if (step == Step::Erase && !faults_.eraseNeverCompletes) {
    // The erase clears the done flag first, then the rows one after another.
    doneFlag_ = false;
    erasedFlag_ = false;
    const auto rows = size_t(done * kRows);
    std::memset(array_.data(), 0xFF, rows * kRowBytes);
  } else if (step == Step::ProgramPage || step == Step::ProgramRow) {
    // The first part of the rows has its bits, the rest not yet.
    const bool page = step == Step::ProgramPage;
    const std::vector<uint8_t>& data = page ? pageBuffer_ : rowBuffer_;
    const size_t base = size_t(address_) * kRowBytes;
    const auto bytes = size_t(done * double(data.size()));
    for (size_t i = 0; i < bytes && base + i < array_.size(); ++i) array_[base + i] &= data[i];
  }
  // A done step cut short leaves the flag as it was: clear.
}

void StandInDevice::onPowerLost(uint64_t nowNs) {
  if (pending_ != Step::None) {
    const Step step = pending_;
    const uint64_t ranNs = pendingInIdle_ ? nowNs - idleSinceNs_ : 0;
    const uint64_t needNs = uint64_t(stepUs(step)) * 1000u;
    pending_ = Step::None;
    pendingInIdle_ = false;
    if (ranNs >= needNs && needNs > 0 && !(step == Step::Erase && faults_.eraseNeverCompletes)) {
      complete(step);
    } else {
      cutShort(step, ranNs, needNs);
    }
  }
  // Power-up: out of programming mode, the identification selected, and the
  // card starts from the device when its done flag is set.
  enabled_ = false;
  failFlag_ = false;
  instruction_ = kIdcode;
  senseRow_ = UINT32_MAX;
  ir_.loadValue(kIdcode, 8);
  dr_.loadValue(0, 1);
  started_ = doneFlag_;
  startedDigest_ = started_ ? fnv1a64(array_.data(), array_.size()) : 0;
}

void StandInDevice::onRelease(uint64_t nowNs) {
  settle(nowNs);
  started_ = doneFlag_ && !enabled_;
  startedDigest_ = started_ ? fnv1a64(array_.data(), array_.size()) : 0;
}

// ---------------------------------------------------------------------------

std::unique_ptr<JtagChain> makeJtagChain(std::string_view name, std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<JtagChain> {
    if (error) *error = why;
    return nullptr;
  };
  if (name == "tdo:0") return std::make_unique<ConstantTdoChain>(false);
  if (name == "tdo:1") return std::make_unique<ConstantTdoChain>(true);
  if (name.substr(0, 6) == "delay:") {
    uint64_t n = 0;
    if (!parseNumber(name.substr(6), 1000000, n)) {
      return fail("delay:N needs a count from 0 to 1000000, not '" + std::string(name.substr(6)) +
                  "'");
    }
    return std::make_unique<DelayChain>(uint32_t(n));
  }
  if (name == "device") return std::make_unique<StandInDevice>();
  if (name.substr(0, 7) == "device:") {
    StandInDeviceFaults faults;
    for (const std::string_view item : splitAt(name.substr(7), ',')) {
      if (item.empty()) continue;
      std::string why;
      if (!parseChainFault(item, faults, why)) return fail("device: " + why);
    }
    return std::make_unique<StandInDevice>(faults);
  }
  return fail("unknown chain model '" + std::string(name) +
              "' (tdo:0, tdo:1, delay:N, device, device:FAULTS with FAULTS from " +
              knownFaults(FaultFamily::Chain) + ")");
}

}  // namespace tarn::sim
