// Sha256 through OpenSSL's EVP interface (libcrypto).
#include <openssl/evp.h>

#include "update/Sha256.h"

struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
};

Sha256::Sha256() : m_State(std::make_unique<State>()) {}

Sha256::~Sha256() {
    EVP_MD_CTX_free(m_State->context);
}

bool Sha256::Update(const uint8_t* bytes, size_t count) {
    m_State->ok = m_State->ok && EVP_DigestUpdate(m_State->context, bytes, count) == 1;
    return m_State->ok;
}

std::optional<Sha256::Digest> Sha256::Finish() {
    Digest digest{};
    unsigned int length = 0;
    if (!m_State->ok || EVP_DigestFinal_ex(m_State->context, digest.data(), &length) != 1 ||
        length != digest.size()) {
        m_State->ok = false;
        return std::nullopt;
    }
    m_State->ok = false;  // finished: a second Finish has nothing to give
    return digest;
}
