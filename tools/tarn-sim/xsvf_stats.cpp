// tarn-sim xsvf-stats: the command census of an XSVF stream, read with the
// command grammar alone (nothing is played).
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "tools/tarn-sim/subcommand.hpp"
#include "tools/tarn-sim/xsvf_file.hpp"
#include "xsvf/interpreter.hpp"

namespace tarn::tools {
namespace {

constexpr const char* kUsage = "xsvf-stats FILE|--payload pci|cardbus";

constexpr const char* kHelp =
    "xsvf-stats: the command census of an XSVF stream, by its command grammar alone:\n"
    "the count of each command, the instruction and data-register lengths, the run-test\n"
    "times, and the total wait the stream mandates (the run-test time after every scan\n"
    "that waits, and every XWAIT; retries not counted). Exit status 0 when the stream\n"
    "ends with XCOMPLETE at its last byte, 1 when the grammar breaks off or leaves bytes\n"
    "over, 2 for bad usage or an unreadable file.";

struct Census {
  std::map<int, uint64_t> commands;
  std::set<uint32_t> instructionLengths;
  std::set<uint32_t> dataLengths;
  std::set<int64_t> runTestTimes;
  int64_t mandatedWaitUs = 0;
  uint64_t total = 0;
};

class Walker {
 public:
  Walker(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool take(size_t count) {
    if (size_ - at_ < count) return false;
    at_ += count;
    return true;
  }
  bool byte(uint32_t& value) {
    if (at_ >= size_) return false;
    value = data_[at_++];
    return true;
  }
  bool integer(size_t bytes, uint32_t& value) {
    value = 0;
    for (size_t i = 0; i < bytes; ++i) {
      uint32_t b = 0;
      if (!byte(b)) return false;
      value = (value << 8) | b;
    }
    return true;
  }
  size_t at() const { return at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Walks the stream; returns the text of how it ended and whether that was a
// clean XCOMPLETE at the last byte.
bool walk(const uint8_t* data, size_t size, Census& census, std::string& end) {
  using namespace xsvf_command;
  Walker w(data, size);
  uint32_t lengthBytes = 0;
  int64_t runTest = 0;
  uint32_t dataBitCount = 0;
  char text[160];
  for (;;) {
    const size_t start = w.at();
    uint32_t code = 0;
    if (!w.byte(code)) {
      std::snprintf(text, sizeof text, "the stream ends at %zu without XCOMPLETE", size);
      end = text;
      return false;
    }
    ++census.commands[int(code)];
    ++census.total;
    bool ok = true;
    uint32_t a = 0, b = 0;
    switch (code) {
      case XCOMPLETE:
        std::snprintf(text, sizeof text, "XCOMPLETE at offset %zu of %zu", start, size);
        end = text;
        return w.at() == size;
      case XTDOMASK:
      case XSDR:
      case XSDRB:
      case XSDRC:
      case XSDRE:
        ok = w.take(lengthBytes);
        break;
      case XSDRTDO:
      case XSETSDRMASKS:
      case XSDRTDOB:
      case XSDRTDOC:
      case XSDRTDOE:
        ok = w.take(lengthBytes) && w.take(lengthBytes);
        if (ok && code == XSETSDRMASKS) {
          dataBitCount = 0;
          for (size_t i = w.at() - lengthBytes; i < w.at(); ++i) {
            dataBitCount += uint32_t(__builtin_popcount(data[i]));
          }
        }
        break;
      case XSIR:
      case XSIR2:
        ok = code == XSIR ? w.byte(a) : w.integer(2, a);
        if (ok && a > 56000) {
          end = "XSIR2 longer than 56000 bits";
          return false;
        }
        ok = ok && w.take((a + 7) / 8);
        if (ok) census.instructionLengths.insert(a);
        break;
      case XRUNTEST:
        ok = w.integer(4, a);
        runTest = int32_t(a);
        census.runTestTimes.insert(runTest);
        break;
      case XREPEAT:
      case XSTATE:
      case XENDIR:
      case XENDDR:
        ok = w.byte(a);
        break;
      case XSDRSIZE:
        ok = w.integer(4, a);
        if (ok && a > 56000) {
          std::snprintf(text, sizeof text, "XSDRSIZE %u above 56000 bits at offset %zu", a, start);
          end = text;
          return false;
        }
        lengthBytes = (a + 7) / 8;
        if (ok) census.dataLengths.insert(a);
        break;
      case XSDRINC:
        ok = w.take(lengthBytes) && w.byte(b);
        for (uint32_t n = 0; ok && n < b; ++n) ok = w.take((dataBitCount + 7) / 8);
        if (ok && runTest > 0) census.mandatedWaitUs += runTest * int64_t(b);
        break;
      case XCOMMENT:
        do {
          ok = w.byte(a);
        } while (ok && a != 0);
        break;
      case XWAIT:
        ok = w.take(2) && w.integer(4, a);
        if (ok && int32_t(a) > 0) census.mandatedWaitUs += int32_t(a);
        break;
      default:
        std::snprintf(text, sizeof text, "unsupported command %u at offset %zu", code, start);
        end = text;
        return false;
    }
    if (!ok) {
      std::snprintf(text, sizeof text, "the stream ends inside %s at offset %zu",
                    commandNames[code], start);
      end = text;
      return false;
    }
    const bool waits =
        code == XSIR || code == XSIR2 || code == XSDR || code == XSDRTDO || code == XSDRINC;
    if (waits && runTest > 0) census.mandatedWaitUs += runTest;
  }
}

template <typename Set>
void printSet(const char* label, const Set& values) {
  std::printf("%s", label);
  for (const auto& v : values) std::printf(" %lld", static_cast<long long>(v));
  std::printf("\n");
}

int runStats(int argc, char** argv) {
  std::vector<uint8_t> bytes;
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (argc == 3 && std::string(argv[1]) == "--payload") {
    const std::string which = argv[2];
    const char* name = which == "pci"       ? "xsvfStreamPci"
                       : which == "cardbus" ? "xsvfStreamCardBus"
                                            : nullptr;
    const PayloadEntry* entry = name != nullptr ? findPayload(name) : nullptr;
    if (entry == nullptr) {
      std::fprintf(stderr, "tarn-sim xsvf-stats: no embedded stream '%s'\n", which.c_str());
      return kExitUsage;
    }
    data = entry->data;
    size = size_t(entry->size);
  } else if (argc == 2 && argv[1][0] != '-') {
    std::string error;
    if (!readXsvfFile(argv[1], bytes, error)) {
      std::fprintf(stderr, "tarn-sim xsvf-stats: %s\n", error.c_str());
      return kExitUsage;
    }
    data = bytes.data();
    size = bytes.size();
  } else {
    std::fprintf(stderr, "usage: tarn-sim %s\n", kUsage);
    return kExitUsage;
  }

  Census census;
  std::string end;
  const bool clean = walk(data, size, census, end);
  std::printf("bytes %zu\ncommands %llu\n", size, static_cast<unsigned long long>(census.total));
  for (const auto& [code, count] : census.commands) {
    std::printf("  %s %llu\n", code < xsvf_command::count ? commandNames[code] : "unknown",
                static_cast<unsigned long long>(count));
  }
  printSet("instruction lengths", census.instructionLengths);
  printSet("data-register lengths", census.dataLengths);
  printSet("run-test times", census.runTestTimes);
  std::printf("total mandated wait %lld us\n", static_cast<long long>(census.mandatedWaitUs));
  std::printf("end %s\n", end.c_str());
  return clean ? kExitOk : kExitFailed;
}

const SubcommandRegistration registration("xsvf-stats", kUsage, kHelp, runStats);

}  // namespace
}  // namespace tarn::tools
