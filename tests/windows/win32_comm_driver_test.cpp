// The Windows comm driver under Wine. Cases named WithModem* need the modem simulator behind a
// COM port: tests/windows/with-modem starts it and names the port in COUNTRYSET_TEST_PORT.
#include "serial/win32_comm_driver.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "fakes/recording_message_boxes.h"
#include "serial/collect_reply.h"
#include "serial/comm_port.h"
#include "serial/modem_attach.h"
#include "serial/process_signals.h"
// After the project's headers: its macros would rename the driver's members.
#include <windows.h>
#undef CreateFile
#undef CreateEvent

namespace countryset {
namespace {

using namespace std::chrono_literals;

// Generous: only a hang should ever reach it.
constexpr auto kHang = 30s;

TEST(Win32PortName, OnlyComOneTo256NamesADevice) {
    const struct {
        std::string_view name;
        std::wstring_view path;
    } cases[] = {
        {"COM1", L"\\\\.\\COM1"},
        {"com8", L"\\\\.\\COM8"},
        {"cOm10", L"\\\\.\\COM10"},
        {"COM256", L"\\\\.\\COM256"},
        {"COM0", L""},
        {"COM257", L""},
        {"COM01", L""},
        {"COM", L""},
        {"COM3x", L""},
        {"COM+3", L""},
        {"COM 3", L""},
        {std::string_view("COM3\0", 5), L""},
        {"LPT1", L""},
        {"\\\\.\\COM3", L""},
        {"COM99999999999999999999", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Win32CommDriver::DevicePath(c.name), c.path) << c.name;
    }
}

// The test prefix leaves COM1 without a device (the open fails) and COM2 as a port Wine opens
// although nothing stands behind it (the first line-settings call fails).
TEST(Win32MissingPort, IsNotFoundWhetherTheOpenOrTheLineSettingsFail) {
    Win32CommDriver driver;
    for (std::string_view name : {"COM1", "COM2"}) {
        EXPECT_EQ(driver.CreateFile(name), kInvalidHandleValue) << name;
    }
}

class WithModem : public ::testing::Test {
protected:
    void SetUp() override {
        const char* port = std::getenv("COUNTRYSET_TEST_PORT");
        ASSERT_TRUE(port != nullptr && *port != '\0')
            << "COUNTRYSET_TEST_PORT is not set: run these cases through tests/windows/with-modem";
        port_ = port;
    }
    // Waits until at least `count` bytes are queued; what is queued then.
    std::uint32_t AwaitQueued(CommHandle handle, std::uint32_t count) {
        std::uint32_t queued = 0;
        const auto deadline = std::chrono::steady_clock::now() + kHang;
        while (driver_.ClearCommError(handle, &queued) && queued < count &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return queued;
    }
    // A port opened, at the program's line settings, with its two transfer events.
    CommHandle OpenConfigured() {
        const CommHandle handle = driver_.CreateFile(port_);
        EXPECT_NE(handle, kInvalidHandleValue);
        DCB dcb;
        EXPECT_TRUE(driver_.GetCommState(handle, &dcb));
        dcb.BaudRate = 38400;
        dcb.ByteSize = 8;
        EXPECT_TRUE(driver_.SetCommState(handle, dcb));
        readBlock_.hEvent = driver_.CreateEvent();
        writeBlock_.hEvent = driver_.CreateEvent();
        EXPECT_NE(readBlock_.hEvent, kNullHandle);
        EXPECT_NE(writeBlock_.hEvent, kNullHandle);
        return handle;
    }
    void Send(CommHandle handle, std::string_view bytes) {
        std::uint32_t done = 0;
        IoStatus status = driver_.WriteFile(
            handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &done, &writeBlock_);
        if (status == IoStatus::Pending) {
            status = driver_.GetOverlappedResult(handle, &writeBlock_, &done, true);
        }
        ASSERT_EQ(status, IoStatus::Finished);
        ASSERT_EQ(done, bytes.size());
    }

    std::string port_;
    Win32CommDriver driver_;
    OverlappedBlock readBlock_;
    OverlappedBlock writeBlock_;
};

TEST_F(WithModem, OpensClosesAndOpensAgain) {
    const CommHandle first = driver_.CreateFile(port_);
    ASSERT_NE(first, kInvalidHandleValue);
    EXPECT_TRUE(driver_.CloseHandle(first));
    EXPECT_FALSE(driver_.CloseHandle(first));
    EXPECT_FALSE(driver_.SetCommMask(first, kEvRxChar)) << "a closed handle still reaches the port";
    const CommHandle second = driver_.CreateFile(port_);
    ASSERT_NE(second, kInvalidHandleValue);
    EXPECT_NE(second, first);
    EXPECT_TRUE(driver_.CloseHandle(second));
}

// A pseudo-terminal keeps the rate, the stop bits and the flow-control characters, though
// not a byte size below 8 nor parity, so those are the fields that can show a mix-up.
TEST_F(WithModem, LineSettingsReadBack) {
    const CommHandle handle = driver_.CreateFile(port_);
    ASSERT_NE(handle, kInvalidHandleValue);
    const struct {
        std::uint32_t baud;
        std::uint8_t stopBits;
        char xon;
        char xoff;
    } cases[] = {
        {38400, kOneStopBit, 0x11, 0x07},
        {9600, kTwoStopBits, 0x11, 0x13},
        {115200, kOneStopBit, 0x01, 0x02},
    };
    for (const auto& c : cases) {
        DCB dcb;
        ASSERT_TRUE(driver_.GetCommState(handle, &dcb));
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = 8;
        dcb.Parity = kNoParity;
        dcb.StopBits = c.stopBits;
        dcb.XonChar = c.xon;
        dcb.XoffChar = c.xoff;
        ASSERT_TRUE(driver_.SetCommState(handle, dcb)) << c.baud;
        DCB back;
        ASSERT_TRUE(driver_.GetCommState(handle, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, 8u) << c.baud;
        EXPECT_EQ(back.Parity, kNoParity) << c.baud;
        EXPECT_EQ(back.StopBits, c.stopBits) << c.baud;
        EXPECT_EQ(back.XonChar, c.xon) << c.baud;
        EXPECT_EQ(back.XoffChar, c.xoff) << c.baud;
    }
    EXPECT_TRUE(driver_.CloseHandle(handle));
}

// Another program left the port with both kinds of flow control on and another rate: the run
// holds none of it, and once the run closes the port it is back as that program left it.
TEST_F(WithModem, LineSettingsOfTheLastUserAreNotKeptAndComeBack) {
    const std::wstring path = Win32CommDriver::DevicePath(port_);
    // What the system says of the port with nothing of ours open, after `change`.
    auto asTheSystemHasIt = [&](void (*change)(HANDLE, ::DCB&)) {
        const HANDLE port = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(port, INVALID_HANDLE_VALUE);
        ::DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(::GetCommState(port, &dcb));
        change(port, dcb);
        ::CloseHandle(port);
        return dcb;
    };
    auto leaveFlowControl = [](HANDLE port, ::DCB& dcb) {
        dcb.BaudRate = 9600;
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        EXPECT_TRUE(::SetCommState(port, &dcb));
    };
    auto clearFlowControl = [](HANDLE port, ::DCB& dcb) {
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        EXPECT_TRUE(::SetCommState(port, &dcb));
    };
    auto unchanged = [](HANDLE, ::DCB&) {};
    asTheSystemHasIt(leaveFlowControl);

    const CommHandle handle = driver_.CreateFile(port_);
    ASSERT_NE(handle, kInvalidHandleValue);
    ASSERT_TRUE(driver_.SetCommState(handle, RunLineSettings(PortState{})));
    DCB held;
    ASSERT_TRUE(driver_.GetCommState(handle, &held));
    EXPECT_EQ(held.BaudRate, 38400u);
    EXPECT_EQ(held.fOutX, 0u);
    EXPECT_EQ(held.fInX, 0u);
    EXPECT_EQ(held.fOutxCtsFlow, 0u);
    EXPECT_NE(held.fRtsControl, kRtsControlHandshake);
    EXPECT_TRUE(driver_.CloseHandle(handle));

    const ::DCB after = asTheSystemHasIt(unchanged);
    asTheSystemHasIt(clearFlowControl);
    EXPECT_EQ(after.BaudRate, 9600u);
    EXPECT_EQ(after.fOutX, 1u);
    EXPECT_EQ(after.fInX, 1u);
    EXPECT_EQ(after.fOutxCtsFlow, 1u);
}

TEST_F(WithModem, MaskChangeEndsAWaitBeforeOrWhileItRuns) {
    const CommHandle handle = OpenConfigured();
    ASSERT_NE(handle, kInvalidHandleValue);
    // A change made before the wait begins ends it at once, with no events.
    ASSERT_TRUE(driver_.SetCommMask(handle, kEvRxChar));
    std::uint32_t events = 99;
    ASSERT_TRUE(driver_.WaitCommEvent(handle, &events));
    EXPECT_EQ(events, 0u);
    // A silent modem: only the mask change can end this wait.
    auto waited = std::async(std::launch::async, [&] {
        std::uint32_t got = 99;
        driver_.WaitCommEvent(handle, &got);
        return got;
    });
    EXPECT_TRUE(driver_.SetCommMask(handle, 0));
    if (waited.wait_for(kHang) != std::future_status::ready) {
        driver_.CloseHandle(handle);  // frees the waiter, so the failure ends the test
        FAIL() << "changing the mask did not end the wait";
    }
    EXPECT_EQ(waited.get(), 0u);
    EXPECT_TRUE(driver_.CloseHandle(handle));
}

// The whole probe and country command through the port object and its watcher, byte-exact.
TEST_F(WithModem, ExchangeThroughThePortLogicIsByteExact) {
    testing::RecordingMessages messages;
    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring(storage.data());
    std::array<char, kReplyBufferSize> reply{};
    CCommPort port(driver_, messages);
    ASSERT_TRUE(port.CreatePortState());
    port.State()->wPortNumber = static_cast<std::uint16_t>(std::stoi(port_.substr(3)));

    ASSERT_TRUE(AttachModem(port, ring, reply, messages));
    const std::string command = "AT+GCI=B5\r";
    const std::string expected = command + "\r\nOK\r\n";
    reply.fill(0);
    ASSERT_TRUE(port.WriteBlock(command.data(), static_cast<std::uint32_t>(command.size())));
    CollectReply(ring, reply.data(), static_cast<std::int32_t>(expected.size()), kReplySeconds,
                 driver_);
    EXPECT_EQ(std::string(reply.data()), expected);
    port.ClosePort();
    EXPECT_TRUE(messages.Messages().empty());
}

// A read asks for no more than is queued, so none is ever left pending with nothing to come.
TEST_F(WithModem, ReadsOnlyWhatIsQueued) {
    const CommHandle handle = OpenConfigured();
    ASSERT_NE(handle, kInvalidHandleValue);
    ASSERT_TRUE(driver_.SetCommMask(handle, kEvRxChar));
    std::array<char, 64> buffer{};
    std::uint32_t done = 99;
    EXPECT_EQ(driver_.ReadFile(handle, buffer.data(), 64, &done, &readBlock_), IoStatus::Finished);
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(readBlock_.pending);

    ASSERT_NO_FATAL_FAILURE(Send(handle, kProbeCommand));
    const std::string probeReply = kProbeReply;
    ASSERT_EQ(AwaitQueued(handle, 12), probeReply.size());

    std::string got;
    for (std::uint32_t ask : {4u, 64u, 64u}) {
        IoStatus status = driver_.ReadFile(handle, buffer.data(), ask, &done, &readBlock_);
        if (status == IoStatus::Pending) {
            status = driver_.GetOverlappedResult(handle, &readBlock_, &done, true);
        }
        ASSERT_EQ(status, IoStatus::Finished);
        got.append(buffer.data(), done);
    }
    EXPECT_EQ(got, probeReply);
    EXPECT_FALSE(readBlock_.pending);
    EXPECT_TRUE(driver_.CloseHandle(handle));
}

// Run by ctrl-c-releases, which sends the Linux SIGINT that Wine turns into Ctrl+C: the
// release runs, leaves the port refusing every call, and the process ends as Ctrl+C ends it.
TEST_F(WithModem, CtrlCReleasesThePortsThenEndsTheProcess) {
    const CommHandle handle = OpenConfigured();
    ASSERT_NE(handle, kInvalidHandleValue);
    ProcessSignals signals([&] {
        driver_.ReleaseAllPorts();
        const bool refused = !driver_.SetCommMask(handle, kEvRxChar) &&
                             driver_.CreateFile(port_) == kInvalidHandleValue;
        std::fputs(refused ? "ports released\n" : "a released port still answers\n", stdout);
        std::fflush(stdout);
    });
    std::fputs("waiting for Ctrl+C\n", stdout);
    std::fflush(stdout);
    std::this_thread::sleep_for(60s);
    FAIL() << "no Ctrl+C came within 60 s";
}

}  // namespace
}  // namespace countryset
