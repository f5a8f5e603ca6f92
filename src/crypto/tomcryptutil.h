#ifndef TOMCRYPTUTIL_H
#define TOMCRYPTUTIL_H

#include <tomcrypt.h>

#include <exception>
#include <string>

// A thin layer over LibTomCrypt: RSA-PSS with SHA-1 and salt length 8 over 1024-bit keys.
// Every failure is thrown as a crypt_exception; callers catch it.

typedef rsa_key Rsa_key;

// Positions of SHA-1 and of "sprng" in the library's tables; written by crypt_init().
extern int hash_idx;
extern int prng_idx;

// The verification key: DER RSAPublicKey of a 1024-bit key at the start, filler after it.
// Generated at build time from the key file named by the cache variable UPDATE_RELEASE_KEY_FILE.
extern const unsigned char PUBLIC_KEY[2048];

// The only exception of the layer; what() returns the text given at construction.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string text);
    const char* what() const noexcept override;

private:
    std::string text;
};

// Registers "sprng" and SHA-1 and installs TomsFastMath as the math provider. May be called
// again; a second call finds the same positions. Must succeed before any other operation.
void crypt_init();

// Writes the 20-byte SHA-1 digest of the message.
void hash_msg(const unsigned char* message, unsigned long length, unsigned char* digest);

// True if signature is a valid PSS signature of the message under key. A valid signature of
// other data gives false; a signature that does not decode, or of the wrong length, throws.
bool verify_msg(Rsa_key* key, const unsigned char* message, unsigned long length,
                unsigned char* signature, unsigned long signatureLength);

// Writes the PSS signature of the message; signatureLength is the room on entry and the length
// written on return (the modulus length, 128 bytes).
void sign_msg(Rsa_key* key, const unsigned char* message, unsigned long length,
              unsigned char* signature, unsigned long* signatureLength);

// Makes a new 1024-bit key pair with public exponent 65537; free it with rsa_free.
void create_key(Rsa_key* key);

// Imports a DER key (public or private) from the start of the buffer; free it with rsa_free.
void load_key(Rsa_key* key, const unsigned char* buffer, unsigned long length);

// Imports a DER key from the first 2048 bytes of a key file. A missing file throws the
// import's error.
void load_key(Rsa_key* key, const char* fileName);

// Writes the content of a key file into buffer (2048 bytes): the DER export of the key of the
// given type (PK_PUBLIC or PK_PRIVATE), then zero filler.
void export_key(Rsa_key* key, int keyType, unsigned char* buffer);

// Writes a key file of exactly 2048 bytes: the DER export of the key of the given type
// (PK_PUBLIC or PK_PRIVATE), then zero filler. A failed export leaves the file untouched.
void save_key(Rsa_key* key, int keyType, const char* fileName);

// Reads a whole file into *buffer (null or from malloc; reallocated), setting *length. The
// caller frees the buffer with free(), also after a throw. A read error throws rather than
// passing on part of the file.
void read_file(const char* fileName, unsigned char** buffer, unsigned long* length);

// Writes length bytes of data to the file, replacing its content. A short write, also one
// that shows only when the file is closed (a full disk), throws.
void write_file(const char* fileName, unsigned char* data, unsigned long length);

// Returns if result is CRYPT_OK, else throws "<operation>: <library error text>".
void check_err(const char* operation, int result);

#endif // TOMCRYPTUTIL_H
