#include "crypto/tomcryptutil.h"

#include "crypto/tfmdescriptor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int hash_idx = -1;
int prng_idx = -1;

namespace {

constexpr unsigned long KeyFileSize = 2048;
constexpr unsigned long DigestSize = 20;
constexpr unsigned long SaltLength = 8;
constexpr int ModulusBytes = 128;
constexpr long PublicExponent = 65537;

[[noreturn]] void fail(const std::string& text)
{
    throw crypt_exception(text);
}

} // namespace

crypt_exception::crypt_exception(std::string text)
    : text(std::move(text))
{
}

const char* crypt_exception::what() const noexcept
{
    return text.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        fail("Error registering sha1");
    // Checks of an earlier update may still be reading ltc_mp on pool threads.
    if (std::memcmp(&ltc_mp, &tfm_desc, sizeof(ltc_mp)) != 0)
        ltc_mp = tfm_desc;
    if (register_hash(&sha1_desc) == -1)
        fail("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void hash_msg(const unsigned char* message, unsigned long length, unsigned char* digest)
{
    hash_state state;
    sha1_init(&state);
    sha1_process(&state, message, length);
    sha1_done(&state, digest);
}

bool verify_msg(Rsa_key* key, const unsigned char* message, unsigned long length,
                unsigned char* signature, unsigned long signatureLength)
{
    unsigned char digest[DigestSize];
    hash_msg(message, length, digest);
    int status = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(signature, signatureLength, digest, DigestSize, LTC_PKCS_1_PSS,
                                 hash_idx, SaltLength, &status, key));
    return status == 1;
}

void sign_msg(Rsa_key* key, const unsigned char* message, unsigned long length,
              unsigned char* signature, unsigned long* signatureLength)
{
    unsigned char digest[DigestSize];
    hash_msg(message, length, digest);
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(digest, DigestSize, signature, signatureLength, LTC_PKCS_1_PSS,
                               nullptr, prng_idx, hash_idx, SaltLength, key));
}

void create_key(Rsa_key* key)
{
    check_err("rsa_make_key", rsa_make_key(nullptr, prng_idx, ModulusBytes, PublicExponent, key));
}

void load_key(Rsa_key* key, const unsigned char* buffer, unsigned long length)
{
    check_err("rsa_import", rsa_import(buffer, length, key));
}

void load_key(Rsa_key* key, const char* fileName)
{
    // A missing or short file leaves zeros, which the import rejects with its own error.
    unsigned char buffer[KeyFileSize] = {};
    if (FILE* file = std::fopen(fileName, "rb")) {
        std::fread(buffer, 1, KeyFileSize, file);
        std::fclose(file);
    }
    load_key(key, buffer, KeyFileSize);
}

void export_key(Rsa_key* key, int keyType, unsigned char* buffer)
{
    std::memset(buffer, 0, KeyFileSize);
    unsigned long length = KeyFileSize;
    check_err("rsa_export", rsa_export(buffer, &length, keyType, key));
}

void save_key(Rsa_key* key, int keyType, const char* fileName)
{
    unsigned char buffer[KeyFileSize];
    export_key(key, keyType, buffer);
    write_file(fileName, buffer, KeyFileSize);
}

void read_file(const char* fileName, unsigned char** buffer, unsigned long* length)
{
    *length = 0;
    FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr)
        fail(std::string("Cannot open file for reading: ") + fileName);
    while (!std::feof(file) && !std::ferror(file)) {
        auto* larger = static_cast<unsigned char*>(std::realloc(*buffer, *length + 2048));
        if (larger == nullptr) {
            std::fclose(file);
            check_err("read_file", CRYPT_MEM);
        }
        *buffer = larger;
        *length += std::fread(*buffer + *length, 1, 2048, file);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    // Reporting a partly read file as whole would verify the wrong data.
    if (failed)
        fail(std::string("Cannot read file: ") + fileName);
}

void write_file(const char* fileName, unsigned char* data, unsigned long length)
{
    FILE* file = std::fopen(fileName, "wb");
    if (file == nullptr)
        fail(std::string("Cannot open file for writing: ") + fileName);
    const bool written = std::fwrite(data, 1, length, file) == length;
    // A full disk shows up here, or only when the buffered data is flushed by fclose.
    if (std::fclose(file) != 0 || !written)
        fail(std::string("Cannot write file: ") + fileName);
}

void check_err(const char* operation, int result)
{
    if (result == CRYPT_OK)
        return;
    fail(std::string(operation) + ": " + error_to_string(result));
}
