// The fixture shared by the Windows backend suites: a fake system, the port over it, and the
// checks every test must pass whatever it did (nothing closed twice, no detail buffer, preparsed
// data or call memory leaked, every device information set destroyed exactly once).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hid/CHid.h"
#include "hid/Log.h"
#include "hid/win32/Win32HidPort.h"
#include "tests/win32/FakeWin32.h"

namespace zevrin::test {

inline std::wstring InterfacePath(std::wstring_view tag) {
    return L"\\\\?\\hid#vid_0483&pid_5750#" + std::wstring(tag) +
           L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

inline std::string Utf8InterfacePath(std::string_view tag) {
    return "\\\\?\\hid#vid_0483&pid_5750#" + std::string(tag) +
           "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

inline FakeInterface Device(std::wstring_view tag, uint16_t vendorId, uint16_t productId) {
    return {.path = InterfacePath(tag), .vendorId = vendorId, .productId = productId};
}

inline FakeInterface Gamepad(std::wstring_view tag) {
    return Device(tag, kStVendorId, kGamepadProductId);
}

class Win32PortTest : public ::testing::Test {
  protected:
    Win32PortTest() {
        m_PreviousSink = SetLogSink([this](std::string_view line) {
            std::lock_guard lock(m_LogMutex);
            m_Log.emplace_back(line);
        });
    }
    ~Win32PortTest() override { SetLogSink(m_PreviousSink); }

    void TearDown() override {
        EXPECT_THAT(fake.faults, ::testing::IsEmpty());
        EXPECT_EQ(fake.LiveDetailBuffers(), 0u) << "detail buffer not released";
        EXPECT_EQ(fake.LivePreparsedData(), 0u) << "preparsed data not freed";
        EXPECT_EQ(fake.LiveCallMemory(), parkedCalls) << "call memory kept that nothing needs";
        for (const auto& [set, destroyed] : fake.setsDestroyed) {
            EXPECT_EQ(destroyed, 1) << "device information set destroyed " << destroyed << " times";
        }
        EXPECT_EQ(static_cast<int>(fake.setsDestroyed.size()), fake.setsCreated);
    }

    std::vector<std::string> Log() {
        std::lock_guard lock(m_LogMutex);
        return m_Log;
    }

    FakeWin32 fake;
    Win32HidPort port{FakeWin32::Api()};
    size_t parkedCalls = 0;  // calls the test makes the backend give up, which keep their memory

  private:
    std::mutex m_LogMutex;
    std::vector<std::string> m_Log;
    LogSink m_PreviousSink;
};

}  // namespace zevrin::test
