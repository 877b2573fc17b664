// The jobs of the service in memory: every known record, the work queue and the counters,
// with the one mutex that guards them and every field of every record, and the condition
// variable on which workers wait. Routes, the completion routes and the workers are given
// the store; it is the only maker of JobLock.
//
// Slow reading work never runs under the lock: a submission takes it only to take its number
// and, once its files are on disk and its drawing is bound, to persist, register and queue
// the job; readers copy what they need and build their answers outside it. What changes a
// job's durable state holds it: a worker marking, persisting and counting a job, and a
// completion decision from its check for a pending transition to the update of the live
// record, so that decisions are taken one at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/job_lock.hpp"
#include "service/job_record.hpp"
#include "service/job_recovery.hpp"

namespace vesk {

class JobStore {
public:
    explicit JobStore(std::filesystem::path jobs_directory);
    JobStore(const JobStore&) = delete;
    JobStore& operator=(const JobStore&) = delete;

    const std::filesystem::path& directory() const noexcept { return directory_; }

    // The job mutex, held until the token goes.
    JobLock lock();

    // At start, before any other thread uses the store: the jobs that recovery rebuilt.
    void restore(RecoveredJobs recovered);

    // The record of a safe job id, or empty (ids that are not safe identifiers are not
    // looked up at all).
    std::shared_ptr<JobRecord> find(const std::string& job_id);

    // The id of a new job. Its number stays used up whether or not the job is accepted;
    // std::runtime_error once the numbers are exhausted.
    std::string take_job_id();

    // Accepts a job whose files are on disk: persists its queued state, registers it and
    // queues it, under the lock; then wakes one worker. Only from here does the job exist
    // for others; when persisting fails nothing is registered.
    void accept(const std::shared_ptr<JobRecord>& job);

    // Queues a job again (a completion decision that changed its graph); wake_worker once
    // the lock is released.
    void requeue(const JobLock& lock, std::shared_ptr<JobRecord> job);
    void wake_worker();

    // For a worker: the oldest queued job, marked running and counted active; waits for one.
    // Empty once the workers are told to stop and the queue is empty, so that jobs queued
    // before the stop still run.
    std::shared_ptr<JobRecord> take_next_job();
    // The job a worker took has ended (its record already says how).
    void end_run();
    void stop_workers();

private:
    const std::filesystem::path directory_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::unordered_map<std::string, std::shared_ptr<JobRecord>> jobs_;
    std::deque<std::shared_ptr<JobRecord>> queue_;
    std::uint64_t next_job_number_ = 0;  // the last number handed out
    std::uint64_t active_jobs_ = 0;      // jobs running now
    bool workers_stopping_ = false;
};

}  // namespace vesk
