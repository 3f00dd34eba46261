#include "update/FirmwareImage.h"

#include <cstring>
#include <filesystem>

#include "hid/Log.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>

#if defined(_WIN32)
#include <share.h>

#include <cstdlib>
#include <cwchar>
#else
#include <fcntl.h>
#include <unistd.h>
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

namespace {

// Room for a whole 64 KiB image and its header in the stream's buffer.
constexpr size_t kReadBufferBytes = 64 * 1024 + kFirmwareHeaderSize;

#if defined(_WIN32)
// MAX_PATH, which counts the terminating NUL: a path of this many characters no longer fits.
constexpr size_t kClassicPathLimit = 260;
// A path in the long form may have up to 32767 characters.
constexpr size_t kLongestPath = 32768;
#endif

bool IsRegular(std::FILE* file) {
#if defined(_WIN32)
    struct _stat64 st {};
    return _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st {};
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

}  // namespace

#if defined(_WIN32)
std::wstring OpenablePath(const std::wstring& path) {
    // Already in the long form, or a device path: the system takes those as they are.
    if (path.starts_with(LR"(\\?\)") || path.starts_with(LR"(\\.\)")) {
        return path;
    }
    // The long form skips the system's own tidying of a path ("/", "." and ".." would be taken
    // literally): it is done first, by the system's own rules, with room for the longest path.
    std::wstring full(kLongestPath, L'\0');
    if (_wfullpath(full.data(), path.c_str(), full.size()) == nullptr) {
        return path;
    }
    full.resize(std::wcslen(full.c_str()));
    if (full.size() < kClassicPathLimit) {
        return path;
    }
    if (full.starts_with(LR"(\\)")) {
        return LR"(\\?\UNC\)" + full.substr(2);
    }
    return LR"(\\?\)" + full;
}
#endif

ImageProblem ImageFile::Open(const std::string& path) {
    Close();
#if defined(_WIN32)
    const std::filesystem::path p(std::u8string(path.begin(), path.end()));
    m_File = _wfsopen(OpenablePath(p.native()).c_str(), L"rb", _SH_DENYWR);
    if (m_File == nullptr) {
        return ImageProblem::OpenFailed;
    }
#else
    {
        // A FIFO is refused without opening it: its open waits for a writer that may never come.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            return ImageProblem::NotRegular;
        }
    }
    // O_NONBLOCK all the same, for what the path became after that look.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return ImageProblem::OpenFailed;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    m_File =
        flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ? nullptr : ::fdopen(fd, "rb");
    if (m_File == nullptr) {
        ::close(fd);
        return ImageProblem::OpenFailed;
    }
#endif
    if (!IsRegular(m_File)) {
        Close();
        return ImageProblem::NotRegular;
    }
    // A typical image in one read instead of sixteen: the transfer's refills happen in the middle
    // of the gamepad's requests, and the check before it reads the whole file too.
    m_Buffer = std::make_unique<char[]>(kReadBufferBytes);
    if (std::setvbuf(m_File, m_Buffer.get(), _IOFBF, kReadBufferBytes) != 0) {
        m_Buffer.reset();  // the stream keeps its own
    }
    return ImageProblem::None;
}

uint64_t ImageFile::Size() const {
    if (m_File == nullptr) {
        return 0;
    }
#if defined(_WIN32)
    struct _stat64 st {};
    return _fstat64(_fileno(m_File), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
#else
    struct stat st {};
    return fstat(fileno(m_File), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
#endif
}

bool ImageFile::Seek(uint64_t offset) {
    if (m_File == nullptr) {
        return false;
    }
    std::clearerr(m_File);
    return std::fseek(m_File, static_cast<long>(offset), SEEK_SET) == 0;
}

size_t ImageFile::Read(uint8_t* buffer, size_t count) {
    return m_File != nullptr ? std::fread(buffer, 1, count, m_File) : 0;
}

void ImageFile::Close() {
    if (m_File != nullptr) {
        (void)std::fclose(m_File);  // read-only: nothing to lose when closing fails
        m_File = nullptr;
    }
    m_Buffer.reset();
}

ImageCheck InspectImage(const std::string& path) {
    ImageFile file;
    return InspectImage(path, file);  // closed again on the way out
}

ImageCheck InspectImage(const std::string& path, ImageFile& file) {
    const ImageProblem opened = file.Open(path);
    if (opened != ImageProblem::None) {
        ImageCheck check;
        check.problem = opened;
        return check;
    }
    return InspectImage(file);
}

ImageCheck InspectImage(ImageFile& file) {
    ImageCheck check;
    if (!file.IsOpen()) {
        return check;  // OpenFailed
    }
    if (!file.Seek(0)) {
        check.problem = ImageProblem::ReadError;
        file.Close();
        return check;
    }
    check.problem = ImageProblem::None;
    check.headerBytesRead = file.Read(check.headerBytes, kFirmwareHeaderSize);
    check.header = ParseFirmwareHeader(check.headerBytes);
    const uint64_t size = file.Size();
    check.dataBytes = size > check.headerBytesRead ? size - check.headerBytesRead : 0;
    if (file.HadError()) {
        check.problem = ImageProblem::ReadError;
    } else if (check.headerBytesRead < kFirmwareHeaderSize) {
        check.problem = ImageProblem::TooShort;
    } else if (check.header.imageLength == 0) {
        check.problem = ImageProblem::LengthZero;
    } else if (check.dataBytes < check.header.imageLength) {
        check.problem = ImageProblem::Truncated;
    } else {
        // Every byte the device will ask for must be readable; nothing past them is read.
        uint8_t buffer[4096];
        uint64_t left = check.header.imageLength;
        while (left > 0) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(left, sizeof buffer));
            const size_t n = file.Read(buffer, want);
            left -= n;
            if (n < want) {
                break;
            }
        }
        if (file.HadError()) {
            check.problem = ImageProblem::ReadError;
        } else if (left > 0) {
            check.problem = ImageProblem::Truncated;  // shorter than its size said a moment ago
        }
    }
    if (check.problem != ImageProblem::None) {
        file.Close();
    }
    return check;
}
