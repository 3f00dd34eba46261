// The update engine: the image choice and confirmation, the worker with its stages and routines,
// and the version query. CUpdateDlg (UpdateDlg.h) derives from it and adds the window's reactions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "hid/CHid.h"
#include "session/SessionHold.h"
#include "update/DialogView.h"
#include "update/EngineTexts.h"
#include "update/FirmwareImage.h"
#include "update/Frames.h"
#include "update/Texts.h"

// Process-wide state shared by the UI thread and the worker.
extern std::atomic<int> g_StopThread;         // nonzero ends the worker's loop
extern std::atomic<int> g_UpdateStage;        // STAGE_*; 0 before the dialog's start-up
extern std::atomic<uint32_t> cur_devVersion;  // last version word reported, or a sentinel

class CUpdateEngine;
// The process-wide names of the one engine and its controls, for whoever knows the program by them.
// The engine itself works through its own members; the dialog sets these on start-up.
extern CUpdateEngine* g_pUpdateDlg;  // the one dialog object
extern ControlRef* g_pUpdateButton;
extern ControlRef* g_pProgressBar;
extern ControlRef* g_pSuccessText;

// Bounds that keep a silent or vanished device from holding a thread forever. Code parameters,
// not settings: tests use short ones.
struct EngineLimits {
    // The whole version query ends this long after it started, whatever the device sends.
    std::chrono::milliseconds versionQuery{2000};
    // The worker fails after this long without a single report from the device.
    std::chrono::milliseconds workerSilence{15000};
    // Reads that fail outright (not time-outs) for this long mean the device has gone.
    std::chrono::milliseconds deviceGone{1000};
};

// How the last worker ended, for callers that report it (the CLI's exit code).
enum class UpdateOutcome {
    None,  // no worker has run
    Running,
    Success,            // whole image sent and CMD_UPDATE_DONE written
    DeviceFailed,       // EVT_UPDATE_FAILED
    WrongFirmwareType,  // not in boot mode
    Cancelled,          // file dialog or confirmation cancelled, or the file could not be opened
    ImageRefused,       // the file cannot be sent
    DeviceSilent,       // no report within EngineLimits::workerSilence
    DeviceLost,         // unplugged or read handle gone
    SendFailed,         // a message, the header, image data or CMD_UPDATE_DONE was not written
    Interrupted,        // stopped from outside (closing the window, Ctrl-C)
};

class CUpdateEngine : public FrameHandlers {
  public:
    CUpdateEngine(zevrin::HidPort& port, DialogView& view);
    ~CUpdateEngine() override;
    CUpdateEngine(const CUpdateEngine&) = delete;
    CUpdateEngine& operator=(const CUpdateEngine&) = delete;

    CHid& Hid() { return m_Hid; }
    DialogView& View() { return m_View; }
    void SetLimits(const EngineLimits& limits) { m_Limits = limits; }

    // Image choice, header check and confirmation; 1 when the header went out.
    int SelectFirmwareFile();
    // The next worker sends from `file` when the image chosen is `path`: a file its caller opened
    // and checked itself (its digest, for one) before the gamepad heard anything. The path is not
    // opened again, so a file put there after the check is never sent; the handle stays open
    // until that worker ends. Call it before starting the worker.
    void UseCheckedImage(std::string path, ImageFile file);
    // Asks the device for its version and waits (bounded) for the answer, on the calling thread.
    // Only the answer is acted on; a call made while one runs (an event inside its box) is
    // remembered and run once the first has ended.
    void QueryDeviceVersion();
    // Whether the caption's version may belong to another gamepad than the one behind the path
    // now (a device came or went since it was asked).
    bool VersionStale() const { return m_VersionStale.load(); }
    // The body of Usb_UpdateThread.
    void RunWorker();
    // FindDevice, then enable the button if the gamepad is present.
    void RefreshUpdateButton();

    // Stops a running worker from outside (closing, Ctrl-C): its loop ends after the current
    // read, which is cut short. Does not wait.
    void Interrupt();

    void StopRoutine();
    // Ends the transfer and tells the user: text 7, then `reason` on its own line when given.
    void FailureRoutine(const std::string& reason = {});

    void OnDeviceInfo(const uint8_t* body, size_t length) override;
    void OnUpdateEvent(const uint8_t* body, size_t length) override;
    // EVT_VERSION: the version word at body offset 3.
    void OnVersionAnswer(const uint8_t* body);

    UpdateOutcome Outcome() const { return m_Outcome.load(); }
    uint32_t BytesSent() const { return m_BytesSent.load(); }
    uint32_t TotalLength() const { return m_TotalLength.load(); }
    std::string ImagePath() const;

  protected:
    // After a failed OpenDevice: tells the user when it was for lack of permission.
    bool ReportPermissionDenied();
    // After a failed OpenDevice: tells the user when another program has claimed the gamepad.
    bool ReportClaimed();
    void SetOutcome(UpdateOutcome outcome);
    void ResetTransferRecord();
    // The write of a header or data frame failed: the update cannot go on without shifting the
    // image, so it ends here as failed.
    void OnWriteFailed();
    // SET_FIRMWARE_DATA at each stage.
    bool StopCameFirst() const;
    void OnFirstDataRequest();
    void OnNextDataRequest();
    void MoveBar(uint32_t percent);
    void OnDoneRequest();

    CHid m_Hid;
    DialogView& m_View;
    EngineLimits m_Limits;
    // The controls the engine drives, in the view it was given.
    ControlRef m_UpdateButton;
    ControlRef m_ProgressBar;
    ControlRef m_SuccessText;

    // The transfer record.
    uint8_t m_Chunk[kChunkSize] = {};
    uint8_t m_HeaderBuffer[kFirmwareHeaderSize] = {};
    uint32_t m_ImageVersion = 0;
    std::atomic<uint32_t> m_TotalLength{0};
    std::atomic<uint32_t> m_BytesSent{0};
    // Where this transfer last put the bar (the worker's only).
    static constexpr uint32_t kNoBarShown = UINT32_MAX;
    uint32_t m_BarShown = kNoBarShown;
    // This worker sent the header: data requests before that (left over from an earlier run, or
    // arriving outside any update) must not send image bytes.
    std::atomic<bool> m_HeaderSentThisRun{false};
    // This worker sent the whole image: only then may a data request be answered with
    // CMD_UPDATE_DONE and success be reported.
    std::atomic<bool> m_ImageComplete{false};

    mutable std::mutex m_PathLock;
    std::string m_ImagePath;
    ImageFile m_ImageFile;
    // Handed over by UseCheckedImage, for the next worker only.
    std::optional<std::string> m_CheckedPath;
    ImageFile m_CheckedImage;
    std::atomic<UpdateOutcome> m_Outcome{UpdateOutcome::None};
    std::atomic<bool> m_VersionStale{false};

    // A read that fails at once (device gone) is not repeated faster than this.
    static constexpr std::chrono::milliseconds kFailedReadPause{10};

  private:
    // The worker's watch over silence and failing reads, whose bounds are hundreds of
    // milliseconds: a tick of the system's timer (a few ms) is precision enough. It is read once
    // per report, and where the kernel's clock source cannot be read from user space (a guest
    // under emulation, some virtual machines) the precise clock costs a system call each time.
    struct Clock {
        using duration = std::chrono::nanoseconds;
        using rep = duration::rep;
        using period = duration::period;
        using time_point = std::chrono::time_point<Clock>;
        static constexpr bool is_steady = true;
        static time_point now() noexcept;
    };
    // What the worker's loop watches to tell a silent or vanished device.
    struct DeviceWatch {
        Clock::time_point lastReport = Clock::now();
        // Since when reads have failed outright; epoch while they do not.
        Clock::time_point failingSince{};
    };
    // The worker's steps: asking the device into update mode, one report read, one failed read
    // (false when the loop ends), the silence check (true when it ended the transfer), the end.
    void EnterUpdateMode();
    // True when the report was a sign of life (lastReport is now).
    bool OnReport(const uint8_t* buffer, DeviceWatch& watch);
    bool OnReadFailed(uint32_t result, DeviceWatch& watch);
    bool GaveUpOnSilence(const DeviceWatch& watch);
    void EndWorker();

    void AskVersionOnce();
    // Opens and checks the chosen image into m_ImageFile, or takes the one handed over for it.
    ImageCheck OpenChosenImage(const std::string& path);
    bool m_QueryRunning = false;  // the UI thread's only
    bool m_QueryAgain = false;
    // Shutdown and sleep wait from the confirmed header to the worker's end (the worker's only).
    // Last: it goes first, before anything its stop could reach.
    std::unique_ptr<zevrin::SessionHold> m_TransferHold;
};

// The worker routine: runs g_pUpdateDlg->RunWorker().
void Usb_UpdateThread();
