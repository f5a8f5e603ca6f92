// update-sign: makes the key pair that releases are signed with, signs files, checks signatures.

#include "crypto/tomcryptutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t KeyFileSize = 2048;

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

// A key file made by one exclusive open that follows no link, so neither an existing file
// (readable or not) nor a link at its name is ever written through. Its mode is the one given,
// whatever the umask. Removed again unless kept.
struct NewKeyFile
{
    NewKeyFile(const char* fileName, mode_t mode)
        : fileName(fileName)
        , fd(::open(fileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    S_IRUSR | S_IWUSR))
    {
        if (fd >= 0)
            ::fchmod(fd, mode);
        else if (errno == EEXIST)
            std::fprintf(stderr, "update-sign: %s exists; not overwriting a key file\n", fileName);
        else
            std::fprintf(stderr, "update-sign: Cannot open file for writing: %s\n", fileName);
    }
    ~NewKeyFile()
    {
        if (fd < 0)
            return;
        ::close(fd);
        if (!kept)
            ::unlink(fileName);
    }
    NewKeyFile(const NewKeyFile&) = delete;
    NewKeyFile& operator=(const NewKeyFile&) = delete;

    bool write(const unsigned char (&data)[KeyFileSize])
    {
        if (::write(fd, data, KeyFileSize) == ssize_t(KeyFileSize))
            return true;
        std::fprintf(stderr, "update-sign: Cannot write file: %s\n", fileName);
        return false;
    }

    const char* const fileName;
    const int fd;
    bool kept = false;
};

int generateKey(const char* privateFile, const char* publicFile)
{
    unsigned char privateData[KeyFileSize];
    unsigned char publicData[KeyFileSize];
    Rsa_key key;
    create_key(&key);
    try {
        export_key(&key, PK_PRIVATE, privateData);
        export_key(&key, PK_PUBLIC, publicData);
    } catch (const crypt_exception&) {
        rsa_free(&key);
        throw;
    }
    rsa_free(&key);

    // Overwriting a key pair would lose the key that earlier releases were signed with.
    NewKeyFile privateKey(privateFile, S_IRUSR | S_IWUSR);
    if (privateKey.fd < 0)
        return Failure;
    // The public key is meant to be handed out.
    NewKeyFile publicKey(publicFile, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
    if (publicKey.fd < 0 || !privateKey.write(privateData) || !publicKey.write(publicData))
        return Failure;
    privateKey.kept = publicKey.kept = true;
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
