// The comm seam's values and the system's: event masks, purge flags, escapes and the device
// control block, each way. For the Windows driver's files only: it brings in <windows.h>.
#pragma once

#include <cstdint>

#include "serial/comm_driver.h"
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The seam's operations bear the system's names; its macros would rename them here.
#undef CreateFile
#undef CreateEvent
#undef OutputDebugString

namespace countryset::comm_codes {

// False for a bit the seam does not name: it is refused, not passed on blind.
bool EventsToSystem(std::uint32_t seam, DWORD* system);
std::uint32_t EventsFromSystem(DWORD system);
bool PurgeToSystem(std::uint32_t seam, DWORD* system);
bool EscapeToSystem(std::uint32_t seam, DWORD* system);

DCB FromSystemDcb(const ::DCB& system);
::DCB ToSystemDcb(const DCB& dcb);

}  // namespace countryset::comm_codes
