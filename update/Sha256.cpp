#include "update/Sha256.h"

#include <vector>

#include "update/FirmwareImage.h"

std::optional<std::string> Sha256File(const std::string& path) {
    // The same open as the update's: never blocks on a FIFO or a device, regular files only.
    ImageFile file;
    if (file.Open(path) != ImageProblem::None) {
        return std::nullopt;
    }
    return Sha256File(file);
}

std::optional<std::string> Sha256File(ImageFile& file) {
    if (!file.Seek(0)) {
        return std::nullopt;
    }
    Sha256 hash;
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
        const size_t n = file.Read(buffer.data(), buffer.size());
        if (n > 0 && !hash.Update(buffer.data(), n)) {
            return std::nullopt;
        }
        if (n < buffer.size()) {
            break;
        }
    }
    if (file.HadError()) {
        return std::nullopt;
    }
    const auto digest = hash.Finish();
    if (!digest) {
        return std::nullopt;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : *digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0x0f];
    }
    return hex;
}
