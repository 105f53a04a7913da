#include "tools/payload-tool/payload_files.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "payloads/stand_in_mark.hpp"
#include "tools/common/xsvf_walk.hpp"
#include "tools/payload-tool/flash_image_generator.hpp"
#include "tools/payload-tool/xsvf_standin.hpp"

namespace tarn::tools {
namespace {

namespace fs = std::filesystem;

std::string hexBytes(const uint8_t* data, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) out += ' ';
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bool readFile(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

std::string payloadFileName(const char* name) { return std::string(name) + ".bin"; }

StandInMaker standInMaker(PayloadId id) {
  switch (id) {
    case PayloadId::flashImage150:
      return makeStandInFlashImage150;
    case PayloadId::flashImage100:
      return makeStandInFlashImage100;
    case PayloadId::flashImage50Pci:
      return makeStandInFlashImage50Pci;
    case PayloadId::flashImage50CardBus:
      return makeStandInFlashImage50CardBus;
    case PayloadId::xsvfStreamPci:
      return makeXsvfStandInPci;
    case PayloadId::xsvfStreamCardBus:
      return makeXsvfStandInCardBus;
  }
  return nullptr;
}

std::string checkPayloadFormat(const PayloadSpec& spec, const std::vector<uint8_t>& bytes) {
  const size_t size = bytes.size();
  if (size != static_cast<size_t>(spec.size)) {
    return "size is " + std::to_string(size) + " bytes, must be " + std::to_string(spec.size);
  }
  if (spec.kind == PayloadKind::FlashImage) {
    if (std::memcmp(bytes.data(), kFlashImageHead, sizeof kFlashImageHead) != 0) {
      return "the first 16 bytes are " + hexBytes(bytes.data(), 16) + ", must be " +
             hexBytes(kFlashImageHead, 16);
    }
    for (size_t i = size - 16; i < size; ++i) {
      if (bytes[i] != 0) {
        return "the last 16 bytes are " + hexBytes(bytes.data() + size - 16, 16) +
               ", must all be 00";
      }
    }
    return {};
  }
  if (std::memcmp(bytes.data(), kXsvfStreamHead, sizeof kXsvfStreamHead) != 0) {
    return "the first 13 bytes are " + hexBytes(bytes.data(), 13) + ", must be " +
           hexBytes(kXsvfStreamHead, 13);
  }
  if (bytes[size - 1] != 0) {
    return "the last byte is " + hexBytes(bytes.data() + size - 1, 1) + ", must be 00 (XCOMPLETE)";
  }
  const XsvfWalkResult walk = walkXsvf(bytes.data(), static_cast<int64_t>(size), nullptr);
  if (!walk.ok) return "not a complete XSVF program: " + walk.problem;
  return {};
}

int generateStandIns(const std::string& outDir, std::string& messages) {
  std::error_code ec;
  fs::create_directories(outDir, ec);
  int status = 0;
  for (int i = 0; i < kPayloadCount; ++i) {
    const PayloadSpec& spec = kPayloadSpecs[i];
    const std::vector<uint8_t> bytes = standInMaker(static_cast<PayloadId>(i))();
    // The stand-ins must pass every check real firmware passes, the mark aside.
    const std::string problem = checkPayloadFormat(spec, bytes);
    const fs::path path = fs::path(outDir) / payloadFileName(spec.name);
    if (!problem.empty()) {
      messages += "payload-tool: stand-in " + path.string() + ": " + problem + "\n";
      status = 1;
    } else if (!carriesStandInMark(bytes.data(), static_cast<int32_t>(bytes.size()))) {
      messages += "payload-tool: stand-in " + path.string() + " lacks the stand-in mark\n";
      status = 1;
    } else if (!writeFile(path, bytes)) {
      messages += "payload-tool: cannot write " + path.string() + "\n";
      status = 1;
    }
  }
  return status;
}

int validateFirmware(const std::string& firmwareDir, const std::string& outDir,
                     std::string& messages) {
  std::error_code ec;
  // A failed check leaves no copy behind, so the next build checks again.
  for (const PayloadSpec& spec : kPayloadSpecs) {
    fs::remove(fs::path(outDir) / payloadFileName(spec.name), ec);
  }
  std::vector<std::vector<uint8_t>> contents;
  int status = 0;
  for (const PayloadSpec& spec : kPayloadSpecs) {
    const fs::path path = fs::path(firmwareDir) / payloadFileName(spec.name);
    std::vector<uint8_t> bytes;
    std::string problem;
    if (!fs::is_regular_file(path, ec)) {
      problem = "missing (the firmware folder must hold all " + std::to_string(kPayloadCount) +
                " files, named NAME.bin)";
    } else if (const uintmax_t size = fs::file_size(path, ec);
               !ec && size != static_cast<uintmax_t>(spec.size)) {
      // Checked before reading, so a wrong file of any size is refused cheaply.
      problem = "size is " + std::to_string(size) + " bytes, must be " + std::to_string(spec.size);
    } else if (!readFile(path, bytes)) {
      problem = "cannot be read";
    } else {
      problem = checkPayloadFormat(spec, bytes);
      if (problem.empty() && carriesStandInMark(bytes.data(), static_cast<int32_t>(bytes.size()))) {
        problem = "carries the stand-in mark \"" + std::string(kStandInMark) +
                  "\": stand-in firmware never reaches a real card";
      }
    }
    if (!problem.empty()) {
      messages += "payload-tool: firmware file " + path.string() + ": " + problem + "\n";
      status = 1;
    }
    contents.push_back(std::move(bytes));
  }
  if (status != 0) return status;
  fs::create_directories(outDir, ec);
  for (size_t i = 0; i < contents.size(); ++i) {
    const fs::path path = fs::path(outDir) / payloadFileName(kPayloadSpecs[i].name);
    if (!writeFile(path, contents[i])) {
      messages += "payload-tool: cannot write " + path.string() + "\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace tarn::tools
