#include "port_link.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace korvane::sim {

namespace {

std::string describe(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Whether path names the file open as fd.
bool names(const std::string& path, int fd) {
    struct stat held {};
    struct stat named {};
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The owner's process id as it wrote it into the lock file, or "" when unreadable.
std::string ownerOf(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return "";
    std::string pid(text, static_cast<std::size_t>(n));
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid;
}

}  // namespace

bool PortLink::lock() {
    // The owner removes the lock file on its way out. A simulator that opened the file just
    // before that gets the lock on a file no longer there, while a third one creates a new
    // file and locks that: the lock counts only when the path still names the locked file.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error_ = describe("cannot open " + lockPath_);
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            error_ = busy ? path_ + " belongs to another simulator that is still running"
                          : describe("cannot lock " + lockPath_);
            if (const std::string owner = ownerOf(fd); busy && !owner.empty()) {
                error_ += " (process " + owner + ")";
            }
            ::close(fd);
            return false;
        }
        if (names(lockPath_, fd)) {
            lockFd_ = fd;
            const std::string pid = std::to_string(getpid()) + "\n";
            // Only for the message another simulator shows: not worth failing over.
            const bool written = ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) ==
                                                              static_cast<ssize_t>(pid.size());
            (void)written;
            return true;
        }
        ::close(fd);
    }
    error_ = "cannot lock " + lockPath_ + ": it keeps being replaced";
    return false;
}

bool PortLink::claim(const std::string& path, const std::string& target) {
    release();
    error_.clear();
    path_ = path;
    lockPath_ = path + ".lock";
    target_ = target;
    if (!lock()) return false;

    // With the lock held a symlink at path is a stale one: its simulator is gone.
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            error_ = "cannot link " + path_ + ": it exists and is not a symlink";
            release();
            return false;
        }
        if (unlink(path_.c_str()) != 0) {
            error_ = describe("cannot replace " + path_);
            release();
            return false;
        }
    }
    if (symlink(target_.c_str(), path_.c_str()) != 0) {
        error_ = describe("cannot link " + path_);
        release();
        return false;
    }
    linked_ = true;
    return true;
}

void PortLink::release() {
    if (linked_) {
        // Only if it still points at our device: someone may have replaced it by hand.
        char existing[PATH_MAX];
        const ssize_t n = readlink(path_.c_str(), existing, sizeof existing - 1);
        if (n >= 0) {
            existing[n] = '\0';
            if (target_ == existing) unlink(path_.c_str());
        }
        linked_ = false;
    }
    if (lockFd_ >= 0) {
        // Removed while still locked, so that no one can lock this file and be cut off
        // from the path by the removal (see lock()).
        if (names(lockPath_, lockFd_)) unlink(lockPath_.c_str());
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

}  // namespace korvane::sim
