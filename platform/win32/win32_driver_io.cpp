#include "platform/win32/win32_driver_io.hpp"

namespace tarn {

uint32_t Win32DriverIo::getVersion() { return calls_.getVersion(); }

DriverHandle Win32DriverIo::createFileA(const char* fileName, uint32_t desiredAccess,
                                        uint32_t shareMode, uint32_t creationDisposition,
                                        uint32_t flagsAndAttributes) {
  // No security attributes and no template file: the driver takes neither.
  return calls_.createFileA(fileName, desiredAccess, shareMode, nullptr, creationDisposition,
                            flagsAndAttributes, 0);
}

int Win32DriverIo::deviceIoControl(DriverHandle device, uint32_t controlCode, const void* input,
                                   uint32_t inputSize, void* output, uint32_t outputSize,
                                   uint32_t* bytesReturned) {
  // DeviceIoControl takes a non-const input pointer but only reads through it.
  // Synchronous: no overlapped structure.
  return calls_.deviceIoControl(device, controlCode, const_cast<void*>(input), inputSize, output,
                                outputSize, bytesReturned, nullptr);
}

int Win32DriverIo::closeHandle(DriverHandle handle) { return calls_.closeHandle(handle); }

RegisterWindow* Win32DriverIo::registerWindowAt(uint32_t baseAddress) {
  // The driver maps the card's registers into this process and hands back a
  // 32-bit user-space address; the accesses go straight to it.
  window_ = MappedRegisterWindow(uintptr_t(baseAddress));
  return &window_;
}

uint16_t Win32DriverIo::readCardRecord16(uint32_t recordAddress, uint32_t byteOffset) {
  // The older driver's card record lives in memory the process can read; the
  // driver may change it, so read it as it is now, once.
  const auto* field =
      reinterpret_cast<const volatile uint8_t*>(uintptr_t(recordAddress) + byteOffset);
  const uint8_t low = field[0];
  const uint8_t high = field[1];
  return uint16_t(low | high << 8);
}

}  // namespace tarn
