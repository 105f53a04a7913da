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

enum class PayloadKind { FlashImage, XsvfStream };

// The first bytes of every flash image: a dummy word and the sync word, with
// the bit order of each byte reversed, then the first command word.
inline constexpr uint8_t kFlashImageHead[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66,
                                                0x0C, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0xE0};

// The payloads as payloads/payload_list.def names them, in its order.
enum class PayloadId : int {
#define TARN_PAYLOAD(name, kind, size) name,
#include "payloads/payload_list.def"
#undef TARN_PAYLOAD
};

// One row of payloads/payload_list.def. The sizes are the system's constants:
// consumers take a payload's length from here, never from its data.
struct PayloadSpec {
  const char* name;
  PayloadKind kind;
  int32_t size;
};
inline constexpr PayloadSpec kPayloadSpecs[] = {
#define TARN_PAYLOAD(name, kind, size) {#name, PayloadKind::kind, size},
#include "payloads/payload_list.def"
#undef TARN_PAYLOAD
};
inline constexpr int kPayloadCount =
    static_cast<int>(sizeof kPayloadSpecs / sizeof kPayloadSpecs[0]);

constexpr const PayloadSpec& payloadSpec(PayloadId id) {
  return kPayloadSpecs[static_cast<int>(id)];
}

inline constexpr int32_t kFlashImage150Size = payloadSpec(PayloadId::flashImage150).size;
inline constexpr int32_t kFlashImage100Size = payloadSpec(PayloadId::flashImage100).size;
// The two images of revisions 50 to 99 share one layout, and the two streams
// one size, which the stream reader's progress is counted against.
inline constexpr int32_t kFlashImage50Size = payloadSpec(PayloadId::flashImage50Pci).size;
static_assert(payloadSpec(PayloadId::flashImage50CardBus).size == kFlashImage50Size);
inline constexpr int32_t kXsvfStreamSize = payloadSpec(PayloadId::xsvfStreamPci).size;
static_assert(payloadSpec(PayloadId::xsvfStreamCardBus).size == kXsvfStreamSize);

// One embedded payload: its name, its bytes and their count. Its kind is the
// list's (kPayloadSpecs, in the same order): the updater picks each payload by
// its PayloadId, whose kind the build checks.
struct PayloadEntry {
  const char* name;
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
XsvfPayload selectXsvfStream(int32_t isCardBus);

}  // namespace tarn
