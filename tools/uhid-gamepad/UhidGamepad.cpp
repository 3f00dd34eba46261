#include "UhidGamepad.h"

#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

namespace zevrin::uhid {

using namespace std::chrono_literals;

const std::vector<uint8_t> kReportDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8 bits)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (data, variable, absolute)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x91, 0x02,        //   Output (data, variable, absolute)
    0xC0,              // End Collection
};

namespace {

// How often the hidraw node is looked for between the kernel's start and its appearance.
constexpr auto kNodeLookInterval = 10ms;

std::string SystemError(const char* what, int code) {
    return std::string(what) + ": (" + std::to_string(code) + ") " + std::strerror(code);
}

int64_t Us(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

void CopyText(uint8_t* field, size_t size, const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));  // the event was zeroed
}

}  // namespace

std::string RecordText(const protocol::Recording& r) {
    const auto flag = [](bool b) { return b ? "1" : "0"; };
    return "enter_updates=" + std::to_string(r.enterUpdates) + "\n" +
           "version_requests=" + std::to_string(r.versionRequests) + "\n" +
           "polls=" + std::to_string(r.polls) + "\n" + "header_received=" + flag(r.headerReceived) +
           "\n" + "image_length=" + std::to_string(r.imageLength) + "\n" +
           "chunks=" + std::to_string(r.chunks) + "\n" + "done_received=" + flag(r.doneReceived) +
           "\n" + "done_after_whole_image=" + flag(r.doneAfterWholeImage) + "\n";
}

bool UhidGamepad::Write(const void* event, const char* what) {
    // /dev/uhid takes one whole event per write() and acts on it before returning.
    for (;;) {
        const ssize_t n = ::write(m_Fd, event, sizeof(uhid_event));
        if (n == static_cast<ssize_t>(sizeof(uhid_event))) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        m_Error = n < 0 ? SystemError(what, errno) : std::string(what) + ": short write";
        return false;
    }
}

bool UhidGamepad::Create(const Identity& identity) {
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    CopyText(ev.u.create2.name, sizeof ev.u.create2.name, identity.name);
    CopyText(ev.u.create2.phys, sizeof ev.u.create2.phys, std::string("zevrin-uhid-gamepad"));
    CopyText(ev.u.create2.uniq, sizeof ev.u.create2.uniq, identity.uniq);
    ev.u.create2.rd_size = static_cast<uint16_t>(kReportDescriptor.size());
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = identity.vendorId;
    ev.u.create2.product = identity.productId;
    std::memcpy(ev.u.create2.rd_data, kReportDescriptor.data(), kReportDescriptor.size());
    m_Created = Write(&ev, "UHID_CREATE2");
    return m_Created;
}

void UhidGamepad::Destroy() {
    if (!m_Created) {
        return;
    }
    m_Created = false;
    m_Due.clear();
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    Write(&ev, "UHID_DESTROY");
}

bool UhidGamepad::SendDue() {
    while (!m_Due.empty() && m_Due.front().first <= Clock::now()) {
        const protocol::InputReport& report = m_Due.front().second;
        uhid_event ev{};
        ev.type = UHID_INPUT2;
        ev.u.input2.size = static_cast<uint16_t>(report.bytes.size());
        std::memcpy(ev.u.input2.data, report.bytes.data(), report.bytes.size());
        if (!Write(&ev, "UHID_INPUT2")) {
            return false;
        }
        if (report.dataRequest) {
            m_RequestWrittenAt = Clock::now();
            m_RequestOut = true;
            if (m_UpdateFrom) {
                if (m_FirstRequestUs == 0) {
                    m_FirstRequestUs = Us(m_RequestWrittenAt - *m_UpdateFrom);
                }
                m_OverdueUs += Us(m_RequestWrittenAt - m_Due.front().first);
            }
        }
        m_Due.pop_front();
    }
    return true;
}

UhidGamepad::End UhidGamepad::Run(int stopFd, const std::function<bool()>& started) {
    bool nodeFound = false;
    for (;;) {
        if (!SendDue()) {
            return End::Failed;
        }
        // Sub-millisecond waits: a 1 ms answer must not become 2 ms by rounding.
        std::optional<Clock::duration> wait;
        if (!m_Due.empty()) {
            wait = std::max(Clock::duration::zero(), m_Due.front().first - Clock::now());
        }
        if (m_Started && !nodeFound) {
            wait = std::min(wait.value_or(kNodeLookInterval), Clock::duration(kNodeLookInterval));
        }
        timespec timeout{};
        if (wait) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        pollfd fds[2] = {{m_Fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const nfds_t count = stopFd >= 0 ? 2 : 1;
        if (::ppoll(fds, count, wait ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_Error = SystemError("ppoll", errno);
            return End::Failed;
        }
        // What the kernel queued before the stop is still taken in (the host's last report,
        // CMD_UPDATE_DONE, may be among it); answers not yet due are dropped.
        if (count == 2 && fds[1].revents != 0 && (fds[0].revents & POLLIN) == 0) {
            return End::Stopped;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uhid_event ev{};
            const ssize_t n = ::read(m_Fd, &ev, sizeof ev);
            const Clock::time_point readAt = Clock::now();
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                m_Error = n < 0 ? SystemError("read /dev/uhid", errno) : "/dev/uhid was closed";
                return End::Failed;
            }
            End end = End::Failed;
            if (!OnEvent(&ev, readAt, end)) {
                return end;
            }
        } else if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            m_Error = "/dev/uhid failed (poll revents " + std::to_string(fds[0].revents) + ")";
            return End::Failed;
        }
        if (m_Started && !nodeFound) {
            nodeFound = started();
        }
    }
}

bool UhidGamepad::OnEvent(const void* event, Clock::time_point readAt, End& end) {
    const auto& ev = *static_cast<const uhid_event*>(event);
    switch (ev.type) {
        case UHID_START:
            m_Started = true;
            break;
        case UHID_OUTPUT:
            if (ev.u.output.rtype == UHID_OUTPUT_REPORT) {
                OnOutput(ev.u.output.data, std::min<size_t>(ev.u.output.size, UHID_DATA_MAX),
                         readAt, end);
                if (!m_Created) {
                    return false;  // unplugged
                }
            }
            break;
        case UHID_GET_REPORT: {
            // The gamepad has no feature reports; an answer now spares the caller the kernel's
            // time-out.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            if (!Write(&reply, "UHID_GET_REPORT_REPLY")) {
                end = End::Failed;
                return false;
            }
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = ev.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            if (!Write(&reply, "UHID_SET_REPORT_REPLY")) {
                end = End::Failed;
                return false;
            }
            break;
        }
        default:  // UHID_STOP, UHID_OPEN, UHID_CLOSE: the device stays as it is
            break;
    }
    return true;
}

void UhidGamepad::OnOutput(const uint8_t* data, size_t size, Clock::time_point readAt, End& end) {
    // hidraw hands on exactly what was written: with no report ids declared, that is the report
    // id 0 byte and then the report, 65 bytes from hidapi. Anything shorter is padded with zeros.
    uint8_t report[kReportSize] = {};
    std::memcpy(report, data, std::min(size, kReportSize));
    const size_t enters = m_Gamepad.RecordingOf().enterUpdates;
    const bool done = m_Gamepad.RecordingOf().doneReceived;
    const protocol::Reaction reaction = m_Gamepad.OnOutputReport(report);
    // The update as the gamepad lives it: from the host's enter-update frame to its done frame.
    if (m_Gamepad.RecordingOf().enterUpdates > enters) {
        m_UpdateFrom = readAt;
    }
    if (!done && m_Gamepad.RecordingOf().doneReceived && m_UpdateFrom) {
        m_UpdateUs = Us(readAt - *m_UpdateFrom);
    }
    if (reaction.dataFrame && m_RequestOut) {
        m_Turnarounds.push_back(Us(readAt - m_RequestWrittenAt));
        m_RequestOut = false;
    }
    if (reaction.unplug) {
        Destroy();
        end = End::Unplugged;
        return;
    }
    for (const protocol::InputReport& input : reaction.input) {
        Clock::time_point at = readAt + input.delay;
        if (!m_Due.empty()) {
            at = std::max(at, m_Due.back().first);  // answers keep their order
        }
        m_Due.emplace_back(at, input);
    }
}

}  // namespace zevrin::uhid
