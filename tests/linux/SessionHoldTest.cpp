// The session is held for exactly the length of a transfer: logind (a mock on a private bus, run by
// with-logind-mock) lists the inhibitor while the worker runs and not after, whichever way it ends.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "EngineRig.h"
#include "session/linux/LogindHold.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

using namespace std::chrono_literals;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::test::WaitFor;

namespace {

struct Inhibitor {
    std::string what, who, why, mode;
};

std::vector<Inhibitor> ListInhibitors() {
    std::vector<Inhibitor> found;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        ADD_FAILURE() << "no system bus";
        return found;
    }
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply,
                           "") < 0) {
        ADD_FAILURE() << "ListInhibitors: " << (error.message != nullptr ? error.message : "?");
    } else if (sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
            found.push_back({what, who, why, mode});
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return found;
}

class SessionHoldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("ZEVRIN_LOGIND_MOCK") == nullptr) {
            GTEST_SKIP() << "needs the mock logind: run through tests/linux/with-logind-mock";
        }
        zevrin::SetSessionHolder(zevrin::HoldSessionWithLogind);
    }
    void TearDown() override { zevrin::SetSessionHolder({}); }
};

TEST_F(SessionHoldTest, ShutdownAndSleepWaitForTheTransferOnly) {
    for (const FaultKind fault : {FaultKind::None, FaultKind::Unplug}) {
        zevrin::test::EngineRig rig;
        GamepadBehaviour b;
        b.latency = 20ms;  // long enough to look while it runs
        b.fault = {fault, Moment::MidTransfer};
        rig.AddPad(b);
        rig.UseImage(640, 640);
        EngineLimits limits;
        limits.deviceGone = 150ms;
        rig.Open(limits);
        ASSERT_TRUE(ListInhibitors().empty());

        rig.m_Dlg->OnBnClickedUsbUpdate();
        ASSERT_TRUE(WaitFor([&] { return rig.Rec().chunks >= 2; }));
        const std::vector<Inhibitor> during = ListInhibitors();
        ASSERT_EQ(during.size(), 1u);
        EXPECT_EQ(during[0].what, "shutdown:sleep");
        EXPECT_EQ(during[0].who, LoadLocalizedText(TextId::Title));
        EXPECT_EQ(during[0].why, LoadExtraText(ExtraText::UpdateInProgress));
        EXPECT_EQ(during[0].mode, "block");
        rig.m_Dlg->WaitForWorker();
        EXPECT_EQ(rig.m_Dlg->Outcome(),
                  fault == FaultKind::None ? UpdateOutcome::Success : UpdateOutcome::DeviceLost);
        // The mock drops a lock once its descriptor is closed; give its loop a moment.
        EXPECT_TRUE(WaitFor([] { return ListInhibitors().empty(); }, 2s));
    }
}

}  // namespace
