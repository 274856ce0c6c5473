#include "SysCalls.h"

#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

namespace tarvolin::sys {

Calls calls{
    [](int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); },
    [](int fd, const void* buffer, std::size_t size) { return ::write(fd, buffer, size); },
    [](int fd) { return ::fsync(fd); },
    [](int fd, int operation) { return ::flock(fd, operation); },
    [](int fd, struct flock* lock) { return ::fcntl(fd, F_SETLK, lock); },
    [](int fromDir, const char* from, int toDir, const char* to) {
        return ::renameat(fromDir, from, toDir, to);
    },
    [](int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
        return ::renameat2(fromDir, from, toDir, to, flags);
    },
};

}  // namespace tarvolin::sys
