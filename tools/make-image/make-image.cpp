// zevrin-make-image: writes a firmware image file (.dat) that zevrin-flash and the dialog accept:
// the 28-byte header (desVersion, imageParam, imageLength, little-endian; 16 bytes of zeros), then
// the image data. The data is a fixed pseudo-random sequence, so a transfer that drops, repeats or
// reorders a chunk shows up in a comparison, and the same arguments always give the same file.
//
//   zevrin-make-image [--version 1.20] [--beta N] [--param N] [--size BYTES] [--declare BYTES] OUT
//
// --declare writes a different imageLength than the data holds (a truncated or padded image).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kUsage = 2;
constexpr uint64_t kMaxSize = 64ull * 1024 * 1024;  // far above any gamepad's flash

std::optional<uint64_t> Number(const std::string& text, uint64_t max, int base = 0) {
    if (text.empty() || text[0] == '-') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);  // base 0: 0x… is hex
    if (errno != 0 || end == nullptr || *end != '\0' || v > max) {
        return std::nullopt;
    }
    return v;
}

// "1.20" or "1.2" is 120 hundredths; "3" is 300. Up to 655.35, the largest a version word holds.
std::optional<uint32_t> Hundredths(const std::string& text) {
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (whole.empty() || fraction.size() > 2 || (dot != std::string::npos && fraction.empty())) {
        return std::nullopt;
    }
    fraction.resize(2, '0');
    for (char c : whole + fraction) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    const auto w = Number(whole, 655, 10);
    const auto f = Number(fraction, 99, 10);
    if (!w || !f || *w * 100 + *f > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*w * 100 + *f);
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

constexpr const char* kUsageLine =
    "Usage: zevrin-make-image [--version X.YY] [--beta N] [--param N] [--size BYTES] "
    "[--declare BYTES] OUT.dat\n";

int Usage(const std::string& why) {
    std::cerr << "zevrin-make-image: " << why << "\n" << kUsageLine;
    return kUsage;
}

// Asked for, the usage is the answer: on standard output, and a success.
bool HelpAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

struct Options {
    uint32_t version = 120;
    uint32_t beta = 0;
    uint32_t param = 0;
    uint64_t size = 65536;
    std::optional<uint64_t> declared;
    std::string out;
};

// One option and its value at argv[i] (i moves past the value); what is wrong with it, if anything.
std::optional<std::string> TakeOption(const std::string& arg, char** argv, int& i, Options& o) {
    if (arg == "--version") {
        const auto v = Hundredths(argv[++i]);
        if (!v) {
            return "--version wants X.YY up to 655.35";
        }
        o.version = *v;
    } else if (arg == "--beta") {
        const auto v = Number(argv[++i], 0xFFFF);
        if (!v) {
            return "--beta wants 0 to 65535";
        }
        o.beta = static_cast<uint32_t>(*v);
    } else if (arg == "--param") {
        const auto v = Number(argv[++i], 0xFFFFFFFF);
        if (!v) {
            return "--param wants a 32-bit number";
        }
        o.param = static_cast<uint32_t>(*v);
    } else if (arg == "--size") {
        const auto v = Number(argv[++i], kMaxSize);
        if (!v) {
            return "--size wants a byte count up to 64 MiB";
        }
        o.size = *v;
    } else {
        o.declared = Number(argv[++i], 0xFFFFFFFF);
        if (!o.declared) {
            return "--declare wants a 32-bit byte count";
        }
    }
    return std::nullopt;
}

// The options, or what is wrong with them.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (hasValue && (arg == "--version" || arg == "--beta" || arg == "--param" ||
                         arg == "--size" || arg == "--declare")) {
            if (auto why = TakeOption(arg, argv, i, o)) {
                return why;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option or missing value: " + arg;
        } else if (o.out.empty()) {
            o.out = arg;
        } else {
            return "more than one output file";
        }
    }
    if (o.out.empty()) {
        return "no output file";
    }
    if (!o.declared && o.size > std::numeric_limits<uint32_t>::max()) {
        return "--size too large for imageLength";
    }
    return std::nullopt;
}

std::vector<uint8_t> ImageBytes(const Options& o) {
    std::vector<uint8_t> bytes;
    bytes.reserve(28 + o.size);
    PutLe32(bytes, (o.beta << 16) | o.version);
    PutLe32(bytes, o.param);
    PutLe32(bytes, static_cast<uint32_t>(o.declared.value_or(o.size)));
    bytes.resize(28, 0);
    uint32_t state = 0x2545F491u ^ o.version ^ o.param;  // xorshift32; never 0 for these inputs
    if (state == 0) {
        state = 1;
    }
    for (uint64_t i = 0; i < o.size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes.push_back(static_cast<uint8_t>(state));
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (HelpAsked(argc, argv)) {
        std::cout << kUsageLine
                  << "Writes a firmware image: its 28-byte header, then BYTES of fixed "
                     "pseudo-random data\n(default: version 1.20, 65536 bytes). --declare puts "
                     "another imageLength in the header.\n";
        return 0;
    }
    Options o;
    if (const auto why = ParseOptions(argc, argv, o)) {
        return Usage(*why);
    }
    const std::vector<uint8_t> bytes = ImageBytes(o);
    std::ofstream file(o.out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::cerr << "zevrin-make-image: cannot write " << o.out << "\n";
        return 1;
    }
    std::cout << o.out << ": version " << o.version / 100 << "."
              << (o.version % 100 < 10 ? "0" : "") << o.version % 100;
    if (o.beta != 0) {
        std::cout << " beta" << o.beta;
    }
    std::cout << ", imageLength " << o.declared.value_or(o.size) << ", " << o.size
              << " data bytes\n";
    return 0;
}
