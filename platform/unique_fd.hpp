// A file descriptor owned by one scope: closed when the scope ends. Internal to platform/.
#pragma once

#include <unistd.h>

namespace vesk::platform {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up to the caller.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Checked close: a failed close can be a failed write-back.
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};

}  // namespace vesk::platform
