// update-sign: makes the key pair that releases are signed with, signs files, checks signatures.

#include "crypto/tomcryptutil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>

namespace {

enum ExitCode
{
    Success = 0,
    Failure = 1,
    Usage = 2
};

int usage()
{
    std::fputs("usage: update-sign genkey PRIVATE_KEY_FILE PUBLIC_KEY_FILE\n"
               "       update-sign sign PRIVATE_KEY_FILE FILE      (writes FILE.sig)\n"
               "       update-sign verify KEY_FILE FILE            (checks FILE.sig)\n",
               stderr);
    return Usage;
}

bool exists(const char* fileName)
{
    if (FILE* file = std::fopen(fileName, "rb")) {
        std::fclose(file);
        return true;
    }
    return false;
}

// The whole file, freed when it goes out of scope.
struct FileData
{
    explicit FileData(const std::string& fileName) { read_file(fileName.c_str(), &data, &length); }
    ~FileData() { std::free(data); }
    FileData(const FileData&) = delete;
    FileData& operator=(const FileData&) = delete;

    unsigned char* data = nullptr;
    unsigned long length = 0;
};

// A key loaded from a key file, freed when it goes out of scope.
struct KeyFile
{
    explicit KeyFile(const char* fileName) { load_key(&key, fileName); }
    ~KeyFile() { rsa_free(&key); }
    KeyFile(const KeyFile&) = delete;
    KeyFile& operator=(const KeyFile&) = delete;

    Rsa_key key;
};

// Files created while it lives are owner-only from their creation on, whatever the caller's
// umask: a chmod afterwards would leave a moment in which others could open them.
struct OwnerOnlyFiles
{
    OwnerOnlyFiles()
        : previous(::umask(S_IRWXG | S_IRWXO))
    {
    }
    ~OwnerOnlyFiles() { ::umask(previous); }
    OwnerOnlyFiles(const OwnerOnlyFiles&) = delete;
    OwnerOnlyFiles& operator=(const OwnerOnlyFiles&) = delete;

    const mode_t previous;
};

int generateKey(const char* privateFile, const char* publicFile)
{
    // Overwriting a key pair would lose the key that earlier releases were signed with.
    for (const char* fileName : {privateFile, publicFile}) {
        if (exists(fileName)) {
            std::fprintf(stderr, "update-sign: %s exists; not overwriting a key file\n", fileName);
            return Failure;
        }
    }
    Rsa_key key;
    create_key(&key);
    try {
        {
            const OwnerOnlyFiles ownerOnly;
            save_key(&key, PK_PRIVATE, privateFile);
        }
        save_key(&key, PK_PUBLIC, publicFile);
    } catch (const crypt_exception&) {
        rsa_free(&key);
        // A private key without its public file would only block the next try.
        std::remove(privateFile);
        throw;
    }
    rsa_free(&key);
    return Success;
}

int signFile(const char* privateFile, const std::string& fileName)
{
    KeyFile keyFile(privateFile);
    if (keyFile.key.type != PK_PRIVATE) {
        std::fprintf(stderr, "update-sign: %s holds no private key\n", privateFile);
        return Failure;
    }
    FileData file(fileName);
    unsigned char signature[512];
    unsigned long length = sizeof(signature);
    sign_msg(&keyFile.key, file.data, file.length, signature, &length);
    write_file((fileName + ".sig").c_str(), signature, length);
    return Success;
}

int verifyFile(const char* keyFileName, const std::string& fileName)
{
    KeyFile keyFile(keyFileName);
    FileData file(fileName);
    FileData signature(fileName + ".sig");
    bool valid = false;
    try {
        valid = verify_msg(&keyFile.key, file.data, file.length, signature.data, signature.length);
    } catch (const crypt_exception& e) {
        std::fprintf(stderr, "update-sign: %s\n", e.what());
    }
    std::printf("%s: signature %s\n", fileName.c_str(), valid ? "valid" : "INVALID");
    return valid ? Success : Failure;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return usage();
    const std::string command = argv[1];
    try {
        crypt_init();
        if (command == "genkey")
            return generateKey(argv[2], argv[3]);
        if (command == "sign")
            return signFile(argv[2], argv[3]);
        if (command == "verify")
            return verifyFile(argv[2], argv[3]);
    } catch (const crypt_exception& e) {
        std::fprintf(stderr, "update-sign: %s\n", e.what());
        return Failure;
    }
    return usage();
}
