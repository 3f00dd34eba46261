// Sha256 through Windows CNG (bcrypt.dll).
#include <windows.h>
// After <windows.h>, which defines the types it uses.
#include <bcrypt.h>

#include "update/Sha256.h"

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
};

Sha256::Sha256() : m_State(std::make_unique<State>()) {
    State& s = *m_State;
    // Without an object buffer CNG keeps the hash object itself (Windows 7 and later).
    s.ok =
        Succeeded(BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        Succeeded(BCryptCreateHash(s.algorithm, &s.hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    if (m_State->hash != nullptr) {
        (void)BCryptDestroyHash(m_State->hash);
    }
    if (m_State->algorithm != nullptr) {
        (void)BCryptCloseAlgorithmProvider(m_State->algorithm, 0);
    }
}

bool Sha256::Update(const uint8_t* bytes, size_t count) {
    State& s = *m_State;
    // BCryptHashData takes a ULONG count: a larger piece goes in slices.
    while (s.ok && count > 0) {
        const ULONG slice = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
        s.ok = Succeeded(BCryptHashData(s.hash, const_cast<PUCHAR>(bytes), slice, 0));
        bytes += slice;
        count -= slice;
    }
    return s.ok;
}

std::optional<Sha256::Digest> Sha256::Finish() {
    State& s = *m_State;
    Digest digest{};
    const bool ok = s.ok && Succeeded(BCryptFinishHash(s.hash, digest.data(),
                                                       static_cast<ULONG>(digest.size()), 0));
    s.ok = false;  // finished: CNG refuses more data or a second finish
    if (!ok) {
        return std::nullopt;
    }
    return digest;
}
