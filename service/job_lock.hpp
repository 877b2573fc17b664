// The service's job mutex, held. A function that must run under it takes a const JobLock&
// rather than saying so in a comment. Only the job store makes one (JobStore::lock), and it
// can be neither copied nor moved out of the scope that holds it.
#pragma once

#include <mutex>

namespace vesk {

class JobStore;

class JobLock {
public:
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;

private:
    friend class JobStore;
    explicit JobLock(std::mutex& mutex) : held_(mutex) {}

    std::unique_lock<std::mutex> held_;
};

}  // namespace vesk
