// The terminal line on Windows: \\.\COMn through the system's comm calls, opened for
// overlapped I/O. The system's types stay in the .cpp, so this header can sit beside any other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "serial/line.h"
#include "serial/port_problem.h"

namespace countryset {

// When waits keep completing with nothing to report (Wine on a pseudo-terminal, where a wait
// also costs CPU while it lasts), a wait rests between them: kIdleRewaitMs after the first empty
// wake, twice as long after each further one up to kIdleRestMaxMs, looking at the input queue
// every kIdlePollMs meanwhile so bytes are not missed.
inline constexpr std::uint32_t kIdleRewaitMs = 15;
inline constexpr std::uint32_t kIdleRestMaxMs = 4000;
inline constexpr std::uint32_t kIdlePollMs = 25;
// How long a wait rests after the system refused to start one before it reports the failure.
inline constexpr std::uint32_t kRefusedWaitPauseMs = 100;

// Opens the device path (L"\\.\COM3") exclusively; error names the port as portName. A port that
// opens but refuses its first line-settings call has no device behind it: NoSuchDevice.
std::unique_ptr<Line> OpenWin32TerminalLine(std::string_view portName, const std::wstring& path,
                                            PortOpenError& error);

}  // namespace countryset
