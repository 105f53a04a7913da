#include "card/driver.hpp"

#include <cstdio>
#include <cstring>

namespace tarn {
namespace {

uint32_t wordAt(const uint8_t* bytes, uint32_t offset) {
  return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 |
         uint32_t(bytes[offset + 2]) << 16 | uint32_t(bytes[offset + 3]) << 24;
}

bool countIsValid(int32_t count) { return count >= 1 && count <= 6; }

// A zero base, or one the platform cannot turn into a window, would send the
// update's first register access nowhere: both count as a failed mapping.
bool mapWindow(CardContext& card, DriverIo& io, uint32_t base) {
  if (base == 0) return false;
  RegisterWindow* window = io.registerWindowAt(base);
  if (window == nullptr) return false;
  card.registerBase = base;
  card.jtagPortRegister = base + 0x100;
  card.window = window;
  return true;
}

int openNtCard(CardContext& card, DriverIo& io, int32_t cardIndex, int mapRegisters) {
  // "\\.%s%d" with "\Device\tarnOut" minus its leading "\Device".
  // The product is formed in 64 bits: an absurd index must not overflow.
  std::snprintf(card.devicePath, sizeof card.devicePath, "\\\\.%s%lld",
                kNtKernelDeviceName + std::strlen("\\Device"),
                static_cast<long long>(kDeviceNumberStride) * cardIndex);
  uint8_t info[kCardInfoSize] = {};
  if (!deviceControl(card, io, GET_CARD_INFO, nullptr, 0, info, sizeof info)) return 0;
  if (wordAt(info, 0) != kCardInfoSignature) return 0;
  card.cardCount = int32_t(wordAt(info, kCardInfoCountOffset));
  if (!countIsValid(card.cardCount)) return 0;
  card.hardwareRevision = int32_t(wordAt(info, kCardInfoRevisionOffset));
  if (mapRegisters) {
    uint8_t address[4] = {};
    if (!deviceControl(card, io, MAP_REGISTERS, nullptr, 0, address, sizeof address)) return 0;
    const uint32_t base = wordAt(address, 0);
    if (!mapWindow(card, io, base)) {
      // The driver did map the card; nothing would ever give that mapping
      // back, since registerBase still names the previous window.
      if (base != 0) deviceControl(card, io, UNMAP_REGISTERS, &base, sizeof base, nullptr, 0);
      return 0;
    }
  }
  return 1;
}

// One older-family request, judged afterwards by its output words alone: real
// older drivers fill the record and still report failure, so the call's result
// says nothing. The record is cleared first, so a request that really failed
// reads as a zero count, record address or base, never as the answer to the
// request before it.
void olderRequest(DriverIo& io, DriverHandle device, uint32_t code, int32_t cardIndex,
                  uint8_t (&output)[kOlderOutputSize]) {
  uint8_t input[kOlderInputSize] = {};
  const uint32_t index = uint32_t(cardIndex);
  for (uint32_t i = 0; i < 4; ++i) input[i] = uint8_t(index >> (8 * i));  // little-endian
  std::memset(output, 0, sizeof output);
  uint32_t returned = 0;
  (void)io.deviceIoControl(device, code, input, sizeof input, output, sizeof output, &returned);
}

int openOlderCard(CardContext& card, DriverIo& io, int32_t cardIndex, int mapRegisters) {
  const DriverHandle device = io.createFileA(kOlderDriverName, 0, 0, 0, kFileFlagDeleteOnClose);
  if (device == kInvalidHandle) return 0;
  uint8_t output[kOlderOutputSize];
  const auto fail = [&] {
    io.closeHandle(device);
    return 0;
  };
  olderRequest(io, device, QUERY_CARD_COUNT, 0, output);
  card.cardCount = int32_t(wordAt(output, 0));
  if (!countIsValid(card.cardCount)) return fail();
  olderRequest(io, device, QUERY_CARD, cardIndex, output);
  const uint32_t record = wordAt(output, 0);
  if (record == 0) return fail();
  card.hardwareRevision = int32_t(io.readCardRecord16(record, kCardRecordRevisionOffset) & 0xFF);
  if (mapRegisters) {
    olderRequest(io, device, MAP_CARD_REGISTERS, cardIndex, output);
    if (!mapWindow(card, io, wordAt(output, 4))) return fail();
  }
  io.closeHandle(device);
  return 1;
}

}  // namespace

int openCard(CardContext& card, DriverIo& io, int32_t cardIndex, int mapRegisters) {
  card.isNt = io.getVersion() < 0x80000000u ? 1 : 0;
  return card.isNt ? openNtCard(card, io, cardIndex, mapRegisters)
                   : openOlderCard(card, io, cardIndex, mapRegisters);
}

int deviceControl(CardContext& card, DriverIo& io, uint32_t code, const void* input,
                  uint32_t inputSize, void* output, uint32_t outputSize) {
  const DriverHandle device = io.createFileA(card.devicePath, kGenericRead, 0, kOpenExisting, 0);
  if (device == kInvalidHandle) return 0;
  uint32_t returned = 0;
  const int ok = io.deviceIoControl(device, code, input, inputSize, output, outputSize, &returned);
  io.closeHandle(device);
  return ok != 0 ? 1 : 0;
}

void releaseRegisters(CardContext& card, DriverIo& io) {
  if (!card.isNt) return;
  const uint32_t base = card.registerBase;
  deviceControl(card, io, UNMAP_REGISTERS, &base, sizeof base, nullptr, 0);
}

}  // namespace tarn
