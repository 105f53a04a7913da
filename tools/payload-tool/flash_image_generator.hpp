#pragma once
#include <cstdint>
#include <vector>

namespace tarn::tools {

// The knobs that make the four stand-in flash images differ from each other.
struct StandInFlashImageRecipe {
  int32_t size;            // total bytes, a multiple of 4
  uint32_t seed;           // of the frame data
  uint32_t frameWords;     // frame length register value, words per frame
  uint32_t configOptions;  // configuration options register value
};

// A bitstream of the usual packet structure (dummy word, sync, reset CRC,
// type 1 register writes, one type 2 frame data packet, further frame writes,
// CRC checks, start-up, desync), each byte's bit order reversed as stored on
// the card, 16 zero bytes at the end, the stand-in mark in its frame data.
std::vector<uint8_t> makeStandInFlashImage(const StandInFlashImageRecipe& recipe);

std::vector<uint8_t> makeStandInFlashImage150();
std::vector<uint8_t> makeStandInFlashImage100();
std::vector<uint8_t> makeStandInFlashImage50Pci();
std::vector<uint8_t> makeStandInFlashImage50CardBus();

uint8_t reverseBits(uint8_t value);

}  // namespace tarn::tools
