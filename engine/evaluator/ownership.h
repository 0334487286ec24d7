// Which thread may be inside an evaluator. An evaluator is used by one
// thread at a time, and a second thread calling while the first is inside is
// refused. The common case, the same thread calling again, takes no locked
// instruction: the evaluator is biased to that thread, which marks itself
// inside with plain stores in a record of its own. A thread taking a biased
// evaluator over first clears the bias, then makes the owner's stores
// visible with membarrier(2) before it reads the owner's marks (the
// asymmetric form of Dekker's exclusion: the owner's load of the bias after
// its mark, or the taker's read of the mark after the barrier, sees the
// other). Where the barrier is not available, no evaluator is biased and
// every call takes the lock word, one compare-and-exchange.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "evaluator.h"

namespace velmoratrix {

// A thread's record, kept for the process's lifetime and taken by another
// thread after this one ends; its own cache line.
struct alignas(64) ThreadMarks {
    // The thread's control block while it holds the record, else null.
    std::atomic<const void*> thread{nullptr};
    // The outermost evaluator it is inside through its bias. One entered
    // inside that one takes the lock word.
    std::atomic<const void*> inside{nullptr};
    std::atomic<bool> taken{false};
    ThreadMarks* next = nullptr; // every record made, never unlinked
};

// This thread's control block, the identity the records hold: one read,
// where pthread_self is a call.
inline const void* currentThread() {
#if defined(__x86_64__) && defined(__linux__)
    const void* self;
    __asm__("mov %%fs:0, %0" : "=r"(self));
    return self;
#else
    return reinterpret_cast<const void*>(pthread_self());
#endif
}

// This thread's record, taken on first use; null while the thread ends (its
// record is then free for the next thread).
ThreadMarks* ownMarks();

// One thread's use of an Ownership, for a scope: through the bias, through
// the lock word, or inside a use of its own on the same thread (nothing to
// do). Another thread's use meanwhile throws std::logic_error.
class OwnerUse {
public:
    explicit OwnerUse(Ownership& o) : o_(o) {
        const void* me = currentThread();
        ThreadMarks* biased = o.bias.load(std::memory_order_relaxed);
        if (biased && biased->thread.load(std::memory_order_relaxed) == me) {
            const void* inside = biased->inside.load(std::memory_order_relaxed);
            if (inside == &o) return; // a use inside its own use: the mark stands
            if (!inside) {
                biased->inside.store(&o, std::memory_order_relaxed);
                // Only the compiler is held back: a thread taking over
                // orders this store before its read with a barrier.
                std::atomic_signal_fence(std::memory_order_seq_cst);
                if (o.bias.load(std::memory_order_relaxed) == biased) {
                    marks_ = biased;
                    return;
                }
                // Being taken over: the lock word decides.
                biased->inside.store(nullptr, std::memory_order_release);
            }
        }
        if (o.owner.load(std::memory_order_relaxed) == me) return;
        enterLocked(me);
        locked_ = true;
    }
    ~OwnerUse() {
        if (marks_)
            marks_->inside.store(nullptr, std::memory_order_release);
        else if (locked_)
            leaveLocked();
    }
    OwnerUse(const OwnerUse&) = delete;
    OwnerUse& operator=(const OwnerUse&) = delete;

private:
    Ownership& o_;
    ThreadMarks* marks_ = nullptr;
    bool locked_ = false;
    void enterLocked(const void* me);
    void leaveLocked() noexcept;
};

// How many records were made: one per thread alive at once, at most,
// rounded up to a page's (for tests).
std::size_t threadRecords();

// Whether biasing works in this process: registers for the barrier once.
bool biasAvailable();

// Makes every thread's earlier stores visible to this thread's later loads;
// false if the kernel refused.
bool barrierAllThreads();

} // namespace velmoratrix
