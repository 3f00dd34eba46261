#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "hid/sim/SimDevice.h"
#include "hid/sim/SimPort.h"

namespace zevrin::sim {

using std::chrono::milliseconds;

class SimPort::Writer final : public HidWriteHandle {
  public:
    Writer(SimPort& port, int id, uint64_t session) : m_Port(port), m_Id(id), m_Session(session) {}
    ~Writer() override { m_Port.HandleClosed(m_Id); }
    bool Write(const uint8_t (&report)[kReportSize]) override {
        return m_Port.Write(m_Id, m_Session, report, m_Cancelled);
    }
    void Cancel() override {
        {
            std::lock_guard lock(m_Port.m_Mutex);
            m_Cancelled = true;
        }
        m_Port.m_Changed.notify_all();
    }

  private:
    SimPort& m_Port;
    int m_Id;
    uint64_t m_Session;
    std::atomic<bool> m_Cancelled{false};
};

class SimPort::Reader final : public HidReadHandle {
  public:
    Reader(SimPort& port, int id, uint64_t session) : m_Port(port), m_Id(id), m_Session(session) {}
    ~Reader() override { m_Port.HandleClosed(m_Id); }
    uint32_t Read(uint8_t (&payload)[kReportPayload], uint32_t timeoutMs) override {
        return m_Port.Read(m_Id, m_Session, payload, timeoutMs, m_Cancelled);
    }
    void Cancel() override {
        {
            std::lock_guard lock(m_Port.m_Mutex);
            m_Cancelled = true;
        }
        m_Port.m_Changed.notify_all();
    }

  private:
    SimPort& m_Port;
    int m_Id;
    uint64_t m_Session;
    std::atomic<bool> m_Cancelled{false};
};
std::unique_ptr<HidWriteHandle> SimPort::OpenWrite(const std::string& path, OpenStatus& status) {
    std::lock_guard lock(m_Mutex);
    Device* d = FindByPath(path);
    if (d == nullptr) {
        status = OpenStatus::NotFound;
        return nullptr;
    }
    status = d->openStatus;
    if (status != OpenStatus::Ok) {
        return nullptr;
    }
    d->openHandles++;
    return std::make_unique<Writer>(*this, d->id, d->session);
}

std::unique_ptr<HidReadHandle> SimPort::OpenRead(const std::string& path, OpenStatus& status) {
    std::lock_guard lock(m_Mutex);
    Device* d = FindByPath(path);
    if (d == nullptr) {
        status = OpenStatus::NotFound;
        return nullptr;
    }
    status = d->openStatus;
    if (status != OpenStatus::Ok) {
        return nullptr;
    }
    d->openHandles++;
    return std::make_unique<Reader>(*this, d->id, d->session);
}
uint32_t SimPort::Read(int id, uint64_t session, uint8_t (&payload)[kReportPayload],
                       uint32_t timeoutMs, std::atomic<bool>& cancelled) {
    std::unique_lock lock(m_Mutex);
    Device& d = Get(id);
    d.readsInProgress++;
    const Clock::time_point deadline = Clock::now() + milliseconds(timeoutMs);
    uint32_t result = kReadTimeout;
    for (;;) {
        if (!d.plugged || d.session != session) {
            result = kReadFailed;  // the device has gone: the read fails at once, as on hidraw
            break;
        }
        if (cancelled.exchange(false)) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (!d.input.empty() && d.input.front().first <= now) {
            std::memcpy(payload, d.input.front().second.data(), kReportPayload);
            d.input.pop_front();
            result = kReadOk;
            break;
        }
        if (now >= deadline) {
            break;
        }
        Clock::time_point wake = deadline;
        if (!d.input.empty()) {
            wake = std::min(wake, d.input.front().first);
        }
        m_Changed.wait_until(lock, wake);
    }
    d.readsInProgress--;
    return result;
}

bool SimPort::Write(int id, uint64_t session, const uint8_t (&report)[kReportSize],
                    std::atomic<bool>& cancelled) {
    std::vector<DeviceEvent> events;
    {
        std::unique_lock lock(m_Mutex);
        Device& d = Get(id);
        cancelled = false;  // a Cancel reaches only the write in progress
        const auto gone = [&] { return !d.plugged || d.session != session; };
        if (d.writeFault == FaultKind::WriteStall) {
            // The device never takes the report: the write lasts until its bound, a cancel, or
            // the device going away, and then it has failed.
            m_Changed.wait_for(lock, milliseconds(kWriteTimeoutMs), [&] {
                return cancelled.load() || gone() || d.writeFault != FaultKind::WriteStall;
            });
            return false;
        }
        if (gone() || d.writeFails || d.writeFault == FaultKind::WriteFail) {
            return false;
        }
        if (d.gamepad) {
            const protocol::Reaction reaction = d.gamepad->OnOutputReport(report);
            Carry(d, reaction, events);
            if (reaction.dataFrame && d.unplugAfterChunks != 0 && d.plugged &&
                d.gamepad->RecordingOf().chunks >= d.unplugAfterChunks) {
                d.unplugAfterChunks = 0;
                UnplugLocked(d, events);  // its request for the next chunk goes with it
            }
        } else {
            std::array<uint8_t, kReportSize> copy{};
            std::memcpy(copy.data(), report, kReportSize);
            d.plain.reports.push_back(copy);
        }
    }
    m_Changed.notify_all();
    PostAll(events);
    return true;
}

void SimPort::Carry(Device& d, const protocol::Reaction& reaction,
                    std::vector<DeviceEvent>& events) {
    if (reaction.unplug) {
        UnplugLocked(d, events);
        return;
    }
    for (const protocol::InputReport& report : reaction.input) {
        Queue(d, report);
    }
    if (reaction.writeFault != FaultKind::None) {
        d.writeFault = reaction.writeFault;
    }
}

void SimPort::Queue(Device& d, const protocol::InputReport& report) {
    Clock::time_point at = Clock::now() + report.delay;
    if (!d.input.empty()) {
        at = std::max(at, d.input.back().first);  // answers keep their order
    }
    d.input.emplace_back(at, report.bytes);
}

}  // namespace zevrin::sim
