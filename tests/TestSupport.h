// Shared pieces of the suites: a scripted DialogView, a log capture, image files in a folder of
// their own.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hid/Log.h"
#include "hid/sim/SimPort.h"
#include "protocol/Wire.h"
#include "update/DialogView.h"
#include "update/Texts.h"

namespace zevrin::test {

// Collects every diagnostic line while alive.
class LogCapture {
  public:
    LogCapture() : m_Store(std::make_shared<Store>()) {
        // The sink holds the store, not this object: a line still being written on another
        // thread when the capture ends lands in memory that is still alive.
        m_Previous = SetLogSink([store = m_Store](std::string_view line) {
            std::lock_guard lock(store->mutex);
            store->lines.emplace_back(line);
        });
    }
    ~LogCapture() { SetLogSink(m_Previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_Store->mutex);
        return m_Store->lines;
    }
    size_t Count(const std::string& line) const {
        const auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    bool Contains(const std::string& line) const { return Count(line) > 0; }

  private:
    struct Store {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Store> m_Store;
    LogSink m_Previous;
};

struct BoxShown {
    std::string text;
    std::string caption;
    BoxButtons buttons;
    BoxKind kind;
};

// A window that records what it was told and answers boxes and the file dialog from a script.
class FakeView : public DialogView {
  public:
    // What the controls show now.
    struct State {
        std::string caption;
        std::string buttonText;
        std::string successText;
        std::string instructions;
        bool buttonEnabled = true;  // a template button starts enabled
        bool successVisible = true;
        int rangeMin = 0;
        int rangeMax = 100;
        uint32_t progress = 0;
        std::vector<uint32_t> progressHistory;
        std::vector<std::string> captionHistory;
        std::vector<BoxShown> boxes;
        std::vector<FileDialogRequest> fileDialogs;
    };

    // Answers, in order; when empty, boxes answer OK and the file dialog gives `defaultFile`.
    void QueueBoxAnswer(BoxResult r) {
        std::lock_guard lock(m_Mutex);
        m_BoxAnswers.push_back(r);
    }
    void SetFile(std::optional<std::string> file) {
        std::lock_guard lock(m_Mutex);
        m_File = std::move(file);
    }
    // Runs on the calling (worker) thread when the file dialog opens / a box is shown.
    void OnFileDialog(std::function<void()> hook) {
        std::lock_guard lock(m_Mutex);
        m_FileHook = std::move(hook);
    }
    void OnBox(std::function<void(const BoxShown&)> hook) {
        std::lock_guard lock(m_Mutex);
        m_BoxHook = std::move(hook);
    }
    void SetNotifyTarget(NotifyWindow w) {
        std::lock_guard lock(m_Mutex);
        m_Notify = std::move(w);
    }

    State Snapshot() const {
        std::lock_guard lock(m_Mutex);
        return m_State;
    }
    bool PromptsCancelled() const {
        std::lock_guard lock(m_Mutex);
        return m_Cancelled;
    }
    // Every call the dialog made on this view so far.
    size_t Calls() const {
        std::lock_guard lock(m_Mutex);
        return m_Calls;
    }

    void SetCaption(const std::string& text) override {
        std::lock_guard lock(m_Mutex);
        ++m_Calls;
        m_State.caption = text;
        m_State.captionHistory.push_back(text);
    }
    void SetControlText(ControlId id, const std::string& text) override {
        std::lock_guard lock(m_Mutex);
        ++m_Calls;
        switch (id) {
            case ControlId::UpdateButton:
                m_State.buttonText = text;
                break;
            case ControlId::SuccessText:
                m_State.successText = text;
                break;
            case ControlId::Instructions:
                m_State.instructions = text;
                break;
            case ControlId::Progress:
                break;
        }
    }
    void EnableControl(ControlId id, bool enabled) override {
        std::lock_guard lock(m_Mutex);
        ++m_Calls;
        if (id == ControlId::UpdateButton) {
            m_State.buttonEnabled = enabled;
        }
    }
    void ShowControl(ControlId id, bool shown) override {
        std::lock_guard lock(m_Mutex);
        ++m_Calls;
        if (id == ControlId::SuccessText) {
            m_State.successVisible = shown;
        }
    }
    void SetProgressRange(int minimum, int maximum) override {
        std::lock_guard lock(m_Mutex);
        ++m_Calls;
        m_State.rangeMin = minimum;
        m_State.rangeMax = maximum;
    }
    void SetProgressPos(uint32_t position) override {
        std::lock_guard lock(m_Mutex);
        ++m_Calls;
        m_State.progress = position;
        m_State.progressHistory.push_back(position);
    }
    BoxResult MessageBox(const std::string& text, const std::string& caption,
                         BoxKind kind) override {
        std::function<void(const BoxShown&)> hook;
        BoxShown shown{text, caption, ButtonsOf(kind), kind};
        BoxResult answer = BoxResult::Ok;
        {
            std::lock_guard lock(m_Mutex);
            ++m_Calls;
            m_State.boxes.push_back(shown);
            if (m_Cancelled) {
                return BoxResult::Cancel;
            }
            if (!m_BoxAnswers.empty()) {
                answer = m_BoxAnswers.front();
                m_BoxAnswers.pop_front();
            }
            hook = m_BoxHook;
        }
        if (hook) {
            hook(shown);
        }
        std::lock_guard lock(m_Mutex);
        return m_Cancelled ? BoxResult::Cancel : answer;
    }
    std::optional<std::string> GetOpenFileName(const FileDialogRequest& request) override {
        std::function<void()> hook;
        std::optional<std::string> file;
        {
            std::lock_guard lock(m_Mutex);
            ++m_Calls;
            m_State.fileDialogs.push_back(request);
            if (m_Cancelled) {
                return std::nullopt;
            }
            hook = m_FileHook;
            file = m_File;
        }
        if (hook) {
            hook();
        }
        std::lock_guard lock(m_Mutex);
        return m_Cancelled ? std::nullopt : file;  // a prompt abandoned while it was open
    }
    NotifyWindow NotifyTarget() override {
        std::lock_guard lock(m_Mutex);
        return m_Notify;
    }
    void CancelPrompts() override {
        std::lock_guard lock(m_Mutex);
        m_Cancelled = true;
    }

  private:
    mutable std::mutex m_Mutex;
    State m_State;
    std::deque<BoxResult> m_BoxAnswers;
    std::optional<std::string> m_File;
    std::function<void()> m_FileHook;
    std::function<void(const BoxShown&)> m_BoxHook;
    NotifyWindow m_Notify;
    bool m_Cancelled = false;
    size_t m_Calls = 0;
};

// English texts while alive, whatever language the machine speaks.
class EnglishTexts {
  public:
    EnglishTexts() {
        SetTextSource({[] { return uint16_t{1033}; }, {}});
    }
    ~EnglishTexts() { SetTextSource({}); }
    EnglishTexts(const EnglishTexts&) = delete;
    EnglishTexts& operator=(const EnglishTexts&) = delete;
};

// Polls `done` until it holds or `limit` passes.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The output report as bytes, for comparing with what the device recorded.
inline std::vector<uint8_t> Bytes(const std::array<uint8_t, kReportSize>& r, size_t n) {
    return {r.begin(), r.begin() + static_cast<long>(n)};
}

// A folder of its own for one test's files, removed afterwards.
class TempDir {
  public:
    TempDir() {
        static std::atomic<int> counter{0};
        m_Path = std::filesystem::temp_directory_path() /
                 ("zevrin-test-" + std::to_string(counter++) + "-" +
                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(m_Path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes the file and returns its path.
    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const auto p = m_Path / name;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    // The same, the path in UTF-8.
    std::string File(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::u8string u8 = Write(name, bytes).u8string();
        return {u8.begin(), u8.end()};
    }
    std::filesystem::path Path() const { return m_Path; }

  private:
    std::filesystem::path m_Path;
};

// Image data that does not repeat every 256 bytes, so a chunk sent twice or out of order shows.
inline std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 8));
    }
    return bytes;
}

// An image file's bytes: the 28-byte header (version, parameter, declared length, 16 zero bytes),
// then `data`.
inline std::vector<uint8_t> ImageBytes(uint32_t desVersion, uint32_t imageParam,
                                       uint32_t imageLength, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b(kFirmwareHeaderSize + data.size(), 0);
    WriteLe32(b.data(), desVersion);
    WriteLe32(b.data() + 4, imageParam);
    WriteLe32(b.data() + 8, imageLength);
    std::copy(data.begin(), data.end(), b.begin() + kFirmwareHeaderSize);
    return b;
}
inline std::vector<uint8_t> ImageBytes(uint32_t desVersion, uint32_t imageParam,
                                       uint32_t imageLength, size_t dataBytes) {
    return ImageBytes(desVersion, imageParam, imageLength, Pattern(dataBytes));
}
// An image whose header declares exactly its data.
inline std::vector<uint8_t> ImageBytes(uint32_t desVersion, const std::vector<uint8_t>& data) {
    return ImageBytes(desVersion, 0x00010203, static_cast<uint32_t>(data.size()), data);
}
// The image's data, without its header.
inline std::vector<uint8_t> ImageData(const std::vector<uint8_t>& image) {
    return {image.begin() + kFirmwareHeaderSize, image.end()};
}

}  // namespace zevrin::test
