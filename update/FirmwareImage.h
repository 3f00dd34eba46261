// The firmware image file (.dat): a 28-byte FirmwareHeader, then imageLength bytes of image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "update/Protocol.h"

struct FirmwareHeader {
    uint32_t desVersion = 0;   // version word of the image
    uint32_t imageParam = 0;   // forwarded to the device unchanged
    uint32_t imageLength = 0;  // image bytes counted from file offset 28
    uint8_t headerTail[16] = {};
};

FirmwareHeader ParseFirmwareHeader(const uint8_t (&bytes)[kFirmwareHeaderSize]);

// Why an image cannot be sent; the checks run before anything goes to the device.
enum class ImageProblem {
    None,
    OpenFailed,  // missing, access denied, or held open elsewhere
    NotRegular,  // a device, FIFO, socket or directory: no image, and reading it may never end
    TooShort,    // fewer than 28 bytes
    LengthZero,  // imageLength of 0
    Truncated,   // fewer than imageLength bytes after the header
    ReadError,
};

struct ImageCheck {
    ImageProblem problem = ImageProblem::OpenFailed;
    uint8_t headerBytes[kFirmwareHeaderSize] = {};  // as read (zeros past a short file's end)
    size_t headerBytesRead = 0;
    FirmwareHeader header;
    uint64_t dataBytes = 0;  // bytes after the header, by the file's size
};

class ImageFile;

// Opens the file as ImageFile::Open does, reads the header and at most imageLength bytes after
// it (whatever the file's size), then closes it.
ImageCheck InspectImage(const std::string& path);
// The same check on a file kept open in `file` when it passes, so the file that was checked is
// the one whose bytes are sent: another file put at the path later changes nothing.
ImageCheck InspectImage(const std::string& path, ImageFile& file);
// The same check on a file already open, read from its start; `file` is closed when it fails.
ImageCheck InspectImage(ImageFile& file);

// "1.20" or "1.20 beta2": the low 16 bits in hundredths with two decimals, then a nonzero beta.
std::string FormatVersion(uint32_t versionWord);

#if defined(_WIN32)
// The path as ImageFile::Open hands it to the system. One of 260 characters or more (folders
// nested deep, long names) is opened in the form that has no such limit whatever the system's
// settings: made absolute and normal, backslashes, \\?\ in front (\\?\UNC\ for a share).
// Shorter paths go as they came.
std::wstring OpenablePath(const std::wstring& path);
#endif

// The image file kept open across the device's data requests.
class ImageFile {
  public:
    ImageFile() = default;
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    // The open file changes hands (from the check that opened it to the transfer that sends it).
    ImageFile(ImageFile&& other) noexcept
        : m_File(std::exchange(other.m_File, nullptr)), m_Buffer(std::move(other.m_Buffer)) {}
    ImageFile& operator=(ImageFile&& other) noexcept {
        if (this != &other) {
            Close();
            m_File = std::exchange(other.m_File, nullptr);
            m_Buffer = std::move(other.m_Buffer);
        }
        return *this;
    }

    // Opens an existing regular file (after links) for reading: None, OpenFailed or NotRegular.
    // Never blocks, whatever the path names (a FIFO without a writer, a terminal). On Windows
    // others may go on reading the file (a browser, an antivirus) but not write it.
    ImageProblem Open(const std::string& path);
    // The size of the open file.
    uint64_t Size() const;
    bool Seek(uint64_t offset);
    // Up to `count` bytes; 0 at the end of the file or on a read error.
    size_t Read(uint8_t* buffer, size_t count);
    bool IsOpen() const { return m_File != nullptr; }
    // A read failed (fread returns short both at the end and on an error).
    bool HadError() const { return m_File != nullptr && std::ferror(m_File) != 0; }
    void Close();

  private:
    std::FILE* m_File = nullptr;
    // The stream's buffer, which must outlive it (the C library takes a size only with a buffer).
    std::unique_ptr<char[]> m_Buffer;
};
