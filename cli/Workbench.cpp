#include "cli/Workbench.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "cli/ChildRuns.h"
#include "cli/HotPlug.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

int AwaitGamepad(const ParsedArgs& a, Console& c, CliView& view, HidPort& port) {
    if (!a.wait) {
        return kExitOk;
    }
    Wakeup wakeup;
    // Registered before the first look, so an arrival between the two is not missed.
    const HotPlugWatch watch(port, [&wakeup](const DeviceEvent&) { wakeup.Notify(); });
    uint64_t seen = wakeup.Count();
    if (!port.ListAccepted(IsAcceptedDevice).empty()) {
        return kExitOk;
    }
    if (!watch.Active()) {
        view.Error("zevrin-flash: " + LoadCliText(CliText::CannotWaitForOne) + "\n");
        return kExitNoGamepad;
    }
    view.Print(c.err, (a.device ? LoadCliText(CliText::WaitingForDevice, {*a.device})
                                : LoadCliText(CliText::WaitingForBootMode)) +
                          "\n");
    const std::optional<Clock::time_point> deadline =
        a.waitLimit ? std::optional(Clock::now() + *a.waitLimit) : std::nullopt;
    for (;;) {
        if (Interrupted(c)) {
            view.Error(LoadCliText(CliText::InterruptedWaiting) + "\n");
            return kExitInterrupted;
        }
        if (deadline && Clock::now() >= *deadline) {
            const std::string bound =
                Format("%g", static_cast<double>(a.waitLimit->count()) / 1000.0);
            view.Error("zevrin-flash: " + LoadCliText(CliText::NoneArrived, {bound}) + "\n");
            return kExitNoGamepad;
        }
        const Clock::time_point slice = Clock::now() + kStopSlice;
        if (wakeup.WaitAfter(seen, deadline ? std::min(*deadline, slice) : slice) &&
            !port.ListAccepted(IsAcceptedDevice).empty()) {
            return kExitOk;
        }
    }
}

}  // namespace zevrin::cli
