#pragma once
// The 24 command codes of XSVF: names and operand layouts. The player's
// handlers and the tools' grammar walk both read this table, so a code, a name
// or an operand layout is stated here only. Header only, with no dependency,
// so the build machine's payload-tool can use it too.
#include <cstdint>

namespace tarn {

namespace xsvf_command {
inline constexpr uint8_t XCOMPLETE = 0;
inline constexpr uint8_t XTDOMASK = 1;
inline constexpr uint8_t XSIR = 2;
inline constexpr uint8_t XSDR = 3;
inline constexpr uint8_t XRUNTEST = 4;
inline constexpr uint8_t RESERVED5 = 5;
inline constexpr uint8_t RESERVED6 = 6;
inline constexpr uint8_t XREPEAT = 7;
inline constexpr uint8_t XSDRSIZE = 8;
inline constexpr uint8_t XSDRTDO = 9;
inline constexpr uint8_t XSETSDRMASKS = 10;
inline constexpr uint8_t XSDRINC = 11;
inline constexpr uint8_t XSDRB = 12;
inline constexpr uint8_t XSDRC = 13;
inline constexpr uint8_t XSDRE = 14;
inline constexpr uint8_t XSDRTDOB = 15;
inline constexpr uint8_t XSDRTDOC = 16;
inline constexpr uint8_t XSDRTDOE = 17;
inline constexpr uint8_t XSTATE = 18;
inline constexpr uint8_t XENDIR = 19;
inline constexpr uint8_t XENDDR = 20;
inline constexpr uint8_t XSIR2 = 21;
inline constexpr uint8_t XCOMMENT = 22;
inline constexpr uint8_t XWAIT = 23;
inline constexpr int count = 24;
}  // namespace xsvf_command

// What follows a command code in the stream. A data value takes the byte
// count of the last XSDRSIZE; integers are big-endian.
enum class XsvfOperands : uint8_t {
  none,           // nothing
  unsupported,    // a reserved code: the player refuses it
  dataValue,      // one data value
  twoDataValues,  // two data values
  byte,           // one byte: a count, a state or a selector
  length8Value,   // a 1-byte length in bits, then a value of that many bits
  length16Value,  // a 2-byte length in bits, then a value of that many bits
  integer32,      // a 4-byte integer: a time or a length in bits
  increment,      // a data value, a 1-byte count N, then N values of the data mask's 1 bits
  text,           // bytes up to and including a 0 byte
  wait,           // a wait state byte, an end state byte, a 4-byte time
};

struct XsvfCommandInfo {
  uint8_t code;
  const char* name;
  XsvfOperands operands;
};

// Whether entry k of a table indexed by command code is the entry of code k,
// for every code: what ties a table's rows to the codes above.
template <typename Entry>
constexpr bool indexedByCode(const Entry (&table)[xsvf_command::count]) {
  for (int code = 0; code < xsvf_command::count; ++code) {
    if (table[code].code != code) return false;
  }
  return true;
}

// Indexed by command code; codes 24 to 255 have no entry.
inline constexpr XsvfCommandInfo kXsvfCommands[xsvf_command::count] = {
    {xsvf_command::XCOMPLETE, "XCOMPLETE", XsvfOperands::none},
    {xsvf_command::XTDOMASK, "XTDOMASK", XsvfOperands::dataValue},
    {xsvf_command::XSIR, "XSIR", XsvfOperands::length8Value},
    {xsvf_command::XSDR, "XSDR", XsvfOperands::dataValue},
    {xsvf_command::XRUNTEST, "XRUNTEST", XsvfOperands::integer32},
    {xsvf_command::RESERVED5, "Reserved5", XsvfOperands::unsupported},
    {xsvf_command::RESERVED6, "Reserved6", XsvfOperands::unsupported},
    {xsvf_command::XREPEAT, "XREPEAT", XsvfOperands::byte},
    {xsvf_command::XSDRSIZE, "XSDRSIZE", XsvfOperands::integer32},
    {xsvf_command::XSDRTDO, "XSDRTDO", XsvfOperands::twoDataValues},
    {xsvf_command::XSETSDRMASKS, "XSETSDRMASKS", XsvfOperands::twoDataValues},
    {xsvf_command::XSDRINC, "XSDRINC", XsvfOperands::increment},
    {xsvf_command::XSDRB, "XSDRB", XsvfOperands::dataValue},
    {xsvf_command::XSDRC, "XSDRC", XsvfOperands::dataValue},
    {xsvf_command::XSDRE, "XSDRE", XsvfOperands::dataValue},
    {xsvf_command::XSDRTDOB, "XSDRTDOB", XsvfOperands::twoDataValues},
    {xsvf_command::XSDRTDOC, "XSDRTDOC", XsvfOperands::twoDataValues},
    {xsvf_command::XSDRTDOE, "XSDRTDOE", XsvfOperands::twoDataValues},
    {xsvf_command::XSTATE, "XSTATE", XsvfOperands::byte},
    {xsvf_command::XENDIR, "XENDIR", XsvfOperands::byte},
    {xsvf_command::XENDDR, "XENDDR", XsvfOperands::byte},
    {xsvf_command::XSIR2, "XSIR2", XsvfOperands::length16Value},
    {xsvf_command::XCOMMENT, "XCOMMENT", XsvfOperands::text},
    {xsvf_command::XWAIT, "XWAIT", XsvfOperands::wait},
};
static_assert(indexedByCode(kXsvfCommands));

}  // namespace tarn
