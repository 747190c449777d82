// SHA-256 for comparing decoded samples with reference hashes, from the system's libcrypto.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

namespace testsupport {

class Sha256 {
public:
    Sha256() { EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr); }
    void Update(void const* data, size_t n) { EVP_DigestUpdate(m_ctx.get(), data, n); }
    // The digest in lower-case hexadecimal; the hash is finished by it.
    std::string HexDigest() {
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned n = 0;
        EVP_DigestFinal_ex(m_ctx.get(), d, &n);
        static char const digits[] = "0123456789abcdef";
        std::string out;
        for (unsigned i = 0; i < n; ++i) out += {digits[d[i] >> 4], digits[d[i] & 15]};
        return out;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

}  // namespace testsupport
