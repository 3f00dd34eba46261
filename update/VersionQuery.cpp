#include <thread>

#include "hid/Log.h"
#include "update/UpdateEngine.h"

using zevrin::Format;
using zevrin::LogLine;

namespace {

using Clock = std::chrono::steady_clock;

// Reports the version query reads at most, whatever they are.
constexpr uint32_t kVersionQueryMaxReports = 256;

// Outside a worker only the version answer means anything: device information or data requests
// would open the file dialog or send CMD_UPDATE_DONE from the dialog thread, and a failure event
// would tell of an update that is not running.
class VersionAnswerOnly final : public FrameHandlers {
  public:
    explicit VersionAnswerOnly(CUpdateEngine& engine) : m_Engine(engine) {}
    void OnDeviceInfo(const uint8_t* /*body*/, size_t /*length*/) override {
        LogLine("QueryDeviceVersion: device information ignored\n");
    }
    void OnUpdateEvent(const uint8_t* body, size_t /*length*/) override {
        if (body[0] == EVT_VERSION) {
            m_Engine.OnVersionAnswer(body);
            return;
        }
        LogLine("QueryDeviceVersion: code 0x%x ignored\n", body[0]);
    }

  private:
    CUpdateEngine& m_Engine;
};

}  // namespace

void CUpdateEngine::QueryDeviceVersion() {
    if (m_QueryRunning) {
        // A device event inside the query's own box: the first query is still on the stack.
        m_QueryAgain = true;
        return;
    }
    m_QueryRunning = true;
    do {
        m_QueryAgain = false;
        AskVersionOnce();
    } while (m_QueryAgain);
    m_QueryRunning = false;
}

void CUpdateEngine::AskVersionOnce() {
    cur_devVersion = kVersionPending;
    m_VersionStale = false;
    if (m_Hid.OpenDevice() == 0) {
        // A gamepad another program claimed keeps an unknown version here; its box comes only
        // when the user asks for an update.
        ReportPermissionDenied();
        return;
    }
    // The query is a conversation of its own: once it ends, others may have the gamepad.
    struct Release {
        CHid& hid;
        ~Release() { hid.ReleaseClaim(); }
    } release{m_Hid};
    if (SendFirmwarePacket(m_Hid, CMD_GET_VERSION) == 0) {
        LogLine("QueryDeviceVersion: the request could not be written\n");
        return;
    }
    // One deadline for the whole query: a device that keeps sending something else must not keep
    // the window waiting.
    const Clock::time_point deadline = Clock::now() + m_Limits.versionQuery;
    VersionAnswerOnly handlers(*this);
    uint8_t buffer[zevrin::kReportPayload] = {};
    uint32_t reports = 0;
    for (;;) {
        const uint32_t result = m_Hid.ReadHid(buffer, zevrin::kReportPayload);
        if (Clock::now() >= deadline && result != zevrin::kReadOk) {
            LogLine("QueryDeviceVersion: no answer in %d ms\n",
                    static_cast<int>(m_Limits.versionQuery.count()));
            return;
        }
        if (result != zevrin::kReadOk) {
            LogLine("recv() failed with error code 0x%x\n", result);
            SendShortMessage(m_Hid, MSG_POLL, 0);
            if (result != zevrin::kReadTimeout) {
                std::this_thread::sleep_for(kFailedReadPause);
            }
            continue;
        }
        LogLine(" %d Bytes received from sender\n", buffer[0]);
        DispatchFrame(buffer + 1, handlers);
        if (cur_devVersion.load() != kVersionPending) {
            return;
        }
        if (++reports >= kVersionQueryMaxReports || Clock::now() >= deadline) {
            LogLine("QueryDeviceVersion: no version among %u reports\n", reports);
            return;
        }
    }
}

void CUpdateEngine::OnVersionAnswer(const uint8_t* body) {
    const uint32_t version = ReadLe32(body + 3);
    cur_devVersion = version;
    LogLine("cur_devVersion 0x%x\n", version);
    if (version == kNoVersion) {
        m_View.MessageBox(Format("%s", LoadLocalizedText(TextId::Instructions).c_str()), Title(),
                          BoxKind::Instructions);
    } else {
        m_View.SetCaption(VersionCaption(version));
    }
}
