#ifndef FILESIZELIMIT_H
#define FILESIZELIMIT_H

#include <sys/resource.h>

// While it lives, no file of this process grows past the given size: a write beyond it fails
// with EFBIG ("File too large") as a write to a full disk fails with ENOSPC, without a signal
// (SIGXFSZ is ignored). Child processes started before keep their own limit.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // False when the limit could not be set.
    bool isActive() const { return active; }

private:
    rlimit saved{};
    void (*savedHandler)(int) = nullptr;
    bool active = false;
};

#endif // FILESIZELIMIT_H
