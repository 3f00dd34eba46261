#include "update/UpdateEngine.h"

#include <cassert>
#include <filesystem>
#include <optional>
#include <system_error>
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

// Read time-out once the header has gone out: a silent device is poked about every 10 ms.
constexpr uint32_t kTransferReadTimeoutMs = 10;
// GetCurrentDirectoryW's buffer: a longer directory gives the file dialog none.
constexpr size_t kCurrentDirectoryChars = 256;

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
    if (!m_TransferHold) {
        // Confirmed: the header starts replacing the gamepad's firmware, so the hold is in place
        // before it goes. The choosing and the question are the user's time and hold nothing up;
        // the hold's own time (a bus call to logind) is spent before the header, where the
        // gamepad waits anyway, not between the header and the first chunk it asks for.
        m_TransferHold =
            zevrin::HoldSession({Title(), LoadExtraText(ExtraText::UpdateInProgress), [this] {
                                     Interrupt();
                                     m_View.CancelPrompts();
                                 }});
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
