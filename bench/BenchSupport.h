// A device that swallows every report, and windows that answer at once: what the benchmarks need
// so that only the host's own work is timed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "hid/HidPort.h"
#include "update/DialogView.h"

namespace zevrin::bench {

// One interface whose writes succeed without going anywhere and whose reads time out at once.
class NullPort final : public HidPort {
  public:
    static constexpr const char* kPath = "null";

    bool ScanFirst(const Accept&, std::string& path, std::unique_ptr<HidProbe>& probe) override {
        probe.reset();
        path = kPath;
        return true;
    }
    std::vector<HidInterface> ListAccepted(const Accept&) override {
        return {{kPath, 0x0483, 0x5750}};
    }
    std::unique_ptr<HidWriteHandle> OpenWrite(const std::string&, OpenStatus& status) override {
        status = OpenStatus::Ok;
        return std::make_unique<Writer>(m_Reports);
    }
    std::unique_ptr<HidReadHandle> OpenRead(const std::string&, OpenStatus& status) override {
        status = OpenStatus::Ok;
        return std::make_unique<Reader>();
    }
    std::unique_ptr<HidClaim> Claim(const std::string&, OpenStatus& status) override {
        status = OpenStatus::Ok;
        return std::make_unique<HidClaim>();
    }
    std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow&) override {
        return nullptr;
    }
    uint64_t Reports() const { return m_Reports.load(); }

  private:
    class Writer final : public HidWriteHandle {
      public:
        explicit Writer(std::atomic<uint64_t>& n) : m_N(n) {}
        bool Write(const uint8_t (&report)[kReportSize]) override {
            // Reading the report keeps the copy into it from being optimised away.
            m_N.fetch_add(1 + (report[1] & 0u), std::memory_order_relaxed);
            return true;
        }

      private:
        std::atomic<uint64_t>& m_N;
    };
    class Reader final : public HidReadHandle {
      public:
        uint32_t Read(uint8_t (&)[kReportPayload], uint32_t) override { return kReadTimeout; }
    };
    std::atomic<uint64_t> m_Reports{0};
};

// Answers every box with OK and the file dialog with one file; shows nothing.
class AnsweringView final : public DialogView {
  public:
    explicit AnsweringView(std::string file = {}) : m_File(std::move(file)) {}
    void SetCaption(const std::string&) override {}
    void SetControlText(ControlId, const std::string&) override {}
    void EnableControl(ControlId, bool) override {}
    void ShowControl(ControlId, bool) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(uint32_t) override { m_ProgressCalls++; }
    BoxResult MessageBox(const std::string&, const std::string&, BoxKind) override {
        return BoxResult::Ok;
    }
    std::optional<std::string> GetOpenFileName(const FileDialogRequest&) override {
        return m_File.empty() ? std::nullopt : std::optional<std::string>(m_File);
    }
    NotifyWindow NotifyTarget() override { return {}; }
    uint64_t ProgressCalls() const { return m_ProgressCalls.load(); }

  private:
    std::string m_File;
    std::atomic<uint64_t> m_ProgressCalls{0};
};

}  // namespace zevrin::bench
