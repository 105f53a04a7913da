#include "tools/payload-tool/xsvf_standin.hpp"

#include <cstring>

#include "payloads/payloads.hpp"
#include "payloads/stand_in_mark.hpp"
#include "sim/stand_in_device.hpp"

namespace tarn::tools {
namespace {

using namespace tarn::standin;

// The layout of both streams. The numbers give the command census every XSVF
// payload has (5212 commands: 1303 XSIR, 909 XSDRTDO, 1938 XRUNTEST, 525
// XSDRSIZE, 527 XTDOMASK, ...) and its exact size of 608591 bytes:
// - 160 pages of two rows, then 160 single rows;
// - of those, 116 pages and 132 rows are reached by an address scan that also
//   checks the address counter, the others by a next-address step;
// - 12 checks spread over the units, right after a program step: status, or
//   every third the identification;
// - 317 units restate the run-test time of their load scan.
constexpr uint32_t kPages = 160;
constexpr uint32_t kSingleRows = 160;
constexpr uint32_t kPagesAddressed = 116;
constexpr uint32_t kRowsAddressed = 132;
constexpr uint32_t kChecks = 12;
constexpr uint32_t kRestatedRunTests = 317;
constexpr uint32_t kImageBytes = kPages * 2 * kRowBytes + kSingleRows * kRowBytes;

// XSVF command codes used here.
constexpr uint8_t kXComplete = 0;
constexpr uint8_t kXTdoMask = 1;
constexpr uint8_t kXSir = 2;
constexpr uint8_t kXRunTest = 4;
constexpr uint8_t kXRepeat = 7;
constexpr uint8_t kXSdrSize = 8;
constexpr uint8_t kXSdrTdo = 9;
constexpr uint8_t kXState = 18;
constexpr uint8_t kStateReset = 0;
constexpr uint8_t kStateIdle = 1;

// Status checks: which bits are compared, and what they must read.
constexpr uint32_t kEnabledMask = 0x39;  // enabled, not failed (erased and done not looked at)
constexpr uint32_t kEnabledValue = kStatusMarker | kStatusEnabled;
constexpr uint32_t kErasedMask = 0x3F;
constexpr uint32_t kErasedValue = kStatusMarker | kStatusEnabled | kStatusErased;
constexpr uint32_t kProgrammedMask = 0x3F;
constexpr uint32_t kProgrammedValue = kStatusMarker | kStatusEnabled;
constexpr uint32_t kDoneMask = 0x3D;  // erased flag not looked at
constexpr uint32_t kDoneValue = kStatusMarker | kStatusEnabled | kStatusDoneFlag;

// Evenly spread choice: whether item i of `total` is one of `chosen`.
bool spread(uint32_t i, uint32_t chosen, uint32_t total) {
  return uint64_t(i + 1) * chosen / total > uint64_t(i) * chosen / total;
}

std::vector<uint8_t> bigEndian(uint64_t value, uint32_t bytes) {
  std::vector<uint8_t> out(bytes, 0);
  for (uint32_t i = 0; i < bytes && i < 8; ++i) out[bytes - 1 - i] = uint8_t(value >> (8 * i));
  return out;
}

// Emits commands, stating run-test time, length and mask only when they change
// (or when asked to restate the time).
class StreamWriter {
 public:
  std::vector<uint8_t> bytes;

  void repeat(uint8_t count) { put({kXRepeat, count}); }
  void state(uint8_t tapState) { put({kXState, tapState}); }
  void runTest(int32_t microseconds, bool restate = false) {
    if (microseconds == runTest_ && !restate) return;
    runTest_ = microseconds;
    bytes.push_back(kXRunTest);
    putBytes(bigEndian(uint32_t(microseconds), 4));
  }
  void instruction(uint8_t opcode, int32_t runTestUs) {
    runTest(runTestUs);
    put({kXSir, 8, opcode});
  }
  void dataScan(uint32_t bits, const std::vector<uint8_t>& tdi,
                const std::vector<uint8_t>& expected, const std::vector<uint8_t>& mask,
                int32_t runTestUs, bool restateRunTest = false) {
    if (bits != length_) {
      length_ = bits;
      bytes.push_back(kXSdrSize);
      putBytes(bigEndian(bits, 4));
      mask_.clear();
    }
    if (mask != mask_) {
      mask_ = mask;
      bytes.push_back(kXTdoMask);
      putBytes(mask);
    }
    runTest(runTestUs, restateRunTest);
    bytes.push_back(kXSdrTdo);
    putBytes(tdi);
    putBytes(expected);
  }
  void complete() { bytes.push_back(kXComplete); }

 private:
  void put(std::initializer_list<uint8_t> list) { bytes.insert(bytes.end(), list); }
  void putBytes(const std::vector<uint8_t>& data) {
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
  int32_t runTest_ = -1;
  uint32_t length_ = UINT32_MAX;
  std::vector<uint8_t> mask_;
};

std::vector<uint8_t> value(uint32_t bits, uint64_t v) { return bigEndian(v, (bits + 7) / 8); }
std::vector<uint8_t> ones(uint32_t bits) { return std::vector<uint8_t>((bits + 7) / 8, 0xFF); }

}  // namespace

std::vector<uint8_t> xsvfStandInImage(bool cardBus) {
  std::vector<uint8_t> image(kImageBytes);
  uint64_t state = cardBus ? 0xC4B0B05ull : 0x9C19C1ull;
  for (uint8_t& byte : image) {
    // splitmix64: fixed, portable, and unlike any real bitstream.
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    byte = uint8_t(z ^ (z >> 31));
  }
  // The mark opens the page area and the row area, so it lands in the device too.
  std::memcpy(image.data(), kStandInMark, size_t(kStandInMarkLength));
  std::memcpy(image.data() + kPages * 2 * kRowBytes, kStandInMark, size_t(kStandInMarkLength));
  return image;
}

std::vector<uint8_t> makeXsvfStandIn(bool cardBus) {
  const std::vector<uint8_t> image = xsvfStandInImage(cardBus);
  StreamWriter w;
  w.bytes.reserve(size_t(kXsvfStreamSize));

  // Identify, also again after a reset (which selects the identification).
  w.repeat(0);
  w.state(kStateReset);
  w.state(kStateIdle);
  w.runTest(0);
  w.instruction(kIdcode, 0);
  w.dataScan(32, value(32, 0), value(32, kIdCode), value(32, kIdCodeMask), 0);
  w.state(kStateReset);
  w.dataScan(32, value(32, 0), value(32, kIdCode), value(32, kIdCodeMask), 0);

  // Programming mode, then the erase with its long wait, checked twice.
  w.instruction(kEnable, kEnableUs);
  w.instruction(kStatus, 0);
  w.dataScan(6, value(6, 0), value(6, kEnabledValue), value(6, kEnabledMask), 0);
  w.instruction(kErase, kEraseUs);
  w.instruction(kStatus, 0);
  w.dataScan(6, value(6, 0), value(6, kErasedValue), value(6, kErasedMask), 0);
  w.dataScan(6, value(6, 0), value(6, kErasedValue), value(6, kErasedMask), 0);
  w.state(kStateReset);

  // Pages, then single rows: each unit is addressed, loaded (the load shows
  // the rows it goes to, which must be blank), programmed, read back.
  const uint32_t units = kPages + kSingleRows;
  uint32_t unit = 0;
  uint32_t check = 0;
  uint32_t counter = 0;  // the device's address counter as the stream leaves it
  for (int area = 0; area < 2; ++area) {
    const bool pages = area == 0;
    const uint32_t count = pages ? kPages : kSingleRows;
    const uint32_t addressed = pages ? kPagesAddressed : kRowsAddressed;
    const uint32_t rowsPerUnit = pages ? 2 : 1;
    const uint32_t bits = pages ? kPageBits : kRowBits;
    const uint32_t firstRow = pages ? 0 : kPages * 2;
    for (uint32_t i = 0; i < count; ++i, ++unit) {
      const uint32_t row = firstRow + i * rowsPerUnit;
      if (i == 0 || spread(i - 1, addressed - 1, count - 1)) {
        w.instruction(kAddress, 0);
        w.dataScan(16, value(16, row), value(16, counter), ones(16), kAddressUs);
      } else {
        w.instruction(pages ? kNextPage : kNextRow, kAddressUs);
      }
      counter = row;
      const size_t offset =
          size_t(row - firstRow) * kRowBytes + (pages ? 0 : kPages * 2 * kRowBytes);
      const std::vector<uint8_t> data(image.begin() + long(offset),
                                      image.begin() + long(offset + bits / 8));
      w.instruction(pages ? kLoadPage : kLoadRow, 0);
      w.dataScan(bits, data, ones(bits), ones(bits), 0, spread(unit, kRestatedRunTests, units));
      w.instruction(pages ? kProgramPage : kProgramRow, pages ? kProgramPageUs : kProgramRowUs);
      if (spread(unit, kChecks, units)) {
        if (check % 3 == 2) {
          w.instruction(kIdcode, 0);
          w.dataScan(32, value(32, 0), value(32, kIdCode), value(32, kIdCodeMask), 0);
        } else {
          w.instruction(kStatus, 0);
          w.dataScan(6, value(6, 0), value(6, kEnabledValue), value(6, kEnabledMask), 0);
        }
        ++check;
      }
      w.instruction(pages ? kReadPage : kReadRow, kSenseUs);
      w.dataScan(bits, std::vector<uint8_t>(bits / 8, 0), data, ones(bits), 0);
    }
    w.instruction(kStatus, 0);
    w.dataScan(6, value(6, 0), value(6, kProgrammedValue), value(6, kProgrammedMask), 0);
  }

  // The done flag, leaving programming mode, and the wait for the device to
  // report a finished configuration.
  w.instruction(kSetDone, kSetDoneUs);
  w.instruction(kStatus, 0);
  w.dataScan(6, value(6, 0), value(6, kDoneValue), value(6, kDoneMask), 0);
  w.instruction(kDisable, kDisableUs);
  w.repeat(0);
  w.repeat(32);
  w.state(kStateReset);
  w.state(kStateIdle);
  w.runTest(0, true);
  w.instruction(kDone, 0);
  w.dataScan(1, value(1, 0), value(1, 1), value(1, 1), 0);
  w.complete();
  return w.bytes;
}

std::vector<uint8_t> makeXsvfStandInPci() { return makeXsvfStandIn(false); }
std::vector<uint8_t> makeXsvfStandInCardBus() { return makeXsvfStandIn(true); }

}  // namespace tarn::tools
