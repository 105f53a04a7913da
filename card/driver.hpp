#pragma once
#include <cstdint>

#include "card/card_context.hpp"
#include "platform/driver_io.hpp"

namespace tarn {

// NT-family control codes (FILE_DEVICE_SOUND, METHOD_BUFFERED, FILE_READ_ACCESS).
inline constexpr uint32_t GET_CARD_INFO = 0x1D40B8;
inline constexpr uint32_t MAP_REGISTERS = 0x1D4074;
inline constexpr uint32_t UNMAP_REGISTERS = 0x1D4078;
// Older-family service codes.
inline constexpr uint32_t QUERY_CARD_COUNT = 13;
inline constexpr uint32_t QUERY_CARD = 12;
inline constexpr uint32_t MAP_CARD_REGISTERS = 1;

inline constexpr uint32_t kCardInfoSignature = 0x3FC5;
inline constexpr uint32_t kCardInfoSize = 108;
inline constexpr uint32_t kCardInfoRevisionOffset = 4;
inline constexpr uint32_t kCardInfoCountOffset = 72;
inline constexpr uint32_t kOlderInputSize = 12;
inline constexpr uint32_t kOlderOutputSize = 128;
inline constexpr uint32_t kCardRecordRevisionOffset = 1388;
inline constexpr int32_t kDeviceNumberStride = 13;
inline constexpr const char* kOlderDriverName = "\\\\.\\tarn.vxd";
inline constexpr const char* kNtKernelDeviceName = "\\Device\\tarnOut";

int openCard(CardContext& card, DriverIo& io, int32_t cardIndex, int mapRegisters);
void releaseRegisters(CardContext& card, DriverIo& io);
int deviceControl(CardContext& card, DriverIo& io, uint32_t code, const void* input,
                  uint32_t inputSize, void* output, uint32_t outputSize);

}  // namespace tarn
