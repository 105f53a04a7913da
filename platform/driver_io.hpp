#pragma once
#include <cstdint>

#include "platform/register_window.hpp"

namespace tarn {

using DriverHandle = intptr_t;
inline constexpr DriverHandle kInvalidHandle = -1;  // INVALID_HANDLE_VALUE

// Win32 constants the driver calls pass.
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kFileFlagDeleteOnClose = 0x04000000u;

// The four operating-system calls that reach the card's kernel driver, plus
// the two ways the process reads what the driver hands back by address: the
// register window at a mapped base, and the older driver's per-card record.
class DriverIo {
 public:
  virtual ~DriverIo() = default;
  virtual uint32_t getVersion() = 0;
  virtual DriverHandle createFileA(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                                   uint32_t creationDisposition, uint32_t flagsAndAttributes) = 0;
  virtual int deviceIoControl(DriverHandle device, uint32_t controlCode, const void* input,
                              uint32_t inputSize, void* output, uint32_t outputSize,
                              uint32_t* bytesReturned) = 0;
  virtual int closeHandle(DriverHandle handle) = 0;
  // The register window whose base the driver returned; never null for an
  // address the driver handed out.
  virtual RegisterWindow* registerWindowAt(uint32_t baseAddress) = 0;
  // One 16-bit little-endian field of the older driver's card record.
  virtual uint16_t readCardRecord16(uint32_t recordAddress, uint32_t byteOffset) = 0;
};

}  // namespace tarn
