#pragma once

#include <unistd.h>

namespace kt {

// Owns one file descriptor (Linux).
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Close(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1) {
        Close();
        fd_ = fd;
    }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    void Close() {
        if (fd_ >= 0) {
            ::close(fd_); // never retried: the descriptor is gone whatever close answers
            fd_ = -1;
        }
    }
    int fd_ = -1;
};

} // namespace kt
