// What only Windows hands zevrin-flash: UTF-16 arguments, which may be no valid text, and the
// device paths that device-change broadcasts carry.
#include <windows.h>
// After <windows.h>, which it needs.
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "hid/HotPlug.h"
#include "hid/sim/SimPort.h"

using namespace zevrin::cli;
using namespace zevrin::cli::test;

namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// An argument with an unpaired surrogate is named by its position (a surrogate pair before it is
// valid text), with exit code 2 and the JSON result line; the program is started as a script on
// Windows would start it.
TEST(WideArgumentsTest, AnUnpairedSurrogateIsAUsageErrorNamingItsPosition) {
    TempDir dir;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto create = [&](const char* name) {
        return CreateFileW((dir.Path() / name).wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = create("out.txt");
    start.hStdError = create("err.txt");
    const std::wstring exe = std::filesystem::path(ZEVRIN_FLASH_EXE).make_preferred().wstring();
    std::wstring commandLine =
        L"\"" + exe + L"\" --device \xD83D\xDE00 --simulate --json update --yes fw\xD800.dat";
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &start, &process);
    CloseHandle(start.hStdOutput);
    CloseHandle(start.hStdError);
    ASSERT_TRUE(started) << GetLastError();
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    EXPECT_EQ(code, 2u);
    const std::string stderrText = ReadText(dir.Path() / "err.txt");
    EXPECT_TRUE(Contains(stderrText, "zevrin-flash: argument 7 is not valid text")) << stderrText;
    const std::vector<Json> lines = JsonLines(ReadText(dir.Path() / "out.txt"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["exitCode"], 2);
    EXPECT_EQ(lines[0]["meaning"], "usage");
    EXPECT_TRUE(Contains(lines[0].value("reason", ""), "argument 7")) << lines[0].dump();
}

// The watch's message-only window takes the path from the record the system sends with a removal;
// a record of another kind is no gamepad's.
TEST(HotPlugBroadcastTest, TheRemovedInterfaceIsNamed) {
    zevrin::sim::SimPort port;
    std::vector<zevrin::DeviceEvent> events;  // SendMessageW returns once the window has seen it
    const zevrin::HotPlugWatch watch(
        port, [&](const zevrin::DeviceEvent& event) { events.push_back(event); });
    ASSERT_TRUE(watch.Active());
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"ZevrinHotPlug", nullptr);
    ASSERT_NE(window, nullptr);

    const std::wstring name =
        L"\\\\?\\HID#VID_0483&PID_5750#7&2a5b1f3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    std::vector<uint8_t> record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                (name.size() + 1) * sizeof(wchar_t));
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
    broadcast->dbcc_size = static_cast<DWORD>(record.size());
    broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(broadcast->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    DEV_BROADCAST_HDR volume{sizeof volume, DBT_DEVTYP_VOLUME, 0};
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                 reinterpret_cast<LPARAM>(broadcast));
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                 reinterpret_cast<LPARAM>(&volume));

    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, zevrin::kDeviceRemoveComplete);
    EXPECT_EQ(events[0].path, std::string(name.begin(), name.end()));  // ASCII
}

}  // namespace
