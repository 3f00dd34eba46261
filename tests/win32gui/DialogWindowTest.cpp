// The real dialog from template 102, wired to the simulated gamepad, read back through the
// controls themselves: what the user sees at start, on device changes, through a whole update,
// a failure, closing while a transfer runs, and the session held by the program's hidden window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "app/win32/Win32DialogView.h"
#include "hid/sim/SimPort.h"
#include "hid/win32/Utf16.h"
#include "session/win32/SessionWindow.h"
#include "tests/TestSupport.h"
#include "tests/win32/FakeWin32.h"
#include "tests/win32gui/GuiTestSupport.h"
#include "update/Texts.h"

using namespace std::chrono_literals;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::sim::SimPort;
using zevrin::test::ControlOf;
using zevrin::test::ImageBytes;
using zevrin::test::LogCapture;
using zevrin::test::Pattern;
using zevrin::test::ProgressPos;
using zevrin::test::ProgressRange;
using zevrin::test::PromptAnswerer;
using zevrin::test::PumpPending;
using zevrin::test::PumpUntil;
using zevrin::test::SessionCall;
using zevrin::test::TempDir;
using zevrin::test::TextOf;
using zevrin::win32::Win32DialogView;

namespace {

constexpr int kProgress = 1003;
constexpr int kButton = 1007;
constexpr int kInstructions = 1008;
constexpr int kSuccessText = -1;
constexpr char kGamepadPath[] = R"(\\?\hid#vid_0483&pid_5750#sim&0#{4d1e55b2})";

// Text n as the user's interface language shows it, from the table compiled from texts.def:
// what the window shows must match it byte for byte.
std::string Text(int n) {
    const bool chinese = GetUserDefaultUILanguage() == kLangChinesePrc;
    return CompiledText((chinese ? kChineseBaseId : kEnglishBaseId) + n);
}

// The line every scan that finds the gamepad writes: one per scan.
std::string ScanLine() {
    return std::string("m_DevicePath:") + kGamepadPath + "\n";
}

// The record an arrival or removal broadcast points at, with the interface class it names.
constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kUsbDeviceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

DEV_BROADCAST_DEVICEINTERFACE_W InterfaceRecord(const GUID& interfaceClass) {
    DEV_BROADCAST_DEVICEINTERFACE_W record{};
    record.dbcc_size = sizeof(record);
    record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record.dbcc_classguid = interfaceClass;
    return record;
}

LRESULT Broadcast(HWND window, WPARAM event, const void* record) {
    return SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
}

// The program's session hold (session/win32) over the fake system's session calls. Its hidden
// window is real, on a thread of its own, and found the way the system finds it: by its class.
struct HeldSession {
    HeldSession() { zevrin::SetSessionHolder(window.Holder()); }
    ~HeldSession() { zevrin::SetSessionHolder({}); }

    HWND Find() const { return FindWindowW(zevrin::kSessionWindowClass, nullptr); }
    // What the system hears when it asks whether the session may end.
    LRESULT Query() const { return SendMessageW(Find(), WM_QUERYENDSESSION, 0, 0); }
    std::vector<SessionCall> Calls() {
        const auto lock = fake.Lock();
        return fake.sessionCalls;
    }
    // The thread that asked to keep the system awake: the one that ran the transfer.
    DWORD AwakeThread() {
        for (const SessionCall& call : Calls()) {
            if (call.kind == SessionCall::Kind::ExecutionState &&
                call.state == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED)) {
                return call.thread;
            }
        }
        return 0;
    }
    size_t Count(SessionCall::Kind kind) {
        const std::vector<SessionCall> calls = Calls();
        return static_cast<size_t>(std::count_if(
            calls.begin(), calls.end(), [&](const SessionCall& c) { return c.kind == kind; }));
    }

    zevrin::test::FakeWin32 fake;
    zevrin::SessionWindow window{zevrin::test::FakeWin32::Session()};
};

class DialogWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_Mouse =
            m_Port.AddInterface(R"(\\?\hid#vid_046d&pid_c077#sim&1#{4d1e55b2})", 0x046D, 0xC077);
    }

    void TearDown() override {
        m_Answerer.SetOwner({});
        m_View.reset();
        PumpPending(nullptr);
    }

    int AddGamepad(GamepadBehaviour behaviour = {}, bool plugged = true) {
        m_Gamepad = m_Port.AddGamepad(kGamepadPath, behaviour);
        if (!plugged) {
            m_Port.Unplug(m_Gamepad);
        }
        return m_Gamepad;
    }

    // Creates the dialog; returns once WM_INITDIALOG has run and the window is up.
    void Open() {
        m_View = std::make_unique<Win32DialogView>(m_Port, GetModuleHandleW(nullptr));
        EngineLimits limits;
        limits.versionQuery = std::chrono::milliseconds(600);
        limits.workerSilence = 3s;
        limits.deviceGone = 300ms;
        m_View->Dialog().SetLimits(limits);
        ASSERT_NO_FATAL_FAILURE(Create());
    }

    void Create() {
        // Boxes shown during WM_INITDIALOG are owned by a window that CreateDialogParamW has not
        // returned yet.
        m_Answerer.SetOwner([view = m_View.get()] { return view->Hwnd(); });
        m_Dlg = m_View->CreateModeless(nullptr);
        ASSERT_NE(m_Dlg, nullptr);
        PumpPending(m_Dlg);
    }

    HWND Control(int id) const { return ControlOf(m_Dlg, id); }
    std::string Caption() const { return TextOf(m_Dlg); }
    bool ButtonEnabled() const { return IsWindowEnabled(Control(kButton)) != FALSE; }
    bool SuccessVisible() const {
        return (GetWindowLongPtrW(Control(kSuccessText), GWL_STYLE) & WS_VISIBLE) != 0;
    }
    std::string VersionedTitle() const { return Text(6) + "(GamePad V1.10)"; }

    void Click() { SendMessageW(Control(kButton), BM_CLICK, 0, 0); }
    bool WaitForWorkerEnd(std::chrono::milliseconds limit = 20s) {
        return PumpUntil(
            m_Dlg, [&] { return !m_View->Dialog().IsWorkerRunning(); }, limit);
    }
    // Posts the close box's command, as Esc or the close box do.
    void RequestClose() { PostMessageW(m_Dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); }

    zevrin::sim::Recording Recording() const { return m_Port.RecordingOf(m_Gamepad); }

    SimPort m_Port;
    int m_Mouse = 0;
    int m_Gamepad = 0;
    PromptAnswerer m_Answerer;
    std::optional<HeldSession> m_Session;  // outlives the window, whose worker holds it
    std::unique_ptr<Win32DialogView> m_View;
    HWND m_Dlg = nullptr;
};

// --- Start-up ------------------------------------------------------------------------------

TEST_F(DialogWindowTest, StartWithoutGamepadShowsTitleInstructionsAndADisabledButton) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Caption(), Text(6));
    EXPECT_EQ(TextOf(Control(kButton)), Text(12));
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(TextOf(Control(kInstructions)), Text(14));
    EXPECT_EQ(TextOf(Control(kSuccessText)), Text(4));
    EXPECT_FALSE(SuccessVisible());
    EXPECT_TRUE(IsWindowVisible(m_Dlg));
    EXPECT_EQ(ProgressPos(m_Dlg), 0);
    EXPECT_EQ(ProgressRange(m_Dlg), std::make_pair(0, 100));
    EXPECT_EQ(m_Answerer.Count(), 0u);
}

// The width of an icon's colour image.
int IconWidth(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) {
        return 0;
    }
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

TEST_F(DialogWindowTest, WindowIconsAndDragIconAreTheApplicationIconAtTheirSizes) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const auto icon = reinterpret_cast<LRESULT>(m_View->Icon());
    const auto small = reinterpret_cast<LRESULT>(m_View->SmallIcon());
    ASSERT_NE(icon, 0);
    ASSERT_NE(small, 0);
    EXPECT_EQ(SendMessageW(m_Dlg, WM_GETICON, ICON_BIG, 0), icon);
    EXPECT_EQ(SendMessageW(m_Dlg, WM_GETICON, ICON_SMALL, 0), small);
    EXPECT_EQ(SendMessageW(m_Dlg, WM_QUERYDRAGICON, 0, 0), icon);
    EXPECT_EQ(IconWidth(m_View->Icon()), GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(IconWidth(m_View->SmallIcon()), GetSystemMetrics(SM_CXSMICON));
}

TEST_F(DialogWindowTest, StartWithGamepadAsksItsVersionButKeepsThePlainTitle) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Recording().versionRequests, 1u);
    EXPECT_EQ(cur_devVersion.load(), 110u);
    EXPECT_EQ(Caption(), Text(6));
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(m_Answerer.Count(), 0u);
}

TEST_F(DialogWindowTest, GamepadWithoutFirmwareShowsTheInstructionsBeforeTheWindow) {
    GamepadBehaviour noFirmware;
    noFirmware.version = kNoVersion;
    AddGamepad(noFirmware);
    ASSERT_NO_FATAL_FAILURE(Open());
    const auto seen = m_Answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, Text(14));
    EXPECT_EQ(seen[0].caption, Text(6));
    EXPECT_FALSE(seen[0].hasCancel);
    EXPECT_FALSE(seen[0].ownerWasVisible) << "the box must come before the window";
    EXPECT_EQ(Caption(), Text(6));
    EXPECT_TRUE(ButtonEnabled());
}

// --- Device changes ------------------------------------------------------------------------

TEST_F(DialogWindowTest, ArrivalOfTheGamepadEnablesTheButtonAndShowsItsVersion) {
    AddGamepad({}, /*plugged=*/false);
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_FALSE(ButtonEnabled());
    m_Port.Plug(m_Gamepad);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Caption() == VersionedTitle(); }))
        << "caption: " << Caption();
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(Recording().versionRequests, 1u);
}

TEST_F(DialogWindowTest, RemovalOfAnotherDeviceChangesNothing) {
    AddGamepad({}, /*plugged=*/false);
    ASSERT_NO_FATAL_FAILURE(Open());
    m_Port.Plug(m_Gamepad);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Caption() == VersionedTitle(); }));
    LogCapture log;
    m_Port.Unplug(m_Mouse);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return log.Contains(ScanLine()); }));
    PumpPending(m_Dlg);
    EXPECT_EQ(Caption(), VersionedTitle());
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_FALSE(log.Contains(Text(6)));
}

TEST_F(DialogWindowTest, RemovalOfTheGamepadDisablesTheButtonRestoresTheTitleAndLetsGoOfIt) {
    AddGamepad({}, /*plugged=*/false);
    ASSERT_NO_FATAL_FAILURE(Open());
    m_Port.Plug(m_Gamepad);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Caption() == VersionedTitle(); }));
    ASSERT_EQ(m_Port.OpenHandles(m_Gamepad), 2) << "the version query opened the gamepad";
    LogCapture log;
    m_Port.Unplug(m_Gamepad);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return !ButtonEnabled(); }));
    EXPECT_EQ(Caption(), Text(6));
    EXPECT_EQ(log.Count(Text(6)), 1u) << "the title, without a line end, goes to the debugger";
    EXPECT_EQ(m_Port.OpenHandles(m_Gamepad), 0) << "a gamepad that left is still held open";
}

TEST_F(DialogWindowTest, NodesChangedFollowsTheGamepadAndLeavesAVersionedCaption) {
    AddGamepad({}, /*plugged=*/false);
    ASSERT_NO_FATAL_FAILURE(Open());
    m_Port.Plug(m_Gamepad);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Caption() == VersionedTitle(); }));

    EnableWindow(Control(kButton), FALSE);
    m_Port.RaiseNodesChanged();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return ButtonEnabled(); }));
    EXPECT_EQ(Caption(), VersionedTitle());
    EXPECT_EQ(Recording().versionRequests, 1u) << "nodes changed asks no version";

    // The state that a removal left behind, made stale on purpose: nodes-changed without the
    // gamepad puts it right.
    m_Port.Unplug(m_Gamepad);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return !ButtonEnabled(); }));
    EnableWindow(Control(kButton), TRUE);
    SetWindowTextW(m_Dlg, L"stale");
    m_Port.RaiseNodesChanged();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return !ButtonEnabled(); }));
    EXPECT_EQ(Caption(), Text(6));
}

TEST_F(DialogWindowTest, SystemBroadcastIsAnsweredAtOnceAndHandledFromTheQueue) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    EnableWindow(Control(kButton), FALSE);
    SetWindowTextW(m_Dlg, L"unchanged");
    LogCapture log;
    const auto record = InterfaceRecord(kHidInterfaceClass);
    EXPECT_EQ(Broadcast(m_Dlg, DBT_DEVICEARRIVAL, &record), TRUE);
    // The system waits for every window's answer: nothing was scanned or asked inside it.
    EXPECT_FALSE(log.Contains(ScanLine()));
    EXPECT_EQ(Recording().versionRequests, 1u);
    EXPECT_FALSE(ButtonEnabled());

    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Caption() == VersionedTitle(); }));
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(Recording().versionRequests, 2u);
}

TEST_F(DialogWindowTest, BroadcastsThatAreNotHidInterfacesStartNothing) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    SetWindowTextW(m_Dlg, L"unchanged");
    EnableWindow(Control(kButton), FALSE);
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << 4;  // E:
    DEV_BROADCAST_HDR port{};
    port.dbch_size = sizeof(port);
    port.dbch_devicetype = DBT_DEVTYP_PORT;
    const auto usbDevice = InterfaceRecord(kUsbDeviceClass);
    const auto hid = InterfaceRecord(kHidInterfaceClass);
    struct Case {
        const char* what;
        WPARAM event;
        const void* record;
    };
    const Case cases[] = {
        {"a volume arrives", DBT_DEVICEARRIVAL, &volume},
        {"a volume goes", DBT_DEVICEREMOVECOMPLETE, &volume},
        {"a port arrives", DBT_DEVICEARRIVAL, &port},
        {"another interface class arrives", DBT_DEVICEARRIVAL, &usbDevice},
        {"an arrival without a record", DBT_DEVICEARRIVAL, nullptr},
        {"a HID interface asks to be removed", DBT_DEVICEQUERYREMOVE, &hid},
        {"DBT_QUERYCHANGECONFIG", 0x0017, nullptr},
        {"DBT_CONFIGCHANGED", 0x0018, nullptr},
    };
    LogCapture log;
    for (const Case& c : cases) {
        EXPECT_EQ(Broadcast(m_Dlg, c.event, c.record), TRUE) << c.what;
    }
    // Nodes changed, which does concern the gamepad, comes last. Had any case above started a
    // reaction, it would have been gathered into the same burst and shown itself here: another
    // scan, or the arrival's version query and caption.
    EXPECT_EQ(Broadcast(m_Dlg, DBT_DEVNODES_CHANGED, nullptr), TRUE);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return ButtonEnabled(); }));
    EXPECT_EQ(log.Count(ScanLine()), 1u);
    EXPECT_EQ(Recording().versionRequests, 1u);
    EXPECT_EQ(Caption(), "unchanged");
}

TEST_F(DialogWindowTest, BurstOfDeviceEventsIsHandledOnceForEachKind) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    LogCapture log;
    const auto record = InterfaceRecord(kHidInterfaceClass);
    for (int i = 0; i < 10; ++i) {
        Broadcast(m_Dlg, DBT_DEVICEARRIVAL, &record);
    }
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Caption() == VersionedTitle(); }));
    // A re-plug: removal, arrival and the simulated gamepad's own events in one burst.
    m_Port.Unplug(m_Gamepad);
    m_Port.Plug(m_Gamepad);
    m_Port.RaiseNodesChanged();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Recording().versionRequests == 3; }));
    // Nodes changed, gathered alone, marks the end of what the bursts started.
    EnableWindow(Control(kButton), FALSE);
    Broadcast(m_Dlg, DBT_DEVNODES_CHANGED, nullptr);
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return ButtonEnabled(); }));
    EXPECT_EQ(log.Count(ScanLine()), 1u + 3u + 1u);
    EXPECT_EQ(Recording().versionRequests, 3u);
    EXPECT_EQ(Caption(), VersionedTitle());
}

// --- The update button ---------------------------------------------------------------------

TEST_F(DialogWindowTest, ClickThatCannotOpenTheDeviceOnlyHidesTheSuccessText) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    ShowWindow(Control(kSuccessText), SW_SHOW);
    m_Port.SetOpenStatus(m_Gamepad, zevrin::OpenStatus::Failed);
    Click();
    PumpPending(m_Dlg);
    EXPECT_FALSE(SuccessVisible());
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_FALSE(m_View->Dialog().IsWorkerRunning());
    EXPECT_EQ(Recording().enterUpdates, 0u);
    EXPECT_EQ(m_Answerer.Count(), 0u);
}

TEST_F(DialogWindowTest, WholeUpdateEndsWithTheSuccessBoxAndTheSuccessText) {
    GamepadBehaviour slow;
    slow.latency = 3ms;  // long enough to see the bar move
    AddGamepad(slow);
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::vector<uint8_t> data = Pattern(32 * 40 + 9);
    TempDir dir;
    m_Answerer.SetFile(dir.Write("whole.dat", ImageBytes(120, data)));

    Click();
    EXPECT_FALSE(ButtonEnabled()) << "the button is disabled while the worker runs";
    int highest = 0;
    ASSERT_TRUE(PumpUntil(
        m_Dlg,
        [&] {
            highest = std::max(highest, ProgressPos(m_Dlg));
            return !m_View->Dialog().IsWorkerRunning();
        },
        30s));

    const auto seen = m_Answerer.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0].fileDialog);
    EXPECT_EQ(seen[1].text, Text(5) + " 1.20 " + Text(15) + " 1.10\n");
    EXPECT_TRUE(seen[1].hasCancel);
    EXPECT_EQ(seen[2].text, "\n " + Text(4) + " \n");
    EXPECT_FALSE(seen[2].hasCancel);
    for (const auto& prompt : seen) {
        EXPECT_NE(prompt.thread, GetCurrentThreadId()) << "prompts are the worker's own";
        if (!prompt.fileDialog) {
            EXPECT_EQ(prompt.caption, Text(6));
        }
    }

    const auto rec = Recording();
    EXPECT_EQ(rec.received, data);
    EXPECT_TRUE(rec.doneAfterWholeImage);
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::Success);
    EXPECT_GT(highest, 0);
    EXPECT_EQ(ProgressPos(m_Dlg), 0) << "the bar is reset after the success box";
    EXPECT_TRUE(SuccessVisible());
    EXPECT_EQ(TextOf(Control(kSuccessText)), Text(4));
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_TRUE(IsWindowEnabled(m_Dlg)) << "every box gave the window back";
}

TEST_F(DialogWindowTest, FileDialogIsAskedForDatFilesFromTheCurrentFolder) {
    AddGamepad();
    // A scripted open-file dialog that records what it was asked.
    OPENFILENAMEW asked{};
    std::wstring filter;
    std::wstring extension;
    std::wstring directory;
    DWORD askedOn = 0;
    HRESULT otherApartment = S_OK;
    zevrin::win32::Prompts prompts = zevrin::win32::SystemPrompts();
    prompts.openFileName = [&](OPENFILENAMEW& request) {
        // Joining the multi-threaded apartment fails on a thread that is in a single-threaded one.
        otherApartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(otherApartment)) {
            CoUninitialize();
        }
        asked = request;
        const wchar_t* end = request.lpstrFilter;
        while (end[0] != L'\0' || end[1] != L'\0') {
            ++end;
        }
        filter.assign(request.lpstrFilter, end + 2);
        extension = request.lpstrDefExt != nullptr ? request.lpstrDefExt : L"";
        directory = request.lpstrInitialDir != nullptr ? request.lpstrInitialDir : L"";
        askedOn = GetCurrentThreadId();
        return FALSE;  // the user cancels
    };
    m_View = std::make_unique<Win32DialogView>(m_Port, GetModuleHandleW(nullptr), prompts);
    ASSERT_NO_FATAL_FAILURE(Create());

    Click();
    ASSERT_TRUE(WaitForWorkerEnd());
    EXPECT_EQ(asked.hwndOwner, m_Dlg);
    EXPECT_EQ(filter, zevrin::Utf16(Text(3)) + std::wstring(L"(*.dat)\0*.dat\0\0", 15));
    EXPECT_EQ(asked.Flags, 6u);
    EXPECT_EQ(extension, L"*.*");
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    EXPECT_EQ(directory, current);
    EXPECT_GE(asked.nMaxFile, static_cast<DWORD>(MAX_PATH));
    EXPECT_NE(askedOn, GetCurrentThreadId());
    EXPECT_EQ(otherApartment, RPC_E_CHANGED_MODE) << "the file dialog's thread has no apartment";
    // Cancelled: the worker ends quietly and nothing goes to the device.
    EXPECT_EQ(m_Answerer.Count(), 0u);
    EXPECT_FALSE(Recording().headerReceived);
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::Cancelled);
    EXPECT_TRUE(ButtonEnabled());
}

TEST_F(DialogWindowTest, DeviceFailureShowsTheFailureBoxAndGivesTheButtonBack) {
    GamepadBehaviour failing;
    failing.fault = {FaultKind::Failed21, Moment::MidTransfer};
    AddGamepad(failing);
    ASSERT_NO_FATAL_FAILURE(Open());
    TempDir dir;
    m_Answerer.SetFile(dir.Write("fail.dat", ImageBytes(120, Pattern(32 * 20))));

    Click();
    ASSERT_TRUE(WaitForWorkerEnd());
    const auto seen = m_Answerer.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].text, Text(7) + "\n");
    EXPECT_EQ(seen[2].caption, Text(6));
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::DeviceFailed);
    EXPECT_FALSE(Recording().doneReceived);
    EXPECT_FALSE(SuccessVisible());
    EXPECT_TRUE(ButtonEnabled());
}

TEST_F(DialogWindowTest, ImageThatCannotBeSentIsRefusedWithItsReason) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    std::vector<uint8_t> truncated = ImageBytes(120, Pattern(100));
    truncated.resize(truncated.size() - 10);
    TempDir dir;
    m_Answerer.SetFile(dir.Write("short.dat", truncated));

    Click();
    ASSERT_TRUE(WaitForWorkerEnd());
    const auto seen = m_Answerer.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, Text(7) + "\n" + LoadExtraText(ExtraText::ImageTruncated));
    EXPECT_FALSE(Recording().headerReceived);
}

// --- Closing -------------------------------------------------------------------------------

TEST_F(DialogWindowTest, ClosingWithoutATransferClosesAtOnce) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    RequestClose();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return IsWindow(m_Dlg) == FALSE; }));
    EXPECT_EQ(m_Answerer.Count(), 0u);
}

TEST_F(DialogWindowTest, ClosingDuringATransferAsksAndCancelLetsItFinish) {
    GamepadBehaviour slow;
    slow.latency = 15ms;
    AddGamepad(slow);
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::vector<uint8_t> data = Pattern(32 * 60);
    TempDir dir;
    m_Answerer.SetFile(dir.Write("keep.dat", ImageBytes(120, data)));
    m_Answerer.QueueBoxAnswer(PromptAnswerer::Answer::Ok);      // confirmation
    m_Answerer.QueueBoxAnswer(PromptAnswerer::Answer::Cancel);  // "stop now?"

    Click();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Recording().chunks >= 5; }));
    RequestClose();
    ASSERT_TRUE(WaitForWorkerEnd(30s));

    const auto seen = m_Answerer.Seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].text, Text(2));
    EXPECT_EQ(seen[2].caption, Text(6));
    EXPECT_TRUE(seen[2].hasCancel);
    EXPECT_EQ(seen[2].thread, GetCurrentThreadId()) << "the question is the window's own";
    EXPECT_EQ(seen[3].text, "\n " + Text(4) + " \n");
    EXPECT_TRUE(IsWindow(m_Dlg));
    EXPECT_EQ(Recording().received, data);
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::Success);
}

TEST_F(DialogWindowTest, ClosingDuringATransferWithOkStopsTheWorkerBeforeTheWindowGoes) {
    GamepadBehaviour slow;
    slow.latency = 15ms;
    AddGamepad(slow);
    m_Session.emplace();
    ASSERT_NO_FATAL_FAILURE(Open());
    TempDir dir;
    m_Answerer.SetFile(dir.Write("stop.dat", ImageBytes(120, Pattern(32 * 200))));

    Click();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Recording().chunks >= 5; }));
    RequestClose();
    ASSERT_TRUE(PumpUntil(
        m_Dlg, [&] { return IsWindow(m_Dlg) == FALSE; }, 10s));
    EXPECT_FALSE(m_View->Dialog().IsWorkerRunning()) << "the window went before the worker";
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::Interrupted);
    const size_t chunks = Recording().chunks;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Recording().chunks, chunks) << "nothing is sent once the window has closed";
    EXPECT_FALSE(Recording().doneReceived);
    EXPECT_EQ(m_Port.ReadsInProgress(m_Gamepad), 0);
    EXPECT_EQ(m_Session->Query(), TRUE) << "the hold outlived the worker";
    EXPECT_EQ(m_Session->fake.ExecutionStateOf(m_Session->AwakeThread()),
              static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
}

TEST_F(DialogWindowTest, ClosingWhileTheWorkerAsksForConfirmationEndsItsBox) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    TempDir dir;
    m_Answerer.SetFile(dir.Write("asking.dat", ImageBytes(120, Pattern(64))));
    m_Answerer.QueueBoxAnswer(PromptAnswerer::Answer::Leave);  // the user looks away
    m_Answerer.QueueBoxAnswer(PromptAnswerer::Answer::Ok);     // then closes the window

    Click();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return m_Answerer.Count() == 2; }));
    ASSERT_TRUE(m_Answerer.AnyStanding());
    RequestClose();
    ASSERT_TRUE(PumpUntil(
        m_Dlg, [&] { return IsWindow(m_Dlg) == FALSE; }, 10s))
        << "the worker's box kept the window from closing";
    EXPECT_FALSE(m_Answerer.AnyStanding());
    EXPECT_EQ(m_Answerer.ForcedCloses(), 0) << "the window did not end the worker's box itself";
    EXPECT_FALSE(m_View->Dialog().IsWorkerRunning());
    EXPECT_FALSE(Recording().headerReceived) << "a cancelled confirmation sends no header";
    EXPECT_EQ(m_Answerer.Seen()[2].text, Text(2));
}

// A stand-in for the file dialog that shows a box of its own (as the real one does for a path that
// does not exist), then waits, like a dialog, until it is told to cancel.
struct FileDialogWithABox {
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> boxShown{false};
    std::atomic<int> boxAnswer{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> forced{false};

    // The window procedure and the timer have no way to be handed their object.
    inline static std::atomic<FileDialogWithABox*> current{nullptr};

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
            current.load()->cancelled = true;
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    // A box nothing else ends would keep the test from ever ending: it is cancelled after a while
    // and the test fails.
    static void CALLBACK GiveUp(HWND /*window*/, UINT /*message*/, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        FileDialogWithABox* self = current.load();
        self->forced = true;
        for (HWND box : zevrin::test::PromptsOwnedBy(self->window.load())) {
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
        self->cancelled = true;
    }

    BOOL Run(OPENFILENAMEW& request) {
        current = this;
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"ZevrinFileDialogStandIn";
        RegisterClassW(&windowClass);
        window =
            CreateWindowExW(0, windowClass.lpszClassName, L"Open", WS_POPUP | WS_VISIBLE, 0, 0, 200,
                            100, request.hwndOwner, nullptr, windowClass.hInstance, nullptr);
        SetTimer(nullptr, 0, 8000, GiveUp);
        boxShown = true;
        boxAnswer = MessageBoxW(window, L"The path does not exist.", L"Open", MB_OKCANCEL);
        MSG message;
        while (!cancelled && GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        DestroyWindow(window);
        return FALSE;
    }
};

TEST_F(DialogWindowTest, ClosingWhileTheFileDialogShowsABoxOfItsOwnEndsBoth) {
    AddGamepad();
    FileDialogWithABox fileDialog;
    zevrin::win32::Prompts prompts = zevrin::win32::SystemPrompts();
    prompts.openFileName = [&](OPENFILENAMEW& request) { return fileDialog.Run(request); };
    m_View = std::make_unique<Win32DialogView>(m_Port, GetModuleHandleW(nullptr), prompts);
    ASSERT_NO_FATAL_FAILURE(Create());

    Click();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] {
        return fileDialog.boxShown && zevrin::test::FindPrompt(fileDialog.window) != nullptr;
    }));
    RequestClose();  // "stop now?" is answered OK
    ASSERT_TRUE(PumpUntil(
        m_Dlg, [&] { return IsWindow(m_Dlg) == FALSE; }, 15s));
    EXPECT_FALSE(fileDialog.forced) << "the window did not end the file dialog's box";
    EXPECT_EQ(fileDialog.boxAnswer, IDCANCEL);
    EXPECT_TRUE(fileDialog.cancelled);
    EXPECT_FALSE(m_View->Dialog().IsWorkerRunning());
    EXPECT_FALSE(Recording().headerReceived);
}

// --- The session ---------------------------------------------------------------------------

TEST_F(DialogWindowTest, TransferHoldsOffShutdownAndSleepUntilItEnds) {
    GamepadBehaviour slow;
    slow.latency = 5ms;
    AddGamepad(slow);
    m_Session.emplace();
    ASSERT_NO_FATAL_FAILURE(Open());
    TempDir dir;
    m_Answerer.SetFile(dir.Write("session.dat", ImageBytes(120, Pattern(32 * 60))));
    const HWND hidden = m_Session->Find();
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(GetAncestor(hidden, GA_PARENT), GetDesktopWindow()) << "not a top-level window";
    EXPECT_FALSE(IsWindowVisible(hidden));
    const DWORD windowThread = GetWindowThreadProcessId(hidden, nullptr);
    EXPECT_NE(windowThread, GetCurrentThreadId());
    EXPECT_EQ(m_Session->Query(), TRUE);
    EXPECT_TRUE(m_Session->Calls().empty());

    Click();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Recording().chunks >= 5; }));
    EXPECT_EQ(m_Session->Query(), FALSE);
    // The reason the system shows, given by the window's own thread, and the program it names.
    const std::vector<SessionCall> held = m_Session->Calls();
    const auto reason = std::find_if(held.begin(), held.end(), [](const SessionCall& c) {
        return c.kind == SessionCall::Kind::BlockReason;
    });
    ASSERT_NE(reason, held.end());
    EXPECT_EQ(reason->window, hidden);
    EXPECT_EQ(reason->thread, windowThread);
    EXPECT_EQ(zevrin::Utf8(reason->reason), LoadExtraText(ExtraText::UpdateInProgress));
    EXPECT_EQ(TextOf(hidden), Text(6));
    // Awake on the worker's thread: neither the window's nor the hidden window's.
    const DWORD worker = m_Session->AwakeThread();
    EXPECT_NE(worker, 0u);
    EXPECT_NE(worker, GetCurrentThreadId());
    EXPECT_NE(worker, windowThread);
    EXPECT_EQ(m_Session->fake.ExecutionStateOf(worker),
              static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
    // A shutdown that was called off changes nothing.
    SendMessageW(hidden, WM_ENDSESSION, FALSE, 0);
    EXPECT_TRUE(m_View->Dialog().IsWorkerRunning());

    ASSERT_TRUE(WaitForWorkerEnd(30s));
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(m_Session->Query(), TRUE);
    EXPECT_EQ(m_Session->fake.ExecutionStateOf(worker),
              static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    EXPECT_EQ(m_Session->Count(SessionCall::Kind::BlockReason), 1u);
    EXPECT_EQ(m_Session->Count(SessionCall::Kind::UnblockReason), 1u);
    EXPECT_THAT(m_Session->fake.faults, ::testing::IsEmpty());
}

TEST_F(DialogWindowTest, SessionEndingDuringATransferStopsTheWorkerBeforeItReturns) {
    GamepadBehaviour slow;
    slow.latency = 15ms;
    AddGamepad(slow);
    m_Session.emplace();
    ASSERT_NO_FATAL_FAILURE(Open());
    TempDir dir;
    m_Answerer.SetFile(dir.Write("ending.dat", ImageBytes(120, Pattern(32 * 200))));

    Click();
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return Recording().chunks >= 5; }));
    const auto start = std::chrono::steady_clock::now();
    SendMessageW(m_Session->Find(), WM_ENDSESSION, TRUE, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // Stopped as closing stops it, and its hold gone, before the process could be ended.
    EXPECT_EQ(m_View->Dialog().Outcome(), UpdateOutcome::Interrupted);
    EXPECT_EQ(m_Port.ReadsInProgress(m_Gamepad), 0);
    EXPECT_EQ(m_Session->fake.ExecutionStateOf(m_Session->AwakeThread()),
              static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    const size_t chunks = Recording().chunks;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Recording().chunks, chunks);
    EXPECT_FALSE(Recording().doneReceived);
    EXPECT_TRUE(WaitForWorkerEnd(5s));
    EXPECT_THAT(m_Session->fake.faults, ::testing::IsEmpty());
}

// The hidden window's own bounds, without a dialog: a transfer that does not stop when asked keeps
// the ending session waiting a few seconds at most, and a transfer that begins once the session is
// ending is stopped as it takes its hold.
TEST(SessionWindowTest, EndingWaitsForAStoppedTransferWithABoundAndStopsLateOnes) {
    HeldSession session;
    std::atomic<int> stops{0};
    const zevrin::HoldRequest stubborn{"Zevrin Update", "busy", [&] { ++stops; }};
    std::unique_ptr<zevrin::SessionHold> hold = zevrin::HoldSession(stubborn);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(session.Query(), FALSE);
    const auto start = std::chrono::steady_clock::now();
    SendMessageW(session.Find(), WM_ENDSESSION, TRUE, 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(stops.load(), 1);
    EXPECT_GE(waited, 3s) << "the stopped transfer was not waited for";
    EXPECT_LT(waited, 6s);
    hold.reset();

    const std::unique_ptr<zevrin::SessionHold> late = zevrin::HoldSession(stubborn);
    EXPECT_EQ(stops.load(), 2);
    EXPECT_THAT(session.fake.faults, ::testing::IsEmpty());
}

// --- The view's calls from the worker --------------------------------------------------------

TEST_F(DialogWindowTest, CallsFromAnotherThreadHaveChangedTheControlsWhenTheyReturn) {
    AddGamepad();
    ASSERT_NO_FATAL_FAILURE(Open());
    std::atomic<bool> done{false};
    bool disabledOnReturn = false;
    bool shownOnReturn = false;
    std::thread worker([&] {
        m_View->EnableControl(ControlId::UpdateButton, false);
        disabledOnReturn = IsWindowEnabled(Control(kButton)) == FALSE;
        m_View->ShowControl(ControlId::SuccessText, true);
        shownOnReturn = (GetWindowLongPtrW(Control(kSuccessText), GWL_STYLE) & WS_VISIBLE) != 0;
        m_View->SetProgressPos(42);
        m_View->SetCaption("从工作线程");
        m_View->SetControlText(ControlId::Instructions, "line 1\r\nline 2");
        done = true;
    });
    ASSERT_TRUE(PumpUntil(m_Dlg, [&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(disabledOnReturn);
    EXPECT_TRUE(shownOnReturn);
    EXPECT_EQ(ProgressPos(m_Dlg), 42);
    EXPECT_EQ(Caption(), "从工作线程");
    EXPECT_EQ(TextOf(Control(kInstructions)), "line 1\r\nline 2");
}

}  // namespace
