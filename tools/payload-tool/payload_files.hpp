#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"

namespace tarn::tools {

// A firmware folder holds each payload of payloads/payload_list.def as
// NAME.bin, for example flashImage100.bin and xsvfStreamPci.bin; the build's
// payload folder uses the same names.
std::string payloadFileName(const char* name);  // NAME.bin

// Leading bytes every XSVF stream starts with (a flash image: kFlashImageHead).
inline constexpr uint8_t kXsvfStreamHead[13] = {0x07, 0x00, 0x12, 0x00, 0x12, 0x01, 0x04,
                                                0x00, 0x00, 0x00, 0x00, 0x02, 0x08};

// Every format fact a payload of this kind and size must meet, the stand-in
// mark aside. Returns an empty string when the bytes pass, otherwise what is
// wrong, in a few words.
std::string checkPayloadFormat(const PayloadSpec& spec, const std::vector<uint8_t>& bytes);

// The deterministic stand-in maker of each payload. A payload added to the
// list without one here is a -Wswitch warning, an error under TARN_WERROR.
using StandInMaker = std::vector<uint8_t> (*)();
StandInMaker standInMaker(PayloadId id);

// payload-tool generate OUTDIR. Messages for the user are appended to
// `messages`; returns the exit status.
int generateStandIns(const std::string& outDir, std::string& messages);

// payload-tool validate FIRMWARE_DIR OUTDIR: checks every real firmware
// file and copies them to OUTDIR only when every one passes.
int validateFirmware(const std::string& firmwareDir, const std::string& outDir,
                     std::string& messages);

}  // namespace tarn::tools
