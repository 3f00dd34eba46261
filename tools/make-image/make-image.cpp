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

int Usage(const std::string& why) {
    std::cerr << "zevrin-make-image: " << why << "\n"
              << "Usage: zevrin-make-image [--version X.YY] [--beta N] [--param N] "
                 "[--size BYTES] [--declare BYTES] OUT.dat\n";
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t version = 120;
    uint32_t beta = 0;
    uint32_t param = 0;
    uint64_t size = 65536;
    std::optional<uint64_t> declared;
    std::string out;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--version" && hasValue) {
            const auto v = Hundredths(argv[++i]);
            if (!v) {
                return Usage("--version wants X.YY up to 655.35");
            }
            version = *v;
        } else if (arg == "--beta" && hasValue) {
            const auto v = Number(argv[++i], 0xFFFF);
            if (!v) {
                return Usage("--beta wants 0 to 65535");
            }
            beta = static_cast<uint32_t>(*v);
        } else if (arg == "--param" && hasValue) {
            const auto v = Number(argv[++i], 0xFFFFFFFF);
            if (!v) {
                return Usage("--param wants a 32-bit number");
            }
            param = static_cast<uint32_t>(*v);
        } else if (arg == "--size" && hasValue) {
            const auto v = Number(argv[++i], kMaxSize);
            if (!v) {
                return Usage("--size wants a byte count up to 64 MiB");
            }
            size = *v;
        } else if (arg == "--declare" && hasValue) {
            declared = Number(argv[++i], 0xFFFFFFFF);
            if (!declared) {
                return Usage("--declare wants a 32-bit byte count");
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage("unknown option or missing value: " + arg);
        } else if (out.empty()) {
            out = arg;
        } else {
            return Usage("more than one output file");
        }
    }
    if (out.empty()) {
        return Usage("no output file");
    }
    if (!declared && size > std::numeric_limits<uint32_t>::max()) {
        return Usage("--size too large for imageLength");
    }

    std::vector<uint8_t> bytes;
    bytes.reserve(28 + size);
    PutLe32(bytes, (beta << 16) | version);
    PutLe32(bytes, param);
    PutLe32(bytes, static_cast<uint32_t>(declared.value_or(size)));
    bytes.resize(28, 0);
    uint32_t state = 0x2545F491u ^ version ^ param;  // xorshift32; never 0 for these inputs
    if (state == 0) {
        state = 1;
    }
    for (uint64_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes.push_back(static_cast<uint8_t>(state));
    }

    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::cerr << "zevrin-make-image: cannot write " << out << "\n";
        return 1;
    }
    std::cout << out << ": version " << version / 100 << "." << (version % 100 < 10 ? "0" : "")
              << version % 100;
    if (beta != 0) {
        std::cout << " beta" << beta;
    }
    std::cout << ", imageLength " << declared.value_or(size) << ", " << size << " data bytes\n";
    return 0;
}
