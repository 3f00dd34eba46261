#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>

namespace zevrin::uhid {
namespace {

using protocol::FaultKind;
using protocol::Moment;

// Only what a uhid device can act out: it cannot refuse or stall the kernel's writes.
constexpr std::pair<std::string_view, FaultKind> kFaultKinds[] = {
    {"silence", FaultKind::Silence},   {"failed21", FaultKind::Failed21},
    {"failed24", FaultKind::Failed24}, {"unplug", FaultKind::Unplug},
    {"garbage", FaultKind::Garbage},   {"malformed", FaultKind::Malformed},
    {"delay500", FaultKind::Delay500},
};

constexpr std::pair<std::string_view, Moment> kMoments[] = {
    {"enter-update", Moment::EnterUpdate}, {"header", Moment::Header},
    {"first-chunk", Moment::FirstChunk},   {"mid-transfer", Moment::MidTransfer},
    {"last-chunk", Moment::LastChunk},     {"after-complete", Moment::AfterComplete},
    {"get-version", Moment::GetVersion},
};

template <typename T, size_t N>
std::optional<T> Lookup(const std::pair<std::string_view, T> (&table)[N], std::string_view name) {
    for (const auto& [key, value] : table) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

// base 0 takes 0x… as hex and anything else as decimal; a leading 0 is not octal here.
std::optional<uint64_t> Number(const std::string& text, uint64_t max, int base) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return std::nullopt;
    }
    if (base == 0 && !(text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))) {
        base = 10;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0' || v > max) {
        return std::nullopt;
    }
    return v;
}

std::optional<uint16_t> Id(const std::string& text) {
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
    }
    const auto v = Number(std::string(digits), 0xFFFF, 16);
    return v ? std::optional<uint16_t>(static_cast<uint16_t>(*v)) : std::nullopt;
}

std::optional<protocol::Fault> ParseFault(const std::string& text) {
    const size_t at = text.find('@');
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const auto kind = Lookup(kFaultKinds, std::string_view(text).substr(0, at));
    const auto moment = Lookup(kMoments, std::string_view(text).substr(at + 1));
    if (!kind || !moment) {
        return std::nullopt;
    }
    return protocol::Fault{*kind, *moment};
}

// Each handler returns an empty text when the value was taken, else why not.
using Handler = std::function<std::string(Options&, const std::string&)>;

struct OptionEntry {
    std::string_view name;
    bool takesValue;
    Handler apply;
};

const OptionEntry kOptions[] = {
    {"--vid", true,
     [](Options& o, const std::string& v) {
         const auto id = Id(v);
         o.vendorId = id.value_or(o.vendorId);
         return id ? "" : "--vid takes 4 hex digits, not '" + v + "'";
     }},
    {"--pid", true,
     [](Options& o, const std::string& v) {
         const auto id = Id(v);
         o.productId = id.value_or(o.productId);
         return id ? "" : "--pid takes 4 hex digits, not '" + v + "'";
     }},
    {"--name", true,
     [](Options& o, const std::string& v) {
         o.name = v;
         return std::string(v.empty() || v.size() >= 128 ? "--name takes 1 to 127 bytes" : "");
     }},
    {"--version", true,
     [](Options& o, const std::string& v) {
         const auto n = Number(v, 0xFFFFFFFF, 0);
         o.behaviour.version = static_cast<uint32_t>(n.value_or(0));
         return n ? "" : "--version takes a 32-bit word, decimal or 0x-hex, not '" + v + "'";
     }},
    {"--no-version", false,
     [](Options& o, const std::string&) {
         o.behaviour.answersVersion = false;
         return std::string();
     }},
    {"--type", true,
     [](Options& o, const std::string& v) {
         const auto n = Number(v, 0xFFFFFFFF, 0);
         o.behaviour.firmwareType = static_cast<uint32_t>(n.value_or(0));
         return n ? "" : "--type takes a 32-bit number, not '" + v + "'";
     }},
    {"--fault", true,
     [](Options& o, const std::string& v) {
         if (o.behaviour.fault.kind != FaultKind::None) {
             return std::string("--fault can be given once");
         }
         const auto fault = ParseFault(v);
         o.behaviour.fault = fault.value_or(protocol::Fault{});
         return fault ? "" : "--fault takes KIND@MOMENT (see --help), not '" + v + "'";
     }},
    {"--latency", true,
     [](Options& o, const std::string& v) {
         const auto n = Number(v, 60'000, 10);
         o.behaviour.latency = std::chrono::milliseconds(n.value_or(0));
         return n ? "" : "--latency takes milliseconds, 0 to 60000, not '" + v + "'";
     }},
    {"--ready", true,
     [](Options& o, const std::string& v) {
         o.readyFile = v;
         return std::string();
     }},
    {"--record", true,
     [](Options& o, const std::string& v) {
         o.recordFile = v;
         return std::string();
     }},
    {"--image-out", true,
     [](Options& o, const std::string& v) {
         o.imageOutFile = v;
         return std::string();
     }},
    {"--turnaround", true,
     [](Options& o, const std::string& v) {
         o.turnaroundFile = v;
         return std::string();
     }},
    {"--help", false,
     [](Options& o, const std::string&) {
         o.help = true;
         return std::string();
     }},
};

}  // namespace

std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args) {
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const OptionEntry* option = nullptr;
        for (const OptionEntry& s : kOptions) {
            if (s.name == args[i]) {
                option = &s;
            }
        }
        if (option == nullptr) {
            return UsageError{"unknown argument '" + args[i] + "'"};
        }
        std::string value;
        if (option->takesValue) {
            if (i + 1 >= args.size()) {
                return UsageError{std::string(option->name) + " needs a value"};
            }
            value = args[++i];
        }
        if (std::string why = option->apply(options, value); !why.empty()) {
            return UsageError{why};
        }
    }
    return options;
}

std::string UsageText() {
    return "Usage: zevrin-uhid-gamepad [options]\n"
           "Makes a Zevrin gamepad in boot mode through /dev/uhid and answers the update protocol\n"
           "until SIGTERM or SIGINT, or until an unplug fault has removed it.\n"
           "  --vid HEX --pid HEX   ids (default 0483 5750)\n"
           "  --name TEXT           the device's name\n"
           "  --version N           version word answered to a version request (default 110)\n"
           "  --no-version          never answer a version request\n"
           "  --type N              firmware type in the device information (default 1)\n"
           "  --fault KIND@MOMENT   KIND: silence failed21 failed24 unplug garbage malformed\n"
           "                        delay500; MOMENT: enter-update header first-chunk\n"
           "                        mid-transfer last-chunk after-complete get-version\n"
           "  --latency MS          every answer this much later\n"
           "  --ready FILE          the hidraw node's path, once the kernel has started the "
           "device\n"
           "  --record FILE         what the gamepad received, key=value, at the end\n"
           "  --image-out FILE      the image bytes received, at the end\n"
           "  --turnaround FILE     microseconds from each data request to the next data frame\n"
           "Exit: 0 stopped or unplugged, 1 /dev/uhid failed, 2 bad options.\n";
}

}  // namespace zevrin::uhid
