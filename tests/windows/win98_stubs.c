// Windows 98 exports CreateSemaphoreW, GetModuleHandleW and LoadLibraryW only
// as stubs that fail: they return NULL and set ERROR_CALL_NOT_IMPLEMENTED.
// The program imports them through its runtimes (the unwinder's and the
// mutexes' semaphores, the start-up code's look for a shared runtime DLL).
// Linked into a test build of the program ahead of the system's import
// library, these take the place of the imports, so that the build runs under
// Wine as it would on 98.
#include <windows.h>

// The import library's names: the call thunk and the import pointer.
HANDLE WINAPI failingCreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) __asm__(
    "_CreateSemaphoreW@16");
HMODULE WINAPI failingGetModuleHandleW(LPCWSTR) __asm__("_GetModuleHandleW@4");
HMODULE WINAPI failingLoadLibraryW(LPCWSTR) __asm__("_LoadLibraryW@4");

HANDLE WINAPI failingCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                      LPCWSTR name) {
  (void)attributes, (void)initial, (void)maximum, (void)name;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return NULL;
}

HMODULE WINAPI failingGetModuleHandleW(LPCWSTR name) {
  (void)name;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return NULL;
}

HMODULE WINAPI failingLoadLibraryW(LPCWSTR name) {
  (void)name;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return NULL;
}

HANDLE(WINAPI* const importOfCreateSemaphoreW)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) __asm__(
    "__imp__CreateSemaphoreW@16") = failingCreateSemaphoreW;
HMODULE(WINAPI* const importOfGetModuleHandleW)(LPCWSTR) __asm__("__imp__GetModuleHandleW@4") =
    failingGetModuleHandleW;
HMODULE(WINAPI* const importOfLoadLibraryW)(LPCWSTR) __asm__("__imp__LoadLibraryW@4") =
    failingLoadLibraryW;
