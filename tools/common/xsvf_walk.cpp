#include "tools/common/xsvf_walk.hpp"

#include <vector>

#include "xsvf/shift_buffer.hpp"
#include "xsvf/xsvf_commands.hpp"

namespace tarn::tools {
namespace {

using namespace xsvf_command;

constexpr uint32_t kMaxBits = 8u * MAX_LEN;

uint32_t bitsToBytes(uint32_t bits) { return (bits + 7) / 8; }

class Walker {
 public:
  Walker(const uint8_t* data, int64_t size) : data_(data), size_(size) {}

  bool take(int64_t count, const uint8_t** out) {
    if (count < 0 || count > size_ - pos_) return false;
    if (out != nullptr) *out = data_ + pos_;
    pos_ += count;
    return true;
  }
  bool byte(uint32_t* value) {
    const uint8_t* p = nullptr;
    if (!take(1, &p)) return false;
    *value = p[0];
    return true;
  }
  bool bigEndian(int count, uint32_t* value) {
    const uint8_t* p = nullptr;
    if (!take(count, &p)) return false;
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 8) | p[i];
    *value = v;
    return true;
  }
  int64_t pos() const { return pos_; }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t pos_ = 0;
};

}  // namespace

const char* xsvfCommandName(uint32_t code) {
  return code < xsvf_command::count ? kXsvfCommands[code].name : "unknown";
}

XsvfWalkResult walkXsvf(const uint8_t* data, int64_t size, XsvfCensus* census) {
  XsvfCensus local;
  XsvfCensus& c = census != nullptr ? *census : local;
  c = XsvfCensus{};
  XsvfWalkResult result;
  Walker w(data, size);
  uint32_t drBytes = 0;
  int32_t runTest = 0;
  std::vector<uint8_t> dataMask;

  auto fail = [&](int64_t at, std::string text) {
    result.ok = false;
    result.offset = at;
    result.problem = std::move(text);
    return result;
  };
  auto shifted = [&](uint32_t shifts) {
    c.shiftsPerRunTestTime[runTest] += shifts;
    if (runTest > 0) c.mandatedWaitMicroseconds += static_cast<uint64_t>(runTest) * shifts;
  };

  while (true) {
    const int64_t at = w.pos();
    uint32_t code = 0;
    if (!w.byte(&code)) {
      return fail(at, "the stream ends at byte " + std::to_string(size) + " without XCOMPLETE");
    }
    ++c.commandCount;
    auto truncated = [&]() {
      return fail(at, std::string(xsvfCommandName(code)) + " at offset " + std::to_string(at) +
                          " runs past the end of the stream");
    };
    const XsvfOperands operands =
        code < xsvf_command::count ? kXsvfCommands[code].operands : XsvfOperands::unsupported;
    if (operands == XsvfOperands::unsupported) {
      return fail(at, "unsupported command code " + std::to_string(code) + " at offset " +
                          std::to_string(at));
    }
    ++c.perCode[code];
    // The operands, by their layout in the table.
    bool ok = true;
    uint32_t v = 0;                   // the byte, integer, length or count operand
    const uint8_t* second = nullptr;  // the second of two data values
    switch (operands) {
      case XsvfOperands::none:
      case XsvfOperands::unsupported:
        break;
      case XsvfOperands::dataValue:
        ok = w.take(drBytes, nullptr);
        break;
      case XsvfOperands::twoDataValues:
        ok = w.take(drBytes, nullptr) && w.take(drBytes, &second);
        break;
      case XsvfOperands::byte:
        ok = w.byte(&v);
        break;
      case XsvfOperands::length8Value:
      case XsvfOperands::length16Value:
        ok = operands == XsvfOperands::length8Value ? w.byte(&v) : w.bigEndian(2, &v);
        if (ok && v > kMaxBits) {
          return fail(at, std::string(xsvfCommandName(code)) + " at offset " + std::to_string(at) +
                              " has length " + std::to_string(v) + " bits, above " +
                              std::to_string(kMaxBits));
        }
        ok = ok && w.take(bitsToBytes(v), nullptr);
        break;
      case XsvfOperands::integer32:
        ok = w.bigEndian(4, &v);
        break;
      case XsvfOperands::increment: {
        uint32_t dataBits = 0;
        for (uint8_t b : dataMask) {
          for (int bit = 0; bit < 8; ++bit) dataBits += (b >> bit) & 1u;
        }
        ok = w.take(drBytes, nullptr) && w.byte(&v) &&
             w.take(static_cast<int64_t>(v) * bitsToBytes(dataBits), nullptr);
        break;
      }
      case XsvfOperands::text:
        do {
          ok = w.byte(&v);
        } while (ok && v != 0);
        break;
      case XsvfOperands::wait:
        ok = w.take(2, nullptr) && w.bigEndian(4, &v);
        break;
    }
    if (!ok) return truncated();
    // What the grammar's state and the census take from them.
    switch (code) {
      case XCOMPLETE:
        if (w.pos() != size) {
          return fail(at, "XCOMPLETE at offset " + std::to_string(at) + " is followed by " +
                              std::to_string(size - w.pos()) + " more bytes");
        }
        result.ok = true;
        result.offset = at;
        return result;
      case XSIR:
      case XSIR2:
        ++c.instructionBits[v];
        shifted(1);
        break;
      case XSDR:
      case XSDRTDO:
        shifted(1);
        break;
      case XRUNTEST:
        runTest = static_cast<int32_t>(v);
        ++c.runTestTimes[runTest];
        break;
      case XREPEAT:
        ++c.repeatCounts[v];
        break;
      case XSDRSIZE:
        if (v > kMaxBits) {
          return fail(at, "XSDRSIZE at offset " + std::to_string(at) + " sets " +
                              std::to_string(v) + " bits, above " + std::to_string(kMaxBits));
        }
        drBytes = bitsToBytes(v);
        ++c.dataRegisterBits[v];
        break;
      case XSETSDRMASKS:
        dataMask.assign(second, second + drBytes);
        break;
      case XSDRINC:
        shifted(1 + v);
        break;
      case XSTATE:
        ++c.stateTargets[v];
        break;
      case XWAIT:
        if (static_cast<int32_t>(v) > 0) c.mandatedWaitMicroseconds += v;
        break;
      default:
        break;
    }
  }
}

}  // namespace tarn::tools
