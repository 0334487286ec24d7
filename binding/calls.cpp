#include "calls.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <new>

namespace {

// Forks seen in this process; a child's count differs from its parent's.
std::atomic<std::uint64_t> forks{0};

void forked() {
    forks.fetch_add(1, std::memory_order_relaxed);
}

// The first call in a child process: a lock held at the fork by another
// thread of the parent will never be released, and whatever that thread was
// changing is half changed. Both are made anew (the old ones are leaked:
// releasing them is not safe).
void adoptAfterFork(py_Evaluator& e) {
    e.forks = forks.load(std::memory_order_relaxed);
    if (e.holder == std::this_thread::get_id()) return; // forked from inside its own call
    if (e.calls.try_lock()) {
        e.calls.unlock();
        return;
    }
    new (&e.calls) std::mutex();
    e.holder = std::thread::id();
    e.abandonAfterFork();
}

} // namespace

void watchForks() {
    static const int registered = pthread_atfork(nullptr, nullptr, forked);
    (void)registered;
}

void sleepForever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

namespace {
thread_local const InsideFunction* innermost = nullptr;
} // namespace

InsideFunction::InsideFunction(const py_Evaluator* evaluator)
    : evaluator_(evaluator), outer_(innermost) {
    innermost = this;
}

InsideFunction::~InsideFunction() {
    innermost = outer_;
}

bool InsideFunction::of(const py_Evaluator& evaluator) {
    for (const InsideFunction* mark = innermost; mark; mark = mark->outer_)
        if (mark->evaluator_ == &evaluator) return true;
    return false;
}

Hold::Hold(py_Evaluator& e) : evaluator_(e) {
    // The count is read with the GIL held, as every Hold is made: calls in a
    // child agree on who adopts the evaluator.
    if (e.forks != forks.load(std::memory_order_relaxed)) adoptAfterFork(e);
    lock_ = std::unique_lock<std::mutex>(e.calls, std::try_to_lock);
    if (!lock_.owns_lock()) {
        if (e.holder == std::this_thread::get_id())
            throw std::runtime_error("Evaluator is busy: a call on it is already running"
                                     " on this thread");
        if (InsideFunction::of(e))
            throw std::runtime_error("Evaluator is busy: a function it is running called it"
                                     " (from eval_many's thread); use another Evaluator there");
        withoutGil([&] { lock_.lock(); });
    }
    e.holder = std::this_thread::get_id();
}
