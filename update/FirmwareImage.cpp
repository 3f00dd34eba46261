#include "update/FirmwareImage.h"

#include <cstring>
#include <filesystem>

#include "hid/Log.h"

#if defined(_WIN32)
#include <share.h>
#endif

FirmwareHeader ParseFirmwareHeader(const uint8_t (&bytes)[kFirmwareHeaderSize]) {
    FirmwareHeader h;
    h.desVersion = ReadLe32(bytes);
    h.imageParam = ReadLe32(bytes + 4);
    h.imageLength = ReadLe32(bytes + 8);
    std::memcpy(h.headerTail, bytes + 12, sizeof h.headerTail);
    return h;
}

std::string FormatVersion(uint32_t versionWord) {
    const unsigned number = versionWord & 0xFFFFu;
    const unsigned beta = versionWord >> 16;
    std::string text = zevrin::Format("%.02f", number / 100.0);
    if (beta != 0) {
        text += zevrin::Format(" beta%u", beta);
    }
    return text;
}

bool ImageFile::Open(const std::string& path) {
    Close();
#if defined(_WIN32)
    const std::filesystem::path p(std::u8string(path.begin(), path.end()));
    m_File = _wfsopen(p.c_str(), L"rb", _SH_DENYRW);
#else
    m_File = std::fopen(path.c_str(), "rbe");
#endif
    return m_File != nullptr;
}

bool ImageFile::Seek(uint64_t offset) {
    return m_File != nullptr && std::fseek(m_File, static_cast<long>(offset), SEEK_SET) == 0;
}

size_t ImageFile::Read(uint8_t* buffer, size_t count) {
    return m_File != nullptr ? std::fread(buffer, 1, count, m_File) : 0;
}

void ImageFile::Close() {
    if (m_File != nullptr) {
        (void)std::fclose(m_File);  // read-only: nothing to lose when closing fails
        m_File = nullptr;
    }
}

ImageCheck InspectImage(const std::string& path) {
    ImageCheck check;
    ImageFile file;
    if (!file.Open(path)) {
        check.problem = ImageProblem::OpenFailed;
        return check;
    }
    check.headerBytesRead = file.Read(check.headerBytes, kFirmwareHeaderSize);
    check.header = ParseFirmwareHeader(check.headerBytes);
    uint8_t buffer[4096];
    for (;;) {
        const size_t n = file.Read(buffer, sizeof buffer);
        check.dataBytes += n;
        if (n < sizeof buffer) {
            break;
        }
    }
    check.problem = ImageProblem::None;
    if (file.HadError()) {
        check.problem = ImageProblem::ReadError;
    } else if (check.headerBytesRead < kFirmwareHeaderSize) {
        check.problem = ImageProblem::TooShort;
    } else if (check.header.imageLength == 0) {
        check.problem = ImageProblem::LengthZero;
    } else if (check.dataBytes < check.header.imageLength) {
        check.problem = ImageProblem::Truncated;
    }
    return check;
}
