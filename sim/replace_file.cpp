#include "sim/replace_file.hpp"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarn::sim {

bool replaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  // The C library's rename will not replace a file that exists there.
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace tarn::sim
