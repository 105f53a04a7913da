#pragma once
#include <cstdint>

namespace tarn {

// One embedded flash image: its first byte and its size.
struct FlashImage {
  const uint8_t* data;
  int32_t size;
};

// One embedded XSVF stream: its first byte and its size.
struct XsvfPayload {
  const uint8_t* data;
  int32_t size;
};

inline constexpr int32_t kFlashImage150Size = 130012;
inline constexpr int32_t kFlashImage100Size = 166980;
inline constexpr int32_t kFlashImage50Size = 97652;
inline constexpr int32_t kXsvfStreamSize = 608591;

enum class PayloadKind { FlashImage, XsvfStream };

// The six payloads by their names: flashImage150, flashImage100,
// flashImage50Pci, flashImage50CardBus, xsvfStreamPci, xsvfStreamCardBus.
struct PayloadEntry {
  const char* name;
  PayloadKind kind;
  const uint8_t* data;
  int32_t size;
};
const PayloadEntry* payloadTable(int* count);
const PayloadEntry* findPayload(const char* name);

// True when the build embedded the project's stand-in payloads rather than a
// real firmware folder. Such a build never contains the hardware driver.
bool payloadsAreStandIns();

// Scans the bytes of the embedded payloads for the stand-in mark: true when
// any carries it. A driver for real cards calls this before it touches one.
bool payloadCarriesStandInMark(const PayloadEntry& entry);
bool anyEmbeddedPayloadCarriesStandInMark();

FlashImage selectFlashImage(int32_t hardwareRevision, int32_t isCardBus);
// Defined beside the XSVF streams once they are embedded.
XsvfPayload selectXsvfStream(int32_t isCardBus);

}  // namespace tarn
