#include "sim/replace_file.hpp"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarn::sim {

bool replaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  // The C library's rename will not replace a file that exists there;
  // MoveFileExA does, in one step. Windows 98 and ME lack it, and the program
  // must still load there, so it is looked up rather than imported. Without
  // it the old file goes first: a crash between the two steps leaves the new
  // one under its temporary name, and no half of either.
  using MoveFileEx = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto moveFileEx =
      kernel == nullptr ? nullptr
                        : reinterpret_cast<MoveFileEx>(
                              reinterpret_cast<void (*)()>(GetProcAddress(kernel, "MoveFileExA")));
  if (moveFileEx != nullptr) {
    if (moveFileEx(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  }
  std::remove(to.c_str());
  return std::rename(from.c_str(), to.c_str()) == 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace tarn::sim
