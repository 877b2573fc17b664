#include "service/job_store.hpp"

#include <utility>

namespace vesk {

JobStore::JobStore(std::filesystem::path jobs_directory) : directory_(std::move(jobs_directory)) {}

JobLock JobStore::lock() {
    return JobLock(mutex_);
}

void JobStore::restore(RecoveredJobs recovered) {
    const JobLock held = lock();
    for (std::shared_ptr<JobRecord>& job : recovered.jobs) jobs_.emplace(job->job_id, std::move(job));
    queue_.assign(recovered.queue.begin(), recovered.queue.end());
    next_job_number_ = recovered.next_job_number;
}

std::shared_ptr<JobRecord> JobStore::find(const std::string& job_id) {
    if (!is_safe_identifier(job_id)) return nullptr;
    const JobLock held = lock();
    const auto found = jobs_.find(job_id);
    return found == jobs_.end() ? nullptr : found->second;
}

std::string JobStore::take_job_id() {
    const JobLock held = lock();
    std::string id = make_job_id(next_job_number_ + 1);
    ++next_job_number_;
    return id;
}

void JobStore::accept(const std::shared_ptr<JobRecord>& job) {
    {
        const JobLock held = lock();
        persist_job_state(*job);
        jobs_.emplace(job->job_id, job);
        queue_.push_back(job);
    }
    work_.notify_one();
}

void JobStore::requeue(const JobLock&, std::shared_ptr<JobRecord> job) {
    queue_.push_back(std::move(job));
}

void JobStore::wake_worker() {
    work_.notify_one();
}

std::shared_ptr<JobRecord> JobStore::take_next_job() {
    JobLock held = lock();
    work_.wait(held.held_, [&] { return !queue_.empty() || workers_stopping_; });
    if (queue_.empty()) return nullptr;
    std::shared_ptr<JobRecord> job = std::move(queue_.front());
    queue_.pop_front();
    job->status = JobStatus::running;
    ++active_jobs_;
    job->active_jobs_at_start = active_jobs_;
    return job;
}

void JobStore::end_run() {
    const JobLock held = lock();
    --active_jobs_;
}

void JobStore::stop_workers() {
    {
        const JobLock held = lock();
        workers_stopping_ = true;
    }
    work_.notify_all();
}

}  // namespace vesk
