#include "hid/sim/SimPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "hid/sim/SimDevice.h"

namespace zevrin::sim {

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
SimPort::SimPort() = default;

SimPort::~SimPort() {
    {
        std::lock_guard lock(m_Mutex);
        m_Closing = true;
    }
    m_Changed.notify_all();
    if (m_Arrivals.joinable()) {
        m_Arrivals.join();
    }
}

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
    PlugAll({id});
}

void SimPort::PlugAll(const std::vector<int>& ids) {
    std::vector<DeviceEvent> events;
    {
        std::lock_guard lock(m_Mutex);
        for (const int id : ids) {
            Device& d = Get(id);
            if (d.plugged) {
                continue;
            }
            d.plugged = true;
            d.writeFault = FaultKind::None;
            if (d.gamepad) {
                d.gamepad->Replugged();
            }
            events.push_back({kDeviceArrival, d.path});
        }
    }
    PostAll(events);
}

void SimPort::PlugAllAfter(std::vector<int> ids, std::chrono::milliseconds delay) {
    if (m_Arrivals.joinable()) {
        throw std::logic_error("the simulated port plugs in one set of arrivals");
    }
    m_Arrivals = std::thread([this, ids = std::move(ids), due = Clock::now() + delay] {
        {
            std::unique_lock lock(m_Mutex);
            if (m_Changed.wait_until(lock, due, [this] { return m_Closing; })) {
                return;
            }
        }
        PlugAll(ids);
    });
}

void SimPort::UnplugAfterChunks(int id, size_t chunks) {
    std::lock_guard lock(m_Mutex);
    Get(id).unplugAfterChunks = chunks;
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
}  // namespace zevrin::sim
