#pragma once
#include <cstdint>

#include "platform/driver_io.hpp"
#include "platform/mapped_window.hpp"

namespace tarn {

// The four Win32 calls that reach the card's kernel driver, in their own
// shapes (HANDLE as intptr_t, BOOL as int, the unused pointers kept). The
// Windows program fills the table with the real calls; a test fills it with
// recorders, so the code that forms paths, codes and buffer sizes is the same
// code in both.
struct Win32DriverCalls {
  uint32_t (*getVersion)();
  intptr_t (*createFileA)(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                          void* securityAttributes, uint32_t creationDisposition,
                          uint32_t flagsAndAttributes, intptr_t templateFile);
  int (*deviceIoControl)(intptr_t device, uint32_t controlCode, void* input, uint32_t inputSize,
                         void* output, uint32_t outputSize, uint32_t* bytesReturned,
                         void* overlapped);
  int (*closeHandle)(intptr_t handle);
};

// DriverIo on the real operating system: the calls go through the table, and
// what the driver hands back by address (the register window, the older
// driver's card record) is read in place, in this process.
class Win32DriverIo final : public DriverIo {
 public:
  explicit Win32DriverIo(const Win32DriverCalls& calls) : calls_(calls) {}

  uint32_t getVersion() override;
  DriverHandle createFileA(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                           uint32_t creationDisposition, uint32_t flagsAndAttributes) override;
  int deviceIoControl(DriverHandle device, uint32_t controlCode, const void* input,
                      uint32_t inputSize, void* output, uint32_t outputSize,
                      uint32_t* bytesReturned) override;
  int closeHandle(DriverHandle handle) override;
  RegisterWindow* registerWindowAt(uint32_t baseAddress) override;
  uint16_t readCardRecord16(uint32_t recordAddress, uint32_t byteOffset) override;

 private:
  Win32DriverCalls calls_;
  MappedRegisterWindow window_{0};
};

}  // namespace tarn
