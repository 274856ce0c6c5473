#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

namespace tarvolin::sys {

// The calls through which the backend writes its files, takes its locks and logs, gathered
// in one table so tests can make them fail as a full disk, a signal or another process would.
struct Calls {
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    ssize_t (*write)(int fd, const void* buffer, std::size_t size);
    int (*fsync)(int fd);
    int (*flock)(int fd, int operation);
    int (*setLock)(int fd, struct flock* lock);  // fcntl(fd, F_SETLK, lock)
    int (*renameat)(int fromDir, const char* from, int toDir, const char* to);
    int (*renameat2)(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
};

// The real calls unless a test has put others in.
extern Calls calls;

}  // namespace tarvolin::sys
