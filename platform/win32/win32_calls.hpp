#pragma once
#include "platform/win32/win32_driver_io.hpp"
#include "platform/win32/win32_messages.hpp"
#include "platform/win32/win32_system_services.hpp"

namespace tarn {

// The real operating-system calls behind the call tables.
const Win32DriverCalls& win32DriverCalls();
const Win32SystemCalls& win32SystemCalls();
const Win32MessageCalls& win32MessageCalls();

}  // namespace tarn
