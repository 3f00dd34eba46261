#include "update/UpdateEngine.h"

#include <cassert>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "hid/Log.h"
#include "update/Texts.h"

using zevrin::Format;
using zevrin::LogLine;

std::atomic<int> g_StopThread{0};
std::atomic<int> g_UpdateStage{0};
std::atomic<uint32_t> cur_devVersion{kVersionPending};
CUpdateEngine* g_pUpdateDlg = nullptr;
ControlRef* g_pUpdateButton = nullptr;
ControlRef* g_pProgressBar = nullptr;
ControlRef* g_pSuccessText = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

// Read time-out once the header has gone out: a silent device is poked about every 10 ms.
constexpr uint32_t kTransferReadTimeoutMs = 10;
// A read that fails at once (device gone) is not repeated faster than this.
constexpr auto kFailedReadPause = std::chrono::milliseconds(10);
// Reports the version query reads at most, whatever they are.
constexpr uint32_t kVersionQueryMaxReports = 256;
// GetCurrentDirectoryW's buffer: a longer directory gives the file dialog none.
constexpr size_t kCurrentDirectoryChars = 256;

std::string Title() {
    return LoadLocalizedText(TextId::Title);
}

bool IsProtocolFrame(const uint8_t* frame) {
    return frame[0] == 0x00 && (frame[1] == MSG_UPDATE || frame[1] == MSG_DEVICE_INFO);
}

std::string InitialDirectory() {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::current_path(ec);
    if (ec || dir.native().size() >= kCurrentDirectoryChars) {
        return {};
    }
    const std::u8string u8 = dir.u8string();
    return {u8.begin(), u8.end()};
}

}  // namespace

std::string RefusalReason(ImageProblem problem) {
    switch (problem) {
        case ImageProblem::TooShort:
            return LoadExtraText(ExtraText::FileTooShort);
        case ImageProblem::LengthZero:
            return LoadExtraText(ExtraText::ImageLengthZero);
        case ImageProblem::Truncated:
            return LoadExtraText(ExtraText::ImageTruncated);
        case ImageProblem::ReadError:
            return LoadExtraText(ExtraText::FileReadError);
        case ImageProblem::NotRegular:
            return LoadExtraText(ExtraText::NotRegularFile);
        case ImageProblem::None:
        case ImageProblem::OpenFailed:
            break;
    }
    return {};
}

ExtraText OpenRefusedAdvice() {
#if defined(_WIN32)
    // HID access is not restricted per user on Windows: a refusal means another program has the
    // gamepad open, and the udev advice would be no help.
    return ExtraText::DeviceInUse;
#else
    return ExtraText::PermissionDenied;
#endif
}

std::string VersionCaption(uint32_t versionWord) {
    const uint32_t beta = versionWord >> 16;
    if (beta != 0) {
        return Format("%s(GamePad V%0.2f beta%d)", Title().c_str(), (versionWord & 0xFFFFu) / 100.0,
                      static_cast<int>(beta));
    }
    return Format("%s(GamePad V%0.2f)", Title().c_str(), versionWord / 100.0);
}

uint32_t ProgressPercent(uint32_t sent, uint32_t total) {
    // In 64 bits: sent * 100 wraps in 32 past about 42 MB and the bar would run backwards.
    return total == 0 ? 0 : static_cast<uint32_t>(uint64_t{sent} * 100u / total);
}

std::string ConfirmationText(uint32_t fileVersion, uint32_t deviceVersion) {
    const std::string label5 = LoadLocalizedText(TextId::NewFirmware);
    const std::string label15 = LoadLocalizedText(TextId::CurrentIs);
    if (deviceVersion == kVersionPending || deviceVersion == kNoVersion) {
        // The sentinels are no version: printed as one they read "231.30 beta23130".
        const std::string unknown = LoadExtraText(ExtraText::VersionUnknown);
        const int fileBeta = static_cast<int>(fileVersion >> 16);
        const double file = (fileVersion & 0xFFFFu) / 100.0;
        if (fileBeta == 0) {
            return Format("%s %.02f %s %s\n", label5.c_str(), file, label15.c_str(),
                          unknown.c_str());
        }
        return Format("%s %.02f beta%d %s %s\n", label5.c_str(), file, fileBeta, label15.c_str(),
                      unknown.c_str());
    }
    const double file = (fileVersion & 0xFFFFu) / 100.0;
    const int fileBeta = static_cast<int>(fileVersion >> 16);
    const double device = (deviceVersion & 0xFFFFu) / 100.0;
    const int deviceBeta = static_cast<int>(deviceVersion >> 16);
    if (fileBeta == 0 && deviceBeta == 0) {
        return Format("%s %.02f %s %.02f\n", label5.c_str(), file, label15.c_str(), device);
    }
    if (fileBeta == 0) {
        return Format("%s %.02f %s %.02f beta%d\n", label5.c_str(), file, label15.c_str(), device,
                      deviceBeta);
    }
    if (deviceBeta == 0) {
        return Format("%s %.02f beta%d %s %.02f\n", label5.c_str(), file, fileBeta, label15.c_str(),
                      device);
    }
    return Format("%s %.02f beta%d %s %.02f beta%d\n", label5.c_str(), file, fileBeta,
                  label15.c_str(), device, deviceBeta);
}

static int SendFirmwareHeader(CHid& hid, uint32_t desVersion, uint32_t imageParam,
                              uint32_t imageLength) {
    // Bytes 12-27 carry nothing the device is told about: zeros, never stale memory.
    uint8_t payload[kFirmwareHeaderSize] = {};
    WriteLe32(payload, desVersion);
    WriteLe32(payload + 4, imageParam);
    WriteLe32(payload + 8, imageLength);
    return SendFirmwarePacket(hid, CMD_FIRMWARE_HEADER, payload, kFirmwareHeaderSize);
}

CUpdateEngine::CUpdateEngine(zevrin::HidPort& port, DialogView& view)
    : m_Hid(port),
      m_View(view),
      m_UpdateButton(view, ControlId::UpdateButton),
      m_ProgressBar(view, ControlId::Progress),
      m_SuccessText(view, ControlId::SuccessText) {
    // The process-wide state (the stop flag, the stage, the device version) belongs to one engine:
    // a second one would share it without knowing.
    assert(g_pUpdateDlg == nullptr && "one engine per process");
    g_pUpdateDlg = this;
}

CUpdateEngine::~CUpdateEngine() {
    if (g_pUpdateDlg == this) {
        g_pUpdateDlg = nullptr;
    }
}

std::string CUpdateEngine::ImagePath() const {
    std::lock_guard lock(m_PathLock);
    return m_ImagePath;
}

void CUpdateEngine::SetOutcome(UpdateOutcome outcome) {
    m_Outcome = outcome;
}

void CUpdateEngine::ResetTransferRecord() {
    std::fill(std::begin(m_Chunk), std::end(m_Chunk), 0);
    std::fill(std::begin(m_HeaderBuffer), std::end(m_HeaderBuffer), 0);
    m_ImageVersion = 0;
    m_TotalLength = 0;
    m_BytesSent = 0;
    m_ImageComplete = false;
}

void CUpdateEngine::OnWriteFailed() {
    LogLine("Usb_UpdateThread: a write to the device failed\n");
    SetOutcome(UpdateOutcome::SendFailed);
    FailureRoutine(LoadExtraText(ExtraText::WriteFailed));
}

int CUpdateEngine::SelectFirmwareFile() {
    FileDialogRequest request;
    request.filter = LoadLocalizedText(TextId::FileType) + "(*.dat)|*.dat||";
    request.initialDirectory = InitialDirectory();
    const std::optional<std::string> chosen = m_View.GetOpenFileName(request);
    if (!chosen) {
        return 0;
    }
    {
        std::lock_guard lock(m_PathLock);
        m_ImagePath = *chosen;
    }
    // Kept open from here to the end of the transfer: the bytes sent are the bytes checked.
    const ImageCheck check = OpenChosenImage(*chosen);
    if (check.problem == ImageProblem::OpenFailed) {
        return 0;
    }
    // A short file leaves the missing header bytes as the previous header had them.
    std::copy_n(check.headerBytes, check.headerBytesRead, m_HeaderBuffer);
    const FirmwareHeader header = ParseFirmwareHeader(m_HeaderBuffer);
    m_TotalLength = header.imageLength;
    m_BytesSent = 0;
    if (check.problem != ImageProblem::None) {
        // Refused before anything reaches the device: it keeps its firmware.
        SetOutcome(UpdateOutcome::ImageRefused);
        m_View.MessageBox(Format("%s\n", LoadLocalizedText(TextId::UpdateFailure).c_str()) +
                              RefusalReason(check.problem),
                          Title(), BoxKind::Failure);
        return 0;
    }
    m_ImageVersion = header.desVersion;

    const std::string text = ConfirmationText(header.desVersion, cur_devVersion.load());
    if (m_View.MessageBox(text, Title(), BoxKind::Confirm) == BoxResult::Cancel) {
        LogLine("MessageBox == IDCANCEL\n");
        return 0;
    }
    g_UpdateStage = STAGE_HEADER_SENT;
    m_ImageComplete = false;
    m_HeaderSentThisRun = true;
    if (SendFirmwareHeader(m_Hid, header.desVersion, header.imageParam, header.imageLength) == 0) {
        m_HeaderSentThisRun = false;
        OnWriteFailed();
        return 0;
    }
    m_Hid.SetReadTimeout(kTransferReadTimeoutMs);
    if (!m_TransferHold) {
        // From here on the gamepad's firmware is being replaced: the choosing and the question
        // before it are the user's time, and hold nothing up.
        m_TransferHold =
            zevrin::HoldSession({Title(), LoadExtraText(ExtraText::UpdateInProgress), [this] {
                                     Interrupt();
                                     m_View.CancelPrompts();
                                 }});
    }
    LogLine("desVersion is %d\n", static_cast<int>(header.desVersion));
    return 1;
}

void CUpdateEngine::UseCheckedImage(std::string path, ImageFile file) {
    m_CheckedPath = std::move(path);
    m_CheckedImage = std::move(file);
}

ImageCheck CUpdateEngine::OpenChosenImage(const std::string& path) {
    if (m_CheckedPath && path == *m_CheckedPath) {
        // Only ever the handle that was checked, rewound (the check read it through); once it
        // is closed the file cannot be opened again, as the path may name another file by now.
        if (m_CheckedImage.IsOpen()) {
            m_ImageFile = std::move(m_CheckedImage);
        }
        return InspectImage(m_ImageFile);
    }
    return InspectImage(path, m_ImageFile);
}

bool CUpdateEngine::ReportPermissionDenied() {
    if (m_Hid.LastOpenStatus() != zevrin::OpenStatus::PermissionDenied) {
        return false;
    }
    LogLine("OpenDevice: permission denied\n");
    m_View.MessageBox(LoadExtraText(OpenRefusedAdvice()), Title(), BoxKind::Failure);
    return true;
}

bool CUpdateEngine::ReportClaimed() {
    if (m_Hid.LastOpenStatus() != zevrin::OpenStatus::Claimed) {
        return false;
    }
    m_View.MessageBox(LoadExtraText(ExtraText::DeviceClaimed), Title(), BoxKind::Failure);
    return true;
}

namespace {

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

void CUpdateEngine::RunWorker() {
    SetOutcome(UpdateOutcome::Running);
    m_ImageComplete = false;
    m_HeaderSentThisRun = false;
    const int sent = SendShortMessage(m_Hid, MSG_ENTER_UPDATE, 0);
    if (sent == 0) {
        LogLine("send() failed with error code %d\n", static_cast<int>(zevrin::LastSystemError()));
        // Told, and the button given back below: a silent click that disables it helps nobody.
        OnWriteFailed();
    } else {
        LogLine("send() is OK!\n");
        LogLine("Bytes Sent: %d\n", sent);
    }

    uint8_t buffer[zevrin::kReportPayload] = {};
    Clock::time_point lastReport = Clock::now();
    // Since when reads have failed outright; epoch while they do not.
    Clock::time_point failingSince{};
    while (g_StopThread.load() == 0) {
        const uint32_t result = m_Hid.ReadHid(buffer, zevrin::kReportPayload);
        if (result == zevrin::kReadOk) {
            failingSince = {};
            LogLine(" %d Bytes received from sender\n", buffer[0]);
            DispatchFrame(buffer + 1, *this);
            // Only a frame the protocol knows is a sign of life: a device that sends nothing but
            // noise is as good as silent. Time spent in the file dialog or a box is the user's.
            if (IsProtocolFrame(buffer + 1)) {
                lastReport = Clock::now();
            }
        } else {
            LogLine("recv() failed with error code 0x%x\n", result);
            SendShortMessage(m_Hid, MSG_POLL, 0);
            if (g_StopThread.load() != 0) {
                break;
            }
            if (result == zevrin::kReadTimeout) {
                failingSince = {};
            } else if (failingSince == Clock::time_point{}) {
                failingSince = Clock::now();
            } else if (Clock::now() - failingSince >= m_Limits.deviceGone) {
                LogLine("Usb_UpdateThread: the device has gone\n");
                SetOutcome(UpdateOutcome::DeviceLost);
                FailureRoutine(LoadExtraText(ExtraText::DeviceUnplugged));
                break;
            }
            if (result != zevrin::kReadTimeout) {
                std::this_thread::sleep_for(kFailedReadPause);  // a dead handle fails at once
            }
        }
        if (g_StopThread.load() == 0 && Clock::now() - lastReport >= m_Limits.workerSilence) {
            LogLine("Usb_UpdateThread: no report from the device, giving up\n");
            SetOutcome(UpdateOutcome::DeviceSilent);
            FailureRoutine(LoadExtraText(ExtraText::DeviceStoppedAnswering));
            break;
        }
    }

    // A worker that was stopped from outside leaves no file open behind it, and nothing of its
    // transfer may act on a later data request (the version query, the next run).
    m_ImageFile.Close();
    m_CheckedImage.Close();
    m_CheckedPath.reset();
    m_HeaderSentThisRun = false;
    m_ImageComplete = false;
    g_UpdateStage = STAGE_COMPLETE;
    UpdateOutcome expected = UpdateOutcome::Running;
    m_Outcome.compare_exchange_strong(expected, UpdateOutcome::Interrupted);
    m_Hid.ReleaseClaim();
    RefreshUpdateButton();
    m_TransferHold.reset();
    LogLine("Exit Usb_UpdateThread\n");
}

void CUpdateEngine::RefreshUpdateButton() {
    m_UpdateButton.EnableWindow(m_Hid.FindDevice() != 0);
}

void CUpdateEngine::Interrupt() {
    UpdateOutcome expected = UpdateOutcome::Running;
    m_Outcome.compare_exchange_strong(expected, UpdateOutcome::Interrupted);
    g_StopThread = 1;
    m_Hid.CancelRead();
    m_Hid.CancelWrite();
}

void CUpdateEngine::StopRoutine() {
    m_ImageFile.Close();
    g_StopThread = 1;
}

void CUpdateEngine::FailureRoutine(const std::string& reason) {
    StopRoutine();
    std::string text = Format("%s\n", LoadLocalizedText(TextId::UpdateFailure).c_str());
    if (!reason.empty()) {
        text += reason + "\n";
    }
    m_View.MessageBox(text, Title(), BoxKind::Failure);
    if (m_Hid.DeviceFound() == 1) {
        m_UpdateButton.EnableWindow(true);
    }
}

void CUpdateEngine::OnDeviceInfo(const uint8_t* body, size_t /*length*/) {
    const uint32_t type = ReadLe32(body + kDeviceInfoTypeOffset);
    if (type == kFirmwareTypeGamepad || type == kFirmwareTypeGamepadAlt) {
        if (SelectFirmwareFile() == 0) {
            StopRoutine();
            UpdateOutcome expected = UpdateOutcome::Running;
            m_Outcome.compare_exchange_strong(expected, UpdateOutcome::Cancelled);
        }
        return;
    }
    StopRoutine();
    SetOutcome(UpdateOutcome::WrongFirmwareType);
    const std::string text = Format("%s\n", LoadLocalizedText(TextId::NotInBootMode).c_str());
    LogLine("%s", text.c_str());
    m_View.MessageBox(text, Title(), BoxKind::Failure);
}

void CUpdateEngine::OnFirstDataRequest() {
    if (!m_HeaderSentThisRun) {
        return;  // not asked for by this transfer
    }
    if (!m_ImageFile.Seek(kFirmwareHeaderSize)) {
        // The checked file is no longer open: the device would ask for ever.
        SetOutcome(UpdateOutcome::ImageRefused);
        FailureRoutine(LoadExtraText(ExtraText::FileReadError));
        return;
    }
    g_UpdateStage = STAGE_TRANSFER;
    const size_t n = m_ImageFile.Read(m_Chunk, kChunkSize);
    if (SendFirmwarePacket(m_Hid, CMD_FIRMWARE_DATA, m_Chunk, static_cast<int>(n)) == 0) {
        OnWriteFailed();
        return;
    }
    LogLine("update file is 0x%x\n", m_TotalLength.load());
    m_BytesSent += static_cast<uint32_t>(n);
}

void CUpdateEngine::OnNextDataRequest() {
    if (!m_HeaderSentThisRun) {
        return;
    }
    const size_t n = m_ImageFile.Read(m_Chunk, kChunkSize);
    const uint32_t total = m_TotalLength.load();
    if (n == 0 && m_BytesSent.load() < total) {
        // The file changed after it was checked: the device would ask forever.
        SetOutcome(UpdateOutcome::ImageRefused);
        FailureRoutine(LoadExtraText(ExtraText::FileReadError));
        return;
    }
    if (SendFirmwarePacket(m_Hid, CMD_FIRMWARE_DATA, m_Chunk, static_cast<int>(n)) == 0) {
        // Counting the chunk as sent would hand the device the next one at its next request.
        OnWriteFailed();
        return;
    }
    const uint32_t sentSoFar = m_BytesSent += static_cast<uint32_t>(n);
    LogLine("\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n\n", static_cast<int>(n), sentSoFar);
    if (total != 0) {
        m_ProgressBar.SetPos(ProgressPercent(sentSoFar, total));
    }
    if (sentSoFar < total) {
        return;
    }
    m_ImageFile.Close();
    LogLine("update successful\n");
    g_UpdateStage = STAGE_COMPLETE;
    m_ImageComplete = true;
    m_UpdateButton.EnableWindow(true);
}

void CUpdateEngine::OnDoneRequest() {
    if (!m_ImageComplete) {
        // Nothing was sent in this session: answering would report a success that did not happen.
        return;
    }
    m_ImageComplete = false;
    if (SendFirmwarePacket(m_Hid, CMD_UPDATE_DONE) == 0) {
        OnWriteFailed();
        return;
    }
    g_StopThread = 1;
    SetOutcome(UpdateOutcome::Success);
    m_View.MessageBox(Format("\n %s \n", LoadLocalizedText(TextId::Upgraded).c_str()), Title(),
                      BoxKind::Success);
    m_SuccessText.ShowWindow(true);
    m_ProgressBar.SetPos(0);
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

void CUpdateEngine::OnUpdateEvent(const uint8_t* body, size_t /*length*/) {
    switch (body[0]) {
        case SET_FIRMWARE_DATA:
            switch (g_UpdateStage.load()) {
                case STAGE_HEADER_SENT:
                    OnFirstDataRequest();
                    return;
                case STAGE_TRANSFER:
                    OnNextDataRequest();
                    return;
                case STAGE_COMPLETE:
                    OnDoneRequest();
                    return;
                default:
                    return;
            }
        case EVT_UPDATE_FAILED:
        case EVT_UPDATE_FAILED_2:
            SetOutcome(UpdateOutcome::DeviceFailed);
            FailureRoutine();
            return;
        case EVT_VERSION:
            OnVersionAnswer(body);
            return;
        default:
            return;
    }
}

void Usb_UpdateThread() {
    if (g_pUpdateDlg != nullptr) {
        g_pUpdateDlg->RunWorker();
    }
}
