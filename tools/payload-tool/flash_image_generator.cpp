#include "tools/payload-tool/flash_image_generator.hpp"

#include <cstddef>

#include "payloads/payloads.hpp"
#include "payloads/stand_in_mark.hpp"

namespace tarn::tools {
namespace {

// Configuration registers and commands of the bitstream, in its usual form.
constexpr uint32_t kRegCrc = 0, kRegFar = 1, kRegFdri = 2, kRegCmd = 4, kRegCtl = 5, kRegMask = 6,
                   kRegCor = 9, kRegFlr = 11;
constexpr uint32_t kCmdWcfg = 1, kCmdLfrm = 3, kCmdStart = 5, kCmdRcrc = 7, kCmdDesync = 13;
constexpr uint32_t kDummy = 0xFFFFFFFFu, kSync = 0xAA995566u, kNoop = 0x20000000u;
constexpr int kFurtherFrameWrites = 2;
constexpr int kTrailingZeroWords = 4;
constexpr size_t kMarkSpacing = 8192;  // bytes of frame data between two marks

uint32_t type1Write(uint32_t reg, uint32_t words) { return 0x30000000u | (reg << 13) | words; }
uint32_t type2Write(uint32_t words) { return 0x50000000u | words; }

uint32_t nextRandom(uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

uint32_t crc32Step(uint32_t crc, uint32_t word) {
  for (int i = 0; i < 32; ++i) {
    const uint32_t bit = ((word >> (31 - i)) ^ (crc >> 31)) & 1u;
    crc = (crc << 1) ^ (bit != 0 ? 0x04C11DB7u : 0u);
  }
  return crc;
}

// Frame data of `words` words in the usual form; the stand-in mark is stamped
// bit-reversed, so that the stored image holds it verbatim.
std::vector<uint32_t> frameData(size_t words, uint32_t& random, bool stampMark) {
  std::vector<uint8_t> bytes(words * 4);
  for (size_t i = 0; i < bytes.size(); i += 4) {
    const uint32_t r = nextRandom(random);
    for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(r >> (24 - 8 * k));
  }
  if (stampMark) {
    for (size_t at = 64; at + static_cast<size_t>(kStandInMarkLength) <= bytes.size();
         at += kMarkSpacing) {
      for (int32_t k = 0; k < kStandInMarkLength; ++k) {
        bytes[at + static_cast<size_t>(k)] = reverseBits(static_cast<uint8_t>(kStandInMark[k]));
      }
    }
  }
  std::vector<uint32_t> out(words);
  for (size_t i = 0; i < words; ++i) {
    out[i] = (uint32_t{bytes[4 * i]} << 24) | (uint32_t{bytes[4 * i + 1]} << 16) |
             (uint32_t{bytes[4 * i + 2]} << 8) | uint32_t{bytes[4 * i + 3]};
  }
  return out;
}

}  // namespace

uint8_t reverseBits(uint8_t value) {
  uint8_t out = 0;
  for (int i = 0; i < 8; ++i) out = static_cast<uint8_t>(out | (((value >> i) & 1u) << (7 - i)));
  return out;
}

std::vector<uint8_t> makeStandInFlashImage(const StandInFlashImageRecipe& recipe) {
  uint32_t random = recipe.seed != 0 ? recipe.seed : 1u;
  const uint32_t further = recipe.frameWords + 1;  // one frame and its pad word

  std::vector<uint32_t> head = {kDummy,
                                kSync,
                                type1Write(kRegCmd, 1),
                                kCmdRcrc,
                                type1Write(kRegFlr, 1),
                                recipe.frameWords - 1,
                                type1Write(kRegCor, 1),
                                recipe.configOptions,
                                type1Write(kRegMask, 1),
                                0,
                                type1Write(kRegCtl, 1),
                                0,
                                type1Write(kRegCmd, 1),
                                kCmdWcfg,
                                type1Write(kRegFar, 1),
                                0,
                                type1Write(kRegFdri, 0)};
  // After the type 2 data: its CRC check, then each further frame write is
  // FAR + FDRI header + data + CRC check, then the closing sequence.
  const size_t perFurther = 2 + 1 + further + 2;
  const size_t closing = 2 /*LFRM*/ + 2 /*START*/ + 2 /*CTL*/ + 2 /*CRC*/ + 2 /*DESYNC*/ + 4;
  const size_t totalWords = static_cast<size_t>(recipe.size) / 4;
  const size_t fixedWords = head.size() + 1 /*type 2 header*/ + 2 /*CRC*/ +
                            kFurtherFrameWrites * perFurther + closing + kTrailingZeroWords;
  const size_t bulkWords = totalWords - fixedWords;

  std::vector<uint32_t> words = head;
  words.reserve(totalWords);
  uint32_t crc = 0;
  auto writeData = [&](const std::vector<uint32_t>& data) {
    for (uint32_t w : data) {
      words.push_back(w);
      crc = crc32Step(crc, w);
    }
  };
  auto crcCheck = [&]() {
    words.push_back(type1Write(kRegCrc, 1));
    words.push_back(crc);
  };

  words.push_back(type2Write(static_cast<uint32_t>(bulkWords)));
  writeData(frameData(bulkWords, random, true));
  crcCheck();
  for (int i = 0; i < kFurtherFrameWrites; ++i) {
    words.push_back(type1Write(kRegFar, 1));
    words.push_back(0x00020000u * static_cast<uint32_t>(i + 1));
    words.push_back(type1Write(kRegFdri, further));
    writeData(frameData(further, random, false));
    crcCheck();
  }
  words.push_back(type1Write(kRegCmd, 1));
  words.push_back(kCmdLfrm);
  words.push_back(type1Write(kRegCmd, 1));
  words.push_back(kCmdStart);
  words.push_back(type1Write(kRegCtl, 1));
  words.push_back(0x00000040u);
  crcCheck();
  words.push_back(type1Write(kRegCmd, 1));
  words.push_back(kCmdDesync);
  for (int i = 0; i < 4; ++i) words.push_back(kNoop);
  for (int i = 0; i < kTrailingZeroWords; ++i) words.push_back(0);

  std::vector<uint8_t> stored;
  stored.reserve(words.size() * 4);
  for (uint32_t w : words) {
    for (int k = 0; k < 4; ++k)
      stored.push_back(reverseBits(static_cast<uint8_t>(w >> (24 - 8 * k))));
  }
  return stored;
}

std::vector<uint8_t> makeStandInFlashImage150() {
  return makeStandInFlashImage({kFlashImage150Size, 0x150A150Au, 42, 0x00003FE5u});
}
std::vector<uint8_t> makeStandInFlashImage100() {
  return makeStandInFlashImage({kFlashImage100Size, 0x100B100Bu, 49, 0x00003FE5u});
}
std::vector<uint8_t> makeStandInFlashImage50Pci() {
  return makeStandInFlashImage({kFlashImage50Size, 0x50C0FFEEu, 36, 0x00003FE4u});
}
std::vector<uint8_t> makeStandInFlashImage50CardBus() {
  return makeStandInFlashImage({kFlashImage50Size, 0x50CAB005u, 36, 0x00003FE6u});
}

}  // namespace tarn::tools
