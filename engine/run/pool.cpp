#include "pool.h"

#include "environment.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace velmoratrix {

namespace {

std::atomic<std::size_t> chosenThreads{0};
// The failure flag of the job this thread takes ranges of, or null.
thread_local const std::atomic<bool>* workingFor = nullptr;
class WorkingFor {
public:
    explicit WorkingFor(const std::atomic<bool>* failed) : outer_(workingFor) {
        workingFor = failed;
    }
    ~WorkingFor() { workingFor = outer_; }
    WorkingFor(const WorkingFor&) = delete;
    WorkingFor& operator=(const WorkingFor&) = delete;

private:
    const std::atomic<bool>* outer_;
};
// However many threads a call asks for, the pool grows no larger.
constexpr std::size_t kMostWorkers = kMostThreads - 1;

// One call's ranges; helpers hold it while they take ranges.
struct Job {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t count, grain, ranges;
    std::size_t helpers; // how many pool threads may still join (pool lock)
    std::atomic<std::size_t> next{0}, done{0};
    std::atomic<bool> failed{false}; // the ranges left are passed over
    std::mutex m;
    std::condition_variable finished;
    std::exception_ptr error; // the first one (m)

    void work() {
        const EngineFloats floats; // a pool thread's own settings are not the caller's
        const WorkingFor flag(&failed);
        for (std::size_t r; (r = next.fetch_add(1)) < ranges;) {
            try {
                if (!failed.load(std::memory_order_relaxed))
                    (*body)(r * grain, std::min(count, (r + 1) * grain));
            } catch (...) {
                failed.store(true, std::memory_order_relaxed);
                std::lock_guard<std::mutex> lock(m);
                if (!error) error = std::current_exception();
            }
            if (done.fetch_add(1) + 1 == ranges) {
                std::lock_guard<std::mutex> lock(m);
                finished.notify_all();
            }
        }
    }
};

class Pool {
public:
    void run(const std::shared_ptr<Job>& job, std::size_t helpers) {
        {
            std::lock_guard<std::mutex> lock(m_);
            helpers = std::min(helpers, kMostWorkers);
            try {
                for (; workers_ < helpers; ++workers_) std::thread(&Pool::serve, this).detach();
            } catch (const std::system_error&) { // no more threads: fewer helpers
            }
            helpers = std::min(helpers, workers_);
            job->helpers = helpers;
            jobs_.push_back(job);
            queued_.fetch_add(1);
        }
        if (helpers > 0) wake_.notify_all();
        job->work();
        {
            std::lock_guard<std::mutex> lock(m_);
            const auto at = std::find(jobs_.begin(), jobs_.end(), job);
            if (at != jobs_.end()) {
                jobs_.erase(at);
                queued_.fetch_sub(1);
            }
        }
        // A helper still on its last range finishes soon: wait awake first.
        spin([&] { return job->done.load() == job->ranges; });
        std::unique_lock<std::mutex> lock(job->m);
        job->finished.wait(lock, [&] { return job->done.load() == job->ranges; });
        if (job->error) std::rethrow_exception(job->error);
    }

private:
    std::mutex m_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> jobs_;
    std::atomic<std::size_t> queued_{0}; // jobs_.size(), read without the lock
    std::size_t workers_ = 0;

    // Waits awake, for a short while, until ready() holds: falling asleep and
    // being woken costs more than a call over a few thousand rows takes.
    template <typename Ready> static bool spin(Ready ready) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
        for (unsigned k = 1;; ++k) {
            if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            if (k % 64 == 0 && std::chrono::steady_clock::now() > until) return false;
        }
    }

    // Detached, and the pool is never destroyed: at exit a worker is still
    // waiting here, on memory that stays.
    void serve() {
        for (;;) {
            std::shared_ptr<Job> job;
            spin([&] { return queued_.load() > 0; }); // the next call comes soon, often
            {
                std::unique_lock<std::mutex> lock(m_);
                wake_.wait(lock, [&] { return !jobs_.empty(); });
                job = jobs_.front();
                if (--job->helpers == 0) {
                    jobs_.pop_front();
                    queued_.fetch_sub(1);
                }
            }
            job->work();
        }
    }
};

std::atomic<Pool*> pool{nullptr};

// The parent's threads do not exist in a child, and the pool's lock may be
// held by one of them: the child forgets that pool (without freeing it).
[[maybe_unused]] void forgetPoolInChild() {
    pool.store(nullptr);
}

Pool& thePool() {
#ifndef _WIN32 // no fork there
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, forgetPoolInChild);
        return true;
    }();
    (void)registered;
#endif
    Pool* p = pool.load();
    while (!p) {
        Pool* made = new Pool;
        if (pool.compare_exchange_strong(p, made))
            p = made;
        else
            delete made;
    }
    return *p;
}

} // namespace

bool rangeFailed() {
    return workingFor && workingFor->load(std::memory_order_relaxed);
}

std::size_t defaultThreads() {
    const std::size_t chosen = chosenThreads.load();
    if (chosen) return chosen;
    // A cluster's share of the cores, where it says so (read once).
    static const std::size_t fromEnvironment = [] {
        const char* text = std::getenv("VELMO_NUM_THREADS");
        char* end = nullptr;
        const unsigned long long n = text ? std::strtoull(text, &end, 10) : 0;
        return text && *text && *end == '\0' && n > 0
                   ? static_cast<std::size_t>(std::min<unsigned long long>(n, kMostThreads))
                   : 0;
    }();
    if (fromEnvironment) return fromEnvironment;
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

void setDefaultThreads(std::size_t threads) {
    chosenThreads.store(std::min(threads, kMostThreads));
}

void forEachRange(std::size_t count, std::size_t threads, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    if (threads == 0) threads = defaultThreads();
    threads = std::min(threads, kMostThreads); // no arithmetic below can overflow
    grain = std::max<std::size_t>(grain, 1);
    // A few ranges per thread, so that one slow thread holds up little.
    if (threads > 1) grain = std::max(grain, (count + 4 * threads - 1) / (4 * threads));
    const std::size_t ranges = (count + grain - 1) / grain;
    if (threads <= 1 || ranges <= 1) {
        const WorkingFor own(nullptr); // even on a pool thread working for another call
        for (std::size_t first = 0; first < count; first += grain)
            body(first, std::min(count, first + grain));
        return;
    }
    auto job = std::make_shared<Job>();
    job->body = &body;
    job->count = count;
    job->grain = grain;
    job->ranges = ranges;
    thePool().run(job, std::min(threads, ranges) - 1);
}

} // namespace velmoratrix
