#pragma once
#include "platform/driver_io.hpp"

namespace tarn::sim {

// Passes every driver call on to another DriverIo. A double (a test's, or the
// campaigns' cut window) derives from it and overrides only the call it changes.
class ForwardingDriverIo : public DriverIo {
 public:
  explicit ForwardingDriverIo(DriverIo& inner) : inner_(inner) {}
  uint32_t getVersion() override { return inner_.getVersion(); }
  DriverHandle createFileA(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags) override {
    return inner_.createFileA(name, access, share, disposition, flags);
  }
  int deviceIoControl(DriverHandle device, uint32_t code, const void* input, uint32_t inputSize,
                      void* output, uint32_t outputSize, uint32_t* returned) override {
    return inner_.deviceIoControl(device, code, input, inputSize, output, outputSize, returned);
  }
  int closeHandle(DriverHandle handle) override { return inner_.closeHandle(handle); }
  RegisterWindow* registerWindowAt(uint32_t base) override { return inner_.registerWindowAt(base); }
  uint16_t readCardRecord16(uint32_t record, uint32_t offset) override {
    return inner_.readCardRecord16(record, offset);
  }

 private:
  DriverIo& inner_;
};

}  // namespace tarn::sim
