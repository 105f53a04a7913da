#pragma once
// Builds XSVF byte streams command by command, for tests, benchmarks and fuzz
// seeds. Values are given most significant byte first, as the stream carries
// them; nothing is checked, so damaged streams can be built too.
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::sim {

class XsvfWriter {
 public:
  using Value = std::vector<uint8_t>;
  std::vector<uint8_t> bytes;

  XsvfWriter& complete() { return code(0); }
  XsvfWriter& tdoMask(const Value& mask) { return code(1).value(mask); }
  XsvfWriter& sir(uint8_t bits, const Value& value) { return code(2).byte(bits).value(value); }
  XsvfWriter& sdr(const Value& value) { return code(3).value(value); }
  XsvfWriter& runTest(uint32_t microseconds) { return code(4).u32(microseconds); }
  XsvfWriter& repeat(uint8_t count) { return code(7).byte(count); }
  XsvfWriter& sdrSize(uint32_t bits) { return code(8).u32(bits); }
  XsvfWriter& sdrTdo(const Value& tdi, const Value& expected) {
    return code(9).value(tdi).value(expected);
  }
  XsvfWriter& setSdrMasks(const Value& address, const Value& data) {
    return code(10).value(address).value(data);
  }
  XsvfWriter& sdrInc(const Value& start, const std::vector<Value>& data) {
    code(11).value(start).byte(uint8_t(data.size()));
    for (const Value& v : data) value(v);
    return *this;
  }
  XsvfWriter& sdrB(const Value& tdi) { return code(12).value(tdi); }
  XsvfWriter& sdrC(const Value& tdi) { return code(13).value(tdi); }
  XsvfWriter& sdrE(const Value& tdi) { return code(14).value(tdi); }
  XsvfWriter& sdrTdoB(const Value& tdi, const Value& expected) {
    return code(15).value(tdi).value(expected);
  }
  XsvfWriter& sdrTdoC(const Value& tdi, const Value& expected) {
    return code(16).value(tdi).value(expected);
  }
  XsvfWriter& sdrTdoE(const Value& tdi, const Value& expected) {
    return code(17).value(tdi).value(expected);
  }
  XsvfWriter& state(uint8_t tapState) { return code(18).byte(tapState); }
  XsvfWriter& endIr(uint8_t selector) { return code(19).byte(selector); }
  XsvfWriter& endDr(uint8_t selector) { return code(20).byte(selector); }
  XsvfWriter& sir2(uint16_t bits, const Value& value) {
    return code(21).byte(uint8_t(bits >> 8)).byte(uint8_t(bits)).value(value);
  }
  XsvfWriter& comment(const std::string& text) {
    code(22);
    for (char c : text) byte(uint8_t(c));
    return byte(0);
  }
  XsvfWriter& wait(uint8_t waitState, uint8_t endState, uint32_t microseconds) {
    return code(23).byte(waitState).byte(endState).u32(microseconds);
  }

  XsvfWriter& code(uint8_t c) { return byte(c); }
  XsvfWriter& byte(uint8_t b) {
    bytes.push_back(b);
    return *this;
  }
  XsvfWriter& value(const Value& v) {
    bytes.insert(bytes.end(), v.begin(), v.end());
    return *this;
  }
  XsvfWriter& u32(uint32_t v) {
    return byte(uint8_t(v >> 24)).byte(uint8_t(v >> 16)).byte(uint8_t(v >> 8)).byte(uint8_t(v));
  }
};

}  // namespace tarn::sim
