#pragma once

#include "LinuxOnly.h"

#include <QByteArray>

#include <sys/mman.h>
#include <unistd.h>

// Bytes for a library that reads files only by name: an anonymous file in memory, so that what
// it holds (the user's words) never reaches a disk. Readable while the object lives.
class InMemoryFile final {
public:
    InMemoryFile(const char* name, const QByteArray& bytes) : fd_(memfd_create(name, MFD_CLOEXEC)) {
        if (fd_ >= 0 && write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size())
            path_ = "/proc/self/fd/" + QByteArray::number(fd_);
    }
    ~InMemoryFile() {
        if (fd_ >= 0)
            close(fd_);
    }
    InMemoryFile(const InMemoryFile&) = delete;
    InMemoryFile& operator=(const InMemoryFile&) = delete;

    // Empty when the file could not be made.
    const QByteArray& path() const { return path_; }

private:
    const int fd_;
    QByteArray path_;
};
