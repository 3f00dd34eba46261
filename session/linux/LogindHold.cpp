#include "session/linux/LogindHold.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hid/Log.h"

namespace zevrin {
namespace {

// The bus must never hold up the start of a transfer for long: sd-bus would wait 25 s by default.
constexpr uint64_t kCallTimeoutUs = 500'000;

class LogindHold final : public SessionHold {
  public:
    explicit LogindHold(int fd) : m_Fd(fd) {}
    LogindHold(const LogindHold&) = delete;
    LogindHold& operator=(const LogindHold&) = delete;
    // logind drops the lock when the last copy of the descriptor is closed.
    ~LogindHold() override { ::close(m_Fd); }

  private:
    int m_Fd;
};

}  // namespace

std::unique_ptr<SessionHold> HoldSessionWithLogind(const HoldRequest& request) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        LogLine("HoldSession: no system bus (%s)\n", std::strerror(-r));
        return nullptr;
    }
    (void)sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "shutdown:sleep", request.who.c_str(), request.why.c_str(), "block");
    int fd = -1;
    if (r < 0) {
        LogLine("HoldSession: logind refused the inhibitor (%s)\n",
                error.message != nullptr ? error.message : std::strerror(-r));
    } else if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) {
        LogLine("HoldSession: logind sent no inhibitor descriptor\n");
        fd = -1;
    } else {
        // The descriptor belongs to the reply, which goes below.
        fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<LogindHold>(fd);
}

}  // namespace zevrin
