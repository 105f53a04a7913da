#include "tools/common/xsvf_walk.hpp"

#include <vector>

namespace tarn::tools {
namespace {

constexpr uint32_t kMaxBits = 56000;  // 8 x the player's 7000-byte buffers

const char* const kNames[24] = {"XCOMPLETE",    "XTDOMASK",  "XSIR",     "XSDR",     "XRUNTEST",
                                "Reserved5",    "Reserved6", "XREPEAT",  "XSDRSIZE", "XSDRTDO",
                                "XSETSDRMASKS", "XSDRINC",   "XSDRB",    "XSDRC",    "XSDRE",
                                "XSDRTDOB",     "XSDRTDOC",  "XSDRTDOE", "XSTATE",   "XENDIR",
                                "XENDDR",       "XSIR2",     "XCOMMENT", "XWAIT"};

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

const char* xsvfCommandName(uint32_t code) { return code < 24 ? kNames[code] : "unknown"; }

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
    if (code >= 24 || code == 5 || code == 6) {
      return fail(at, "unsupported command code " + std::to_string(code) + " at offset " +
                          std::to_string(at));
    }
    ++c.perCode[code];
    bool ok = true;
    uint32_t v = 0;
    switch (code) {
      case 0:  // XCOMPLETE
        if (w.pos() != size) {
          return fail(at, "XCOMPLETE at offset " + std::to_string(at) + " is followed by " +
                              std::to_string(size - w.pos()) + " more bytes");
        }
        result.ok = true;
        result.offset = at;
        return result;
      case 1:  // XTDOMASK
        ok = w.take(drBytes, nullptr);
        break;
      case 2:   // XSIR
      case 21:  // XSIR2
        ok = code == 2 ? w.byte(&v) : w.bigEndian(2, &v);
        if (ok && v > kMaxBits) {
          return fail(at, "XSIR2 at offset " + std::to_string(at) + " has length " +
                              std::to_string(v) + " bits, above 56000");
        }
        ok = ok && w.take(bitsToBytes(v), nullptr);
        if (ok) {
          ++c.instructionBits[v];
          shifted(1);
        }
        break;
      case 3:  // XSDR
        ok = w.take(drBytes, nullptr);
        if (ok) shifted(1);
        break;
      case 4:  // XRUNTEST
        ok = w.bigEndian(4, &v);
        if (ok) {
          runTest = static_cast<int32_t>(v);
          ++c.runTestTimes[runTest];
        }
        break;
      case 7:  // XREPEAT
        ok = w.byte(&v);
        if (ok) ++c.repeatCounts[v];
        break;
      case 8:  // XSDRSIZE
        ok = w.bigEndian(4, &v);
        if (ok && v > kMaxBits) {
          return fail(at, "XSDRSIZE at offset " + std::to_string(at) + " sets " +
                              std::to_string(v) + " bits, above 56000");
        }
        if (ok) {
          drBytes = bitsToBytes(v);
          ++c.dataRegisterBits[v];
        }
        break;
      case 9:  // XSDRTDO
        ok = w.take(2 * static_cast<int64_t>(drBytes), nullptr);
        if (ok) shifted(1);
        break;
      case 10: {  // XSETSDRMASKS
        const uint8_t* p = nullptr;
        ok = w.take(drBytes, nullptr) && w.take(drBytes, &p);
        if (ok) dataMask.assign(p, p + drBytes);
        break;
      }
      case 11: {  // XSDRINC
        uint32_t dataBits = 0;
        for (uint8_t b : dataMask) {
          for (int bit = 0; bit < 8; ++bit) dataBits += (b >> bit) & 1u;
        }
        ok = w.take(drBytes, nullptr) && w.byte(&v) &&
             w.take(static_cast<int64_t>(v) * bitsToBytes(dataBits), nullptr);
        if (ok) shifted(1 + v);
        break;
      }
      case 12:
      case 13:
      case 14:  // XSDRB, XSDRC, XSDRE
        ok = w.take(drBytes, nullptr);
        break;
      case 15:
      case 16:
      case 17:  // XSDRTDOB, XSDRTDOC, XSDRTDOE
        ok = w.take(2 * static_cast<int64_t>(drBytes), nullptr);
        break;
      case 18:  // XSTATE
        ok = w.byte(&v);
        if (ok) ++c.stateTargets[v];
        break;
      case 19:
      case 20:  // XENDIR, XENDDR
        ok = w.byte(&v);
        break;
      case 22:  // XCOMMENT
        do {
          ok = w.byte(&v);
        } while (ok && v != 0);
        break;
      case 23: {  // XWAIT
        uint32_t time = 0;
        ok = w.take(2, nullptr) && w.bigEndian(4, &time);
        if (ok && static_cast<int32_t>(time) > 0) c.mandatedWaitMicroseconds += time;
        break;
      }
      default:
        break;
    }
    if (!ok) return truncated();
  }
}

}  // namespace tarn::tools
