// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include "platform/win32/win32_calls.hpp"

namespace tarn {
namespace {

static_assert(GENERIC_READ == kGenericRead);
static_assert(OPEN_EXISTING == kOpenExisting);
static_assert(FILE_FLAG_DELETE_ON_CLOSE == kFileFlagDeleteOnClose);
static_assert(TIMERR_NOERROR == 0);
static_assert(PM_NOREMOVE == kPmNoRemove && PM_REMOVE == kPmRemove);
static_assert(MB_TASKMODAL == kMbTaskModal);
static_assert(WM_KEYFIRST == kKeyFirst && WM_KEYLAST == kKeyLast);
static_assert(WM_MOUSEFIRST == kMouseFirst && WM_MOUSELAST == kMouseLast);
static_assert(WM_NCMOUSEMOVE == kNcMouseFirst && WM_NCXBUTTONDBLCLK == kNcMouseLast);

uint32_t callGetVersion() { return uint32_t(GetVersion()); }

intptr_t callCreateFileA(const char* fileName, uint32_t desiredAccess, uint32_t shareMode,
                         void* securityAttributes, uint32_t creationDisposition,
                         uint32_t flagsAndAttributes, intptr_t templateFile) {
  return reinterpret_cast<intptr_t>(CreateFileA(
      fileName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
      creationDisposition, flagsAndAttributes, reinterpret_cast<HANDLE>(templateFile)));
}

int callDeviceIoControl(intptr_t device, uint32_t controlCode, void* input, uint32_t inputSize,
                        void* output, uint32_t outputSize, uint32_t* bytesReturned,
                        void* overlapped) {
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(reinterpret_cast<HANDLE>(device), controlCode, input, inputSize, output,
                      outputSize, &returned, static_cast<LPOVERLAPPED>(overlapped));
  if (bytesReturned != nullptr) *bytesReturned = uint32_t(returned);
  return ok ? 1 : 0;
}

int callCloseHandle(intptr_t handle) {
  return CloseHandle(reinterpret_cast<HANDLE>(handle)) ? 1 : 0;
}

void callSleep(uint32_t milliseconds) { Sleep(milliseconds); }
void callOutputDebugStringA(const char* text) { OutputDebugStringA(text); }
uint32_t callTimeBeginPeriod(uint32_t period) { return uint32_t(timeBeginPeriod(period)); }
uint32_t callTimeEndPeriod(uint32_t period) { return uint32_t(timeEndPeriod(period)); }
int callGetSystemPowerStatus(uint8_t* acLineStatus, uint8_t* batteryLifePercent) {
  SYSTEM_POWER_STATUS status;
  if (!GetSystemPowerStatus(&status)) return 0;
  *acLineStatus = status.ACLineStatus;
  *batteryLifePercent = status.BatteryLifePercent;
  return 1;
}

int callPeekMessageA(intptr_t window, uint32_t filterMin, uint32_t filterMax,
                     uint32_t removeMessage) {
  MSG message;
  return PeekMessageA(&message, reinterpret_cast<HWND>(window), filterMin, filterMax, removeMessage)
             ? 1
             : 0;
}

int callMessageBoxA(intptr_t owner, const char* text, const char* caption, uint32_t type) {
  return MessageBoxA(reinterpret_cast<HWND>(owner), text, caption, type);
}

constexpr Win32DriverCalls kDriverCalls{callGetVersion, callCreateFileA, callDeviceIoControl,
                                        callCloseHandle};
constexpr Win32SystemCalls kSystemCalls{callSleep, callOutputDebugStringA, callTimeBeginPeriod,
                                        callTimeEndPeriod, callGetSystemPowerStatus};
constexpr Win32MessageCalls kMessageCalls{callPeekMessageA, callMessageBoxA};

}  // namespace

const Win32DriverCalls& win32DriverCalls() { return kDriverCalls; }
const Win32SystemCalls& win32SystemCalls() { return kSystemCalls; }
const Win32MessageCalls& win32MessageCalls() { return kMessageCalls; }

}  // namespace tarn
