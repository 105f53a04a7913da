#include "payloads/payloads.hpp"

#include <cstring>

#include "payloads/payload_origin.hpp"
#include "payloads/stand_in_mark.hpp"

// Linked in by payload_data.S, one byte sequence and one byte count per file.
extern "C" {
extern const uint8_t tarn_payload_flashImage150[];
extern const uint8_t tarn_payload_flashImage100[];
extern const uint8_t tarn_payload_flashImage50Pci[];
extern const uint8_t tarn_payload_flashImage50CardBus[];
extern const uint8_t tarn_payload_xsvfStreamPci[];
extern const uint8_t tarn_payload_xsvfStreamCardBus[];
}

namespace tarn {
namespace {

// The sizes are the system's constants; the build checked every file against them.
const PayloadEntry kPayloads[] = {
    {"flashImage150", PayloadKind::FlashImage, tarn_payload_flashImage150, kFlashImage150Size},
    {"flashImage100", PayloadKind::FlashImage, tarn_payload_flashImage100, kFlashImage100Size},
    {"flashImage50Pci", PayloadKind::FlashImage, tarn_payload_flashImage50Pci, kFlashImage50Size},
    {"flashImage50CardBus", PayloadKind::FlashImage, tarn_payload_flashImage50CardBus,
     kFlashImage50Size},
    {"xsvfStreamPci", PayloadKind::XsvfStream, tarn_payload_xsvfStreamPci, kXsvfStreamSize},
    {"xsvfStreamCardBus", PayloadKind::XsvfStream, tarn_payload_xsvfStreamCardBus, kXsvfStreamSize},
};

FlashImage flashImage(const uint8_t* data, int32_t size) { return FlashImage{data, size}; }

}  // namespace

const PayloadEntry* payloadTable(int* count) {
  *count = static_cast<int>(sizeof kPayloads / sizeof kPayloads[0]);
  return kPayloads;
}

const PayloadEntry* findPayload(const char* name) {
  if (name == nullptr) return nullptr;
  for (const PayloadEntry& entry : kPayloads) {
    if (std::strcmp(entry.name, name) == 0) return &entry;
  }
  return nullptr;
}

bool payloadsAreStandIns() { return kPayloadsAreStandIns; }

bool payloadCarriesStandInMark(const PayloadEntry& entry) {
  return carriesStandInMark(entry.data, entry.size);
}

bool anyEmbeddedPayloadCarriesStandInMark() {
  for (const PayloadEntry& entry : kPayloads) {
    if (payloadCarriesStandInMark(entry)) return true;
  }
  return false;
}

FlashImage selectFlashImage(int32_t hardwareRevision, int32_t isCardBus) {
  if (hardwareRevision < 100) {
    return isCardBus != 0 ? flashImage(tarn_payload_flashImage50CardBus, kFlashImage50Size)
                          : flashImage(tarn_payload_flashImage50Pci, kFlashImage50Size);
  }
  if (hardwareRevision >= 150) return flashImage(tarn_payload_flashImage150, kFlashImage150Size);
  return flashImage(tarn_payload_flashImage100, kFlashImage100Size);
}

XsvfPayload selectXsvfStream(int32_t isCardBus) {
  return isCardBus != 0 ? XsvfPayload{tarn_payload_xsvfStreamCardBus, kXsvfStreamSize}
                        : XsvfPayload{tarn_payload_xsvfStreamPci, kXsvfStreamSize};
}

}  // namespace tarn
