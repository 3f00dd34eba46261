#include "hid/sim/SimPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "update/Protocol.h"

namespace zevrin::sim {

using std::chrono::milliseconds;

struct SimPort::Device {
    int id = 0;
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool gamepad = false;
    bool plugged = true;
    uint64_t session = 1;  // handles opened in an earlier session are dead
    OpenStatus openStatus = OpenStatus::Ok;
    bool writeFails = false;
    FaultKind writeFault = FaultKind::None;  // WriteFail or WriteStall while it lasts
    GamepadBehaviour behaviour;
    bool faultFired = false;
    bool silenced = false;
    std::deque<std::pair<Clock::time_point, std::array<uint8_t, kReportPayload>>> input;
    std::vector<uint8_t> pending;  // a data frame split over several reports
    size_t pendingExpected = 0;
    Recording recording;
    int openHandles = 0;
    int readsInProgress = 0;
};

struct SimPort::Registration {
    std::mutex mutex;
    bool live = true;
    std::function<void(uint32_t)> post;
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

namespace {

std::vector<uint8_t> UpdateFrame(uint8_t code) {
    return {0x00, MSG_UPDATE, 0x01, 0x00, code};
}

std::vector<uint8_t> DeviceInfoFrame(uint32_t firmwareType) {
    std::vector<uint8_t> f(kFrameHeaderSize + kDeviceInfoBodySize, 0);
    f[1] = MSG_DEVICE_INFO;
    f[2] = static_cast<uint8_t>(kDeviceInfoBodySize);
    WriteLe32(f.data() + kFrameHeaderSize + kDeviceInfoTypeOffset, firmwareType);
    return f;
}

std::vector<uint8_t> VersionFrame(uint32_t version) {
    std::vector<uint8_t> f = {0x00, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 0x04, 0x00, 0, 0, 0, 0};
    WriteLe32(f.data() + 7, version);
    return f;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

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
    Device& d = Get(id);
    d.gamepad = true;
    d.behaviour = behaviour;
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
    {
        std::lock_guard lock(m_Mutex);
        Device& d = Get(id);
        if (d.plugged) {
            return;
        }
        d.plugged = true;
        d.silenced = false;
        d.faultFired = false;
        d.writeFault = FaultKind::None;
        d.pending.clear();
    }
    Post(kDeviceArrival);
}

void SimPort::Unplug(int id) {
    std::vector<uint32_t> events;
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

void SimPort::UnplugLocked(Device& d, std::vector<uint32_t>& events) {
    d.plugged = false;
    d.session++;
    d.input.clear();
    d.pending.clear();
    events.push_back(kDeviceRemoveComplete);
}

bool SimPort::IsPlugged(int id) const {
    std::lock_guard lock(m_Mutex);
    return Get(id).plugged;
}

void SimPort::RaiseNodesChanged() {
    Post(kDevNodesChanged);
}

void SimPort::SetOpenStatus(int id, OpenStatus status) {
    std::lock_guard lock(m_Mutex);
    Get(id).openStatus = status;
}

void SimPort::SetBehaviour(int id, const GamepadBehaviour& behaviour) {
    std::lock_guard lock(m_Mutex);
    Device& d = Get(id);
    d.behaviour = behaviour;
    d.faultFired = false;
    d.silenced = false;
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
        Queue(Get(id), frame, milliseconds(0));
    }
    m_Changed.notify_all();
}

Recording SimPort::RecordingOf(int id) const {
    std::lock_guard lock(m_Mutex);
    return Get(id).recording;
}

void SimPort::ClearRecording(int id) {
    std::lock_guard lock(m_Mutex);
    Get(id).recording = Recording{};
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

std::unique_ptr<HidNotification> SimPort::RegisterNotification(const NotifyWindow& window) {
    if (!window.post) {
        return nullptr;
    }
    auto reg = std::make_shared<Registration>();
    reg->post = window.post;
    std::lock_guard lock(m_Mutex);
    m_Registrations.push_back(reg);
    return std::make_unique<Notification>(*this, reg);
}

void SimPort::Post(uint32_t code) {
    PostAll({code});
}

void SimPort::PostAll(const std::vector<uint32_t>& events) {
    if (events.empty()) {
        return;
    }
    std::vector<std::shared_ptr<Registration>> regs;
    {
        std::lock_guard lock(m_Mutex);
        regs = m_Registrations;
    }
    for (uint32_t code : events) {
        for (auto& reg : regs) {
            std::lock_guard lock(reg->mutex);
            if (reg->live) {
                reg->post(code);
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
    std::vector<uint32_t> events;
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
        std::array<uint8_t, kReportSize> copy{};
        std::memcpy(copy.data(), report, kReportSize);
        d.recording.reports.push_back(copy);
        OnReport(d, report, events);
    }
    m_Changed.notify_all();
    PostAll(events);
    return true;
}

void SimPort::Queue(Device& d, const std::vector<uint8_t>& frame, milliseconds delay) {
    std::array<uint8_t, kReportPayload> payload{};
    const size_t n = std::min(frame.size(), kReportPayload - 1);
    payload[0] = static_cast<uint8_t>(n);
    std::copy_n(frame.begin(), n, payload.begin() + 1);
    Clock::time_point at = Clock::now() + delay;
    if (!d.input.empty()) {
        at = std::max(at, d.input.back().first);  // answers keep their order
    }
    d.input.emplace_back(at, payload);
}

void SimPort::OnReport(Device& d, const uint8_t (&report)[kReportSize],
                       std::vector<uint32_t>& events) {
    if (!d.gamepad) {
        return;
    }
    const size_t n = std::min<size_t>(report[1], kReportPayload - 1);
    const uint8_t* bytes = report + 2;
    if (d.pending.empty()) {
        if (n < kFrameHeaderSize || bytes[0] != 0x00) {
            return;  // not a frame this device understands
        }
        const size_t expected = kFrameHeaderSize + Le16(bytes + 2);
        if (expected <= n) {
            OnFrame(d, std::vector<uint8_t>(bytes, bytes + expected), events);
            return;
        }
        d.pending.assign(bytes, bytes + n);
        d.pendingExpected = expected;
        return;
    }
    d.pending.insert(d.pending.end(), bytes, bytes + n);
    if (d.pending.size() >= d.pendingExpected) {
        std::vector<uint8_t> frame(d.pending.begin(),
                                   d.pending.begin() + static_cast<long>(d.pendingExpected));
        d.pending.clear();
        OnFrame(d, frame, events);
    }
}

void SimPort::OnFrame(Device& d, const std::vector<uint8_t>& frame, std::vector<uint32_t>& events) {
    Recording& rec = d.recording;
    const uint8_t type = frame[1];
    const uint8_t* body = frame.data() + kFrameHeaderSize;
    const size_t bodyLength = frame.size() - kFrameHeaderSize;
    if (type == MSG_POLL) {
        rec.polls++;
        return;
    }
    if (d.silenced) {
        return;
    }
    if (type == MSG_ENTER_UPDATE) {
        rec.enterUpdates++;
        Answer(d, Moment::EnterUpdate, DeviceInfoFrame(d.behaviour.firmwareType), events);
        return;
    }
    if (type != MSG_UPDATE || bodyLength < 1) {
        return;
    }
    const uint8_t code = body[0];
    const size_t payloadLength = bodyLength >= 3 ? Le16(body + 1) : 0;
    const uint8_t* payload = body + 3;
    const size_t usable = bodyLength >= 3 ? std::min(payloadLength, bodyLength - 3) : 0;
    switch (code) {
        case CMD_GET_VERSION:
            rec.versionRequests++;
            if (d.behaviour.answersVersion) {
                Answer(d, Moment::GetVersion, VersionFrame(d.behaviour.version), events);
            }
            break;
        case CMD_FIRMWARE_HEADER:
            rec.headerReceived = true;
            rec.header.fill(0);
            std::memcpy(rec.header.data(), payload, std::min(usable, rec.header.size()));
            rec.imageLength = usable >= 12 ? ReadLe32(payload + 8) : 0;
            rec.received.clear();
            rec.chunks = 0;
            rec.doneReceived = false;
            rec.doneAfterWholeImage = false;
            Answer(d, Moment::Header, UpdateFrame(SET_FIRMWARE_DATA), events);
            break;
        case CMD_FIRMWARE_DATA: {
            rec.received.insert(rec.received.end(), payload, payload + usable);
            const size_t index = rec.chunks++;
            const size_t total =
                std::max<size_t>(1, (rec.imageLength + kChunkSize - 1) / kChunkSize);
            Moment moment = Moment::GetVersion;  // no fault moment of its own
            bool hasMoment = true;
            if (rec.received.size() >= rec.imageLength) {
                moment = Moment::AfterComplete;
            } else if (index == 0) {
                moment = Moment::FirstChunk;
            } else if (total >= 2 && index == total - 2) {
                moment = Moment::LastChunk;
            } else if (index == total / 2) {
                moment = Moment::MidTransfer;
            } else {
                hasMoment = false;
            }
            if (hasMoment) {
                Answer(d, moment, UpdateFrame(SET_FIRMWARE_DATA), events);
            } else {
                Queue(d, UpdateFrame(SET_FIRMWARE_DATA), d.behaviour.latency);
            }
            break;
        }
        case CMD_UPDATE_DONE:
            rec.doneReceived = true;
            rec.doneAfterWholeImage = rec.headerReceived && rec.received.size() >= rec.imageLength;
            break;
        default:
            break;
    }
}

void SimPort::Answer(Device& d, Moment moment, const std::vector<uint8_t>& frame,
                     std::vector<uint32_t>& events) {
    milliseconds delay = d.behaviour.latency;
    const Fault& fault = d.behaviour.fault;
    if (fault.kind != FaultKind::None && fault.moment == moment && !d.faultFired) {
        d.faultFired = true;
        switch (fault.kind) {
            case FaultKind::Silence:
                d.silenced = true;
                return;
            case FaultKind::Failed21:
                Queue(d, UpdateFrame(EVT_UPDATE_FAILED), delay);
                return;
            case FaultKind::Failed24:
                Queue(d, UpdateFrame(EVT_UPDATE_FAILED_2), delay);
                return;
            case FaultKind::Unplug:
                UnplugLocked(d, events);
                return;
            case FaultKind::Garbage: {
                std::vector<uint8_t> noise(63);
                for (size_t i = 0; i < noise.size(); ++i) {
                    noise[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
                }
                Queue(d, noise, delay);
                break;
            }
            case FaultKind::Malformed:
                Queue(d, {0x00, 0x04, 0xFF, 0xFF, 0x14}, delay);        // type 4
                Queue(d, {0x00, MSG_UPDATE, 0xFF, 0xFF, 0x77}, delay);  // unknown code
                Queue(d, {0x00, 0x42, 0x00, 0x00}, delay);              // unknown type
                Queue(d, {}, delay);                                    // empty report
                break;
            case FaultKind::Delay500:
                delay += milliseconds(500);
                break;
            case FaultKind::WriteFail:
            case FaultKind::WriteStall:
                d.writeFault = fault.kind;
                break;
            case FaultKind::None:
                break;
        }
    }
    Queue(d, frame, delay);
}

}  // namespace zevrin::sim
