// Proof that the caller holds the service's job mutex. A function that must run under it
// takes a const JobLock& rather than saying so in a comment. The token is made only from a
// std::unique_lock that owns its mutex, and cannot be copied out of the scope that holds it.
#pragma once

#include <mutex>
#include <stdexcept>

namespace vesk {

class JobLock {
public:
    // std::logic_error "Job lock is not held" when `lock` does not own its mutex.
    explicit JobLock(std::unique_lock<std::mutex>& lock) {
        if (!lock.owns_lock()) throw std::logic_error("Job lock is not held");
    }
    JobLock(std::unique_lock<std::mutex>&&) = delete;  // a temporary lock is gone at once
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;
};

}  // namespace vesk
