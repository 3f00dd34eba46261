// zevrin-uhid-gamepad: a Zevrin gamepad in boot mode made through /dev/uhid, so the kernel's
// hidraw and udev, hidapi and zevrin-flash meet the real stack without the hardware. The
// real-stack bench runs it inside a QEMU guest; see UsageText() for the command line.
#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "HidrawNode.h"
#include "Options.h"
#include "UhidGamepad.h"

namespace {

using namespace zevrin;

constexpr const char* kProgram = "zevrin-uhid-gamepad";

void Complain(const std::string& what, int code) {
    std::cerr << kProgram << ": " << what << ": (" << code << ") " << std::strerror(code) << "\n";
}

// Whole or not at all: the bench may be waiting for the file to appear and reads it at once.
bool WriteFile(const std::string& path, const void* bytes, size_t size) {
    const std::string partial = path + ".partial";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Complain("open " + partial, errno);
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            Complain("write " + partial, errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(partial.c_str(), path.c_str()) != 0) {
        Complain("write " + path, errno);
        return false;
    }
    return true;
}

bool WriteText(const std::string& path, const std::string& text) {
    return path.empty() || WriteFile(path, text.data(), text.size());
}

// What the gamepad got and how fast the host answered, for the bench to judge.
bool WriteResults(const uhid::Options& options, const uhid::UhidGamepad& device,
                  const protocol::Recording& recording) {
    bool ok =
        WriteText(options.recordFile,
                  uhid::RecordText(recording) + "update_us=" + std::to_string(device.UpdateUs()) +
                      "\nfirst_request_us=" + std::to_string(device.FirstRequestUs()) +
                      "\noverdue_us=" + std::to_string(device.OverdueUs()) + "\n");
    if (!options.imageOutFile.empty()) {
        ok =
            WriteFile(options.imageOutFile, recording.received.data(), recording.received.size()) &&
            ok;
    }
    std::string lines;
    for (const int64_t us : device.TurnaroundsUs()) {
        lines += std::to_string(us) + "\n";
    }
    return WriteText(options.turnaroundFile, lines) && ok;
}

// The stop signals arrive as a readable descriptor, so the loop never dies between a write to
// /dev/uhid and its bookkeeping. -1 when that cannot be arranged.
int StopSignalDescriptor() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) {
        Complain("sigprocmask", errno);
        return -1;
    }
    const int stopFd = signalfd(-1, &stops, SFD_CLOEXEC);
    if (stopFd < 0) {
        Complain("signalfd", errno);
    }
    return stopFd;
}

// -1, with the likely reason told, when /dev/uhid cannot be opened.
int OpenUhid() {
    const int fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        Complain("open /dev/uhid", code);
        std::cerr << kProgram
                  << (code == ENOENT
                          ? ": the uhid module is not loaded (modprobe uhid, as root)\n"
                          : ": making HID devices needs root (or access to /dev/uhid)\n");
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = uhid::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<uhid::UsageError>(&parsed)) {
        std::cerr << kProgram << ": " << error->message << "\n" << uhid::UsageText();
        return 2;
    }
    const uhid::Options& options = std::get<uhid::Options>(parsed);
    if (options.help) {
        std::cout << uhid::UsageText();
        return 0;
    }

    const int stopFd = StopSignalDescriptor();
    if (stopFd < 0) {
        return 1;
    }
    const int fd = OpenUhid();
    if (fd < 0) {
        return 1;
    }

    uhid::Identity identity;
    identity.vendorId = options.vendorId;
    identity.productId = options.productId;
    identity.name = options.name;
    identity.uniq = "zevrin-uhid-" + std::to_string(::getpid());

    protocol::Gamepad gamepad(options.behaviour);
    uhid::UhidGamepad device(fd, gamepad);
    if (!device.Create(identity)) {
        std::cerr << kProgram << ": " << device.Error() << "\n";
        return 1;
    }
    const auto ready = [&] {
        if (options.readyFile.empty()) {
            return true;
        }
        const auto node = uhid::FindHidrawNode(identity.uniq);
        if (!node) {
            return false;
        }
        WriteText(options.readyFile, *node + "\n");
        return true;
    };
    const uhid::UhidGamepad::End end = device.Run(stopFd, ready);
    device.Destroy();
    if (end == uhid::UhidGamepad::End::Failed) {
        std::cerr << kProgram << ": " << device.Error() << "\n";
    }
    const bool written = WriteResults(options, device, gamepad.RecordingOf());
    ::close(fd);
    ::close(stopFd);
    return end != uhid::UhidGamepad::End::Failed && written ? 0 : 1;
}
