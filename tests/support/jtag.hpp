#pragma once
// The JTAG path on the recording doubles, and a follower that replays the
// recorded clock edges through an independent TAP controller to recover the
// states, TMS levels and scans the card would have seen.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "card/registers.hpp"
#include "jtag/jtag_port.hpp"
#include "tests/support/doubles.hpp"
#include "xsvf/player.hpp"
#include "xsvf/xsvf_stream.hpp"

namespace tarn::test {

// One scan as the chain saw it: the register and the bits clocked in while in
// the shift state, least significant (first) bit first.
struct Scan {
  bool instruction;
  std::vector<int> tdi;
  std::vector<int> tmsHighAt;  // indexes of bits clocked with TMS high
  // The bits as a big-endian hex string of bitsToBytes(bits) bytes.
  std::string hex() const {
    const size_t bytes = (tdi.size() + 7) / 8;
    std::vector<unsigned> value(bytes, 0);
    for (size_t i = 0; i < tdi.size(); ++i) {
      if (tdi[i] != 0) value[bytes - 1 - i / 8] |= 1u << (i % 8);
    }
    std::string text;
    for (size_t i = 0; i < bytes; ++i) {
      char part[4];
      std::snprintf(part, sizeof part, i == 0 ? "%02X" : " %02X", value[i]);
      text += part;
    }
    return text;
  }
};

// IEEE 1149.1 TAP controller transitions, written from the standard's state
// diagram independently of the player's walk table.
inline int tapNext(int state, int tms) {
  static const int next[16][2] = {{1, 0},   {1, 2},   {3, 9},   {4, 5},  {4, 5},   {6, 8},
                                  {6, 7},   {4, 8},   {1, 2},   {10, 0}, {11, 12}, {11, 12},
                                  {13, 15}, {13, 14}, {11, 15}, {1, 2}};
  return next[state][tms];
}

// Follows the rising TCK edges written to the port register (the controller
// steps there) from a given state.
struct ChainFollower {
  int state = 0;
  std::vector<int> tms;     // TMS of every rising edge
  std::vector<int> states;  // state after every rising edge
  std::vector<Scan> scans;

  void follow(const std::vector<Access>& log, size_t from = 0) {
    uint32_t last = 0;
    bool inScan = false;
    for (size_t i = from; i < log.size(); ++i) {
      const Access& a = log[i];
      if (!a.write || a.offset != kJtagPortRegister) continue;
      const bool rising = (a.value & kShadowTck) != 0 && (last & kShadowTck) == 0;
      last = a.value;
      if (!rising) continue;
      const int level = (a.value & kShadowTms) != 0 ? 1 : 0;
      if (state == 4 || state == 11) {
        if (!inScan) {
          scans.push_back({state == 11, {}, {}});
          inScan = true;
        }
        if (level != 0) scans.back().tmsHighAt.push_back(int(scans.back().tdi.size()));
        scans.back().tdi.push_back((a.value & kShadowTdi) != 0 ? 1 : 0);
      }
      tms.push_back(level);
      state = tapNext(state, level);
      states.push_back(state);
      if (state != 4 && state != 11) inScan = false;
    }
  }
};

// A JTAG port over the recording doubles.
struct JtagWorld {
  RecordingWindow window;
  RecordingSystem system;
  RecordingProgress progress;
  JtagPort port{8, &window, &system, &progress};
};

// A whole play of the given bytes on the recording doubles.
struct PlayWorld : JtagWorld {
  std::vector<uint8_t> bytes;
  XsvfStream stream;
  XsvfError play(std::vector<uint8_t> streamBytes, int32_t echoLevel = 0,
                 std::FILE* echo = nullptr) {
    bytes = std::move(streamBytes);
    stream = XsvfStream{bytes.data(), int32_t(bytes.size()), 0, 0, &progress};
    FileCommentEcho comments(echo != nullptr ? echo : stdout);
    return playXsvf(port, stream, echoLevel, &comments);
  }
  ChainFollower chain() const {
    ChainFollower follower;
    follower.follow(window.log);
    return follower;
  }
};

}  // namespace tarn::test
