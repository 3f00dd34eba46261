// SHA-256 of an image file, so a script can make sure the file it flashes is the one it was given.
// The hash itself comes from the platform (OpenSSL's libcrypto on Linux, CNG on Windows); the file
// is opened and read the way the update reads images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class ImageFile;

// The digest of the whole file as 64 lowercase hex digits; nothing when the path is not a regular
// file that can be opened and read to its end.
std::optional<std::string> Sha256File(const std::string& path);
// The same of a file already open, read from its start, so the bytes whose digest was checked are
// the bytes the update then sends from the same handle.
std::optional<std::string> Sha256File(ImageFile& file);

// One digest computed piece by piece. Each platform's file implements it.
class Sha256 {
  public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False once the platform has failed; the digest is then never given.
    bool Update(const uint8_t* bytes, size_t count);
    std::optional<Digest> Finish();

  private:
    struct State;
    std::unique_ptr<State> m_State;
};
