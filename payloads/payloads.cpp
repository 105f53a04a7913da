#include "payloads/payloads.hpp"

#include <cstring>

#include "payloads/payload_origin.hpp"
#include "payloads/stand_in_mark.hpp"

// Linked in by payload_data.S, one byte sequence per file.
extern "C" {
#define TARN_PAYLOAD(name, kind, size) extern const uint8_t tarn_payload_##name[];
#include "payloads/payload_list.def"
#undef TARN_PAYLOAD
}

namespace tarn {
namespace {

constexpr PayloadEntry entry(PayloadId id, const uint8_t* data) {
  const PayloadSpec& spec = payloadSpec(id);
  return PayloadEntry{spec.name, data, spec.size};
}

// The build checked every file against its size in the list.
const PayloadEntry kPayloads[] = {
#define TARN_PAYLOAD(name, kind, size) entry(PayloadId::name, tarn_payload_##name),
#include "payloads/payload_list.def"
#undef TARN_PAYLOAD
};

const PayloadEntry& payload(PayloadId id) { return kPayloads[static_cast<int>(id)]; }

FlashImage flashImage(PayloadId id) { return FlashImage{payload(id).data, payload(id).size}; }

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

constexpr bool isFlashImage(PayloadId id) {
  return payloadSpec(id).kind == PayloadKind::FlashImage;
}
static_assert(isFlashImage(PayloadId::flashImage150) && isFlashImage(PayloadId::flashImage100) &&
              isFlashImage(PayloadId::flashImage50Pci) &&
              isFlashImage(PayloadId::flashImage50CardBus));
static_assert(!isFlashImage(PayloadId::xsvfStreamPci) &&
              !isFlashImage(PayloadId::xsvfStreamCardBus));

FlashImage selectFlashImage(int32_t hardwareRevision, int32_t isCardBus) {
  if (hardwareRevision < 100) {
    return flashImage(isCardBus != 0 ? PayloadId::flashImage50CardBus : PayloadId::flashImage50Pci);
  }
  if (hardwareRevision >= 150) return flashImage(PayloadId::flashImage150);
  return flashImage(PayloadId::flashImage100);
}

XsvfPayload selectXsvfStream(int32_t isCardBus) {
  const PayloadEntry& stream =
      payload(isCardBus != 0 ? PayloadId::xsvfStreamCardBus : PayloadId::xsvfStreamPci);
  return XsvfPayload{stream.data, stream.size};
}

}  // namespace tarn
