// zevrin-win-screenshot-driver SIGNALDIR: the real window over the demo's simulated devices,
// walked through an update for scripts/screenshots-windows. At each step it creates
// SIGNALDIR/ready-STEP and waits for SIGNALDIR/shot-STEP, which the script creates once it has
// taken the screen (import -window root). Steps: idle (gamepad connected), confirm (the
// confirmation box), update (bar in the middle), success (the success box), done (success text).
// The file dialog is answered by the driver with an image of its own; the boxes are real.
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "app/win32/ResourceTexts.h"
#include "app/win32/Win32DialogView.h"
#include "hid/sim/SimBench.h"
#include "hid/sim/SimPort.h"
#include "tests/TestSupport.h"
#include "tests/win32gui/GuiTestSupport.h"
#include "update/Texts.h"

using namespace std::chrono_literals;
using zevrin::test::ControlOf;
using zevrin::test::FindPrompt;
using zevrin::test::ProgressPos;
using zevrin::test::PumpUntil;
using zevrin::test::TextOf;

namespace {

constexpr int kButton = 1007;

class Signals {
  public:
    explicit Signals(std::filesystem::path dir) : m_Dir(std::move(dir)) {}

    // Says the screen shows `step` and waits, serving the window, until it has been taken.
    // `active` is the window the user would be looking at: it gets the active title bar.
    bool Shoot(HWND dialog, const std::string& step, HWND active = nullptr) {
        const HWND target = active != nullptr ? active : dialog;
        SetForegroundWindow(target);
        // Without a window manager the title bar may keep its inactive colours: draw it anew.
        SendMessageW(target, WM_NCACTIVATE, TRUE, 0);
        PumpUntil(
            dialog, [] { return false; }, 200ms);
        std::ofstream(m_Dir / ("ready-" + step)) << step << '\n';
        const bool taken = PumpUntil(
            dialog, [&] { return std::filesystem::exists(m_Dir / ("shot-" + step)); }, 60s);
        if (!taken) {
            std::fprintf(stderr, "screenshot driver: nobody took '%s'\n", step.c_str());
        }
        return taken;
    }
    void Finished() { std::ofstream(m_Dir / "finished") << "finished\n"; }

  private:
    std::filesystem::path m_Dir;
};

bool Fail(const char* what) {
    std::fprintf(stderr, "screenshot driver: %s\n", what);
    return false;
}

HWND WaitForPrompt(HWND dialog) {
    HWND prompt = nullptr;
    PumpUntil(
        dialog, [&] { return (prompt = FindPrompt(dialog)) != nullptr; }, 20s);
    return prompt;
}

void Press(HWND window, int id) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

bool Run(const std::filesystem::path& signalDir) {
    Signals signals(signalDir);
    zevrin::sim::SimPort port;
    const int gamepad = zevrin::sim::AddBench(port, zevrin::sim::DemoBench()).front();
    zevrin::sim::GamepadBehaviour behaviour;
    behaviour.version = 110;
    behaviour.latency = 4ms;
    port.SetBehaviour(gamepad, behaviour);

    const zevrin::test::TempDir dir;
    const std::filesystem::path image = dir.Write(
        "zevrin-demo-1.20.dat", zevrin::test::ImageBytes(120, zevrin::test::Pattern(32 * 400)));
    zevrin::win32::Prompts prompts = zevrin::win32::SystemPrompts();
    prompts.openFileName = [&](OPENFILENAMEW& request) {
        const std::wstring path = image.wstring();
        if (path.size() + 1 > request.nMaxFile) {
            return FALSE;
        }
        path.copy(request.lpstrFile, path.size());
        request.lpstrFile[path.size()] = L'\0';
        return TRUE;
    };
    zevrin::win32::Win32DialogView view(port, GetModuleHandleW(nullptr), prompts);
    const HWND dialog = view.CreateModeless(nullptr);
    if (dialog == nullptr) {
        return Fail("no dialog");
    }
    const HWND button = ControlOf(dialog, kButton);

    port.Plug(gamepad);
    if (!PumpUntil(dialog, [&] {
            return IsWindowEnabled(button) != FALSE &&
                   TextOf(dialog).find("GamePad") != std::string::npos;
        })) {
        return Fail("the gamepad did not arrive");
    }
    if (!signals.Shoot(dialog, "idle")) {
        return false;
    }

    SendMessageW(button, BM_CLICK, 0, 0);
    HWND confirm = WaitForPrompt(dialog);
    if (confirm == nullptr) {
        return Fail("no confirmation box");
    }
    if (!signals.Shoot(dialog, "confirm", confirm)) {
        return false;
    }
    Press(confirm, IDOK);

    if (!PumpUntil(
            dialog, [&] { return ProgressPos(dialog) >= 45; }, 30s)) {
        return Fail("the bar did not move");
    }
    // Hold the device back while the screen is taken, so the bar stands still.
    behaviour.latency = 5s;
    port.SetBehaviour(gamepad, behaviour);
    PumpUntil(
        dialog, [] { return false; }, 100ms);
    if (!signals.Shoot(dialog, "update")) {
        return false;
    }
    behaviour.latency = 4ms;
    port.SetBehaviour(gamepad, behaviour);

    HWND success = WaitForPrompt(dialog);
    if (success == nullptr) {
        return Fail("no success box");
    }
    if (!signals.Shoot(dialog, "success", success)) {
        return false;
    }
    Press(success, IDOK);
    if (!PumpUntil(
            dialog, [&] { return !view.Dialog().IsWorkerRunning(); }, 20s)) {
        return Fail("the worker did not end");
    }
    if (!signals.Shoot(dialog, "done")) {
        return false;
    }
    DestroyWindow(dialog);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zevrin-win-screenshot-driver SIGNALDIR\n");
        return 2;
    }
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    zevrin::win32::InstallResourceTexts(GetModuleHandleW(nullptr));
    const std::filesystem::path signalDir(zevrin::test::WindowsPath(argv[1]));
    const bool ok = Run(signalDir);
    Signals(signalDir).Finished();
    return ok ? 0 : 1;
}
