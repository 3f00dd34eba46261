#include "hid/sim/SimPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zevrin::sim {

using std::chrono::milliseconds;

struct SimPort::Device {
    int id = 0;
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::optional<protocol::Gamepad> gamepad;  // absent: an interface that never answers
    Recording plain;                           // what an interface that is no gamepad was sent
    bool plugged = true;
    uint64_t session = 1;  // handles opened in an earlier session are dead
    OpenStatus openStatus = OpenStatus::Ok;
    bool writeFails = false;
    FaultKind writeFault = FaultKind::None;  // WriteFail or WriteStall while it lasts
    std::deque<std::pair<Clock::time_point, std::array<uint8_t, kReportPayload>>> input;
    int openHandles = 0;
    int readsInProgress = 0;
};

struct SimPort::Registration {
    std::mutex mutex;
    bool live = true;
    std::function<void(uint32_t)> post;
    std::function<void(const DeviceEvent&)> postEvent;
};

class SimPort::Notification final : public HidNotification {
  public:
    Notification(SimPort& port, std::shared_ptr<Registration> reg)
        : m_Port(port), m_Reg(std::move(reg)) {}
    ~Notification() override {
        {
            // Waits for a post in flight, so the window is never called after unregistering.
            std::lock_guard lock(m_Reg->mutex);
            m_Reg->live = false;
        }
        std::lock_guard lock(m_Port.m_Mutex);
        auto& regs = m_Port.m_Registrations;
        regs.erase(std::remove(regs.begin(), regs.end(), m_Reg), regs.end());
    }

  private:
    SimPort& m_Port;
    std::shared_ptr<Registration> m_Reg;
};

class SimPort::PathClaim final : public HidClaim {
  public:
    PathClaim(SimPort& port, std::string path) : m_Port(port), m_Path(std::move(path)) {}
    ~PathClaim() override {
        std::lock_guard lock(m_Port.m_Mutex);
        m_Port.m_Claimed.erase(m_Path);
    }
    PathClaim(const PathClaim&) = delete;
    PathClaim& operator=(const PathClaim&) = delete;

  private:
    SimPort& m_Port;
    const std::string m_Path;
};

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

SimPort::SimPort() = default;

SimPort::~SimPort() = default;

int SimPort::AddInterface(std::string path, uint16_t vendorId, uint16_t productId) {
    std::lock_guard lock(m_Mutex);
    auto d = std::make_unique<Device>();
    d->id = m_NextId++;
    d->path = std::move(path);
    d->vendorId = vendorId;
    d->productId = productId;
    const int id = d->id;
    m_Devices.emplace(id, std::move(d));
    return id;
}

int SimPort::AddGamepad(std::string path, GamepadBehaviour behaviour, uint16_t vendorId,
                        uint16_t productId) {
    const int id = AddInterface(std::move(path), vendorId, productId);
    std::lock_guard lock(m_Mutex);
    Get(id).gamepad.emplace(behaviour);
    return id;
}

SimPort::Device& SimPort::Get(int id) {
    auto it = m_Devices.find(id);
    if (it == m_Devices.end()) {
        throw std::out_of_range("no simulated interface with this id");
    }
    return *it->second;
}

const SimPort::Device& SimPort::Get(int id) const {
    return const_cast<SimPort*>(this)->Get(id);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
}

void SimPort::HandleClosed(int id) noexcept {
    std::lock_guard lock(m_Mutex);
    const auto it = m_Devices.find(id);
    if (it != m_Devices.end()) {
        it->second->openHandles--;
    }
}

SimPort::Device* SimPort::FindByPath(const std::string& path) {
    for (auto& [id, d] : m_Devices) {
        if (d->plugged && d->path == path) {
            return d.get();
        }
    }
    return nullptr;
}

void SimPort::Plug(int id) {
    std::string path;
    {
        std::lock_guard lock(m_Mutex);
        Device& d = Get(id);
        if (d.plugged) {
            return;
        }
        d.plugged = true;
        d.writeFault = FaultKind::None;
        if (d.gamepad) {
            d.gamepad->Replugged();
        }
        path = d.path;
    }
    PostAll({{kDeviceArrival, path}});
}

void SimPort::Unplug(int id) {
    std::vector<DeviceEvent> events;
    {
        std::lock_guard lock(m_Mutex);
        Device& d = Get(id);
        if (!d.plugged) {
            return;
        }
        UnplugLocked(d, events);
    }
    m_Changed.notify_all();
    PostAll(events);
}

void SimPort::UnplugLocked(Device& d, std::vector<DeviceEvent>& events) {
    d.plugged = false;
    d.session++;
    d.input.clear();
    events.push_back({kDeviceRemoveComplete, d.path});
}

bool SimPort::IsPlugged(int id) const {
    std::lock_guard lock(m_Mutex);
    return Get(id).plugged;
}

void SimPort::RaiseNodesChanged() {
    PostAll({{kDevNodesChanged, {}}});
}

void SimPort::SetOpenStatus(int id, OpenStatus status) {
    std::lock_guard lock(m_Mutex);
    Get(id).openStatus = status;
}

void SimPort::SetBehaviour(int id, const GamepadBehaviour& behaviour) {
    std::lock_guard lock(m_Mutex);
    Device& d = Get(id);
    if (d.gamepad) {
        d.gamepad->SetBehaviour(behaviour);
    }
    d.writeFault = FaultKind::None;
}

void SimPort::SetWriteFault(int id, FaultKind kind) {
    {
        std::lock_guard lock(m_Mutex);
        Get(id).writeFault = kind;
    }
    m_Changed.notify_all();
}

void SimPort::SetWriteFails(int id, bool fails) {
    std::lock_guard lock(m_Mutex);
    Get(id).writeFails = fails;
}

void SimPort::InjectInput(int id, const std::array<uint8_t, kReportPayload>& payload) {
    {
        std::lock_guard lock(m_Mutex);
        Device& d = Get(id);
        const Clock::time_point at =
            d.input.empty() ? Clock::now() : std::max(Clock::now(), d.input.back().first);
        d.input.emplace_back(at, payload);
    }
    m_Changed.notify_all();
}

void SimPort::InjectFrame(int id, const std::vector<uint8_t>& frame) {
    {
        std::lock_guard lock(m_Mutex);
        Queue(Get(id), protocol::ToInputReport(frame));
    }
    m_Changed.notify_all();
}

Recording SimPort::RecordingOf(int id) const {
    std::lock_guard lock(m_Mutex);
    const Device& d = Get(id);
    return d.gamepad ? d.gamepad->RecordingOf() : d.plain;
}

void SimPort::ClearRecording(int id) {
    std::lock_guard lock(m_Mutex);
    Device& d = Get(id);
    if (d.gamepad) {
        d.gamepad->ClearRecording();
    }
    d.plain = Recording{};
}

int SimPort::OpenHandles(int id) const {
    std::lock_guard lock(m_Mutex);
    return Get(id).openHandles;
}

int SimPort::ReadsInProgress(int id) const {
    std::lock_guard lock(m_Mutex);
    return Get(id).readsInProgress;
}

bool SimPort::ScanFirst(const Accept& accept, std::string& path, std::unique_ptr<HidProbe>& probe) {
    std::lock_guard lock(m_Mutex);
    probe.reset();
    for (auto& [id, d] : m_Devices) {
        if (d->plugged && accept(d->vendorId, d->productId)) {
            path = d->path;
            return true;
        }
    }
    return false;
}

std::vector<HidInterface> SimPort::ListAccepted(const Accept& accept) {
    std::lock_guard lock(m_Mutex);
    std::vector<HidInterface> out;
    for (auto& [id, d] : m_Devices) {
        if (d->plugged && accept(d->vendorId, d->productId)) {
            out.push_back({d->path, d->vendorId, d->productId});
        }
    }
    return out;
}

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

std::unique_ptr<HidClaim> SimPort::Claim(const std::string& path, OpenStatus& status) {
    std::lock_guard lock(m_Mutex);
    const Device* d = FindByPath(path);
    if (d == nullptr) {
        status = OpenStatus::NotFound;
        return nullptr;
    }
    // SetOpenStatus(Claimed) stands for a program outside this process holding it.
    if (d->openStatus == OpenStatus::Claimed || !m_Claimed.insert(path).second) {
        status = OpenStatus::Claimed;
        return nullptr;
    }
    status = OpenStatus::Ok;
    return std::make_unique<PathClaim>(*this, path);
}

std::unique_ptr<HidNotification> SimPort::RegisterNotification(const NotifyWindow& window) {
    if (!window.post) {
        return nullptr;
    }
    auto reg = std::make_shared<Registration>();
    reg->post = window.post;
    reg->postEvent = window.postEvent;
    std::lock_guard lock(m_Mutex);
    m_Registrations.push_back(reg);
    return std::make_unique<Notification>(*this, reg);
}

void SimPort::PostAll(const std::vector<DeviceEvent>& events) {
    if (events.empty()) {
        return;
    }
    std::vector<std::shared_ptr<Registration>> regs;
    {
        std::lock_guard lock(m_Mutex);
        regs = m_Registrations;
    }
    for (const DeviceEvent& event : events) {
        for (auto& reg : regs) {
            std::lock_guard lock(reg->mutex);
            if (!reg->live) {
                continue;
            }
            if (reg->postEvent) {
                reg->postEvent(event);
            } else {
                reg->post(event.code);
            }
        }
    }
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
            Carry(d, d.gamepad->OnOutputReport(report), events);
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
