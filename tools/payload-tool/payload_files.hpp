#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"

namespace tarn::tools {

// The six payload files. A firmware folder holds each as NAME.bin, for
// example flashImage100.bin and xsvfStreamPci.bin; the build's payload folder
// uses the same names.
struct PayloadFileSpec {
  const char* name;
  PayloadKind kind;
  int32_t size;
};
inline constexpr PayloadFileSpec kPayloadFiles[] = {
    {"flashImage150", PayloadKind::FlashImage, kFlashImage150Size},
    {"flashImage100", PayloadKind::FlashImage, kFlashImage100Size},
    {"flashImage50Pci", PayloadKind::FlashImage, kFlashImage50Size},
    {"flashImage50CardBus", PayloadKind::FlashImage, kFlashImage50Size},
    {"xsvfStreamPci", PayloadKind::XsvfStream, kXsvfStreamSize},
    {"xsvfStreamCardBus", PayloadKind::XsvfStream, kXsvfStreamSize},
};
const PayloadFileSpec* findPayloadFile(const char* name);
std::string payloadFileName(const char* name);  // NAME.bin

// Leading bytes every file of a kind starts with.
inline constexpr uint8_t kFlashImageHead[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66,
                                                0x0C, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0xE0};
inline constexpr uint8_t kXsvfStreamHead[13] = {0x07, 0x00, 0x12, 0x00, 0x12, 0x01, 0x04,
                                                0x00, 0x00, 0x00, 0x00, 0x02, 0x08};

// Every format fact a payload of this kind and size must meet, the stand-in
// mark aside. Returns an empty string when the bytes pass, otherwise what is
// wrong, in a few words.
std::string checkPayloadFormat(const PayloadFileSpec& spec, const std::vector<uint8_t>& bytes);

// One deterministic stand-in maker per payload. `generate` runs every entry,
// so a new stand-in is one more row in standInGenerators().
using StandInMaker = std::vector<uint8_t> (*)();
struct StandInGenerator {
  const char* name;
  StandInMaker make;
};
const StandInGenerator* standInGenerators(int* count);

// payload-tool generate OUTDIR. Messages for the user are appended to
// `messages`; returns the exit status.
int generateStandIns(const std::string& outDir, std::string& messages);

// payload-tool validate FIRMWARE_DIR OUTDIR: checks all six real firmware
// files and copies them to OUTDIR only when every one passes.
int validateFirmware(const std::string& firmwareDir, const std::string& outDir,
                     std::string& messages);

}  // namespace tarn::tools
