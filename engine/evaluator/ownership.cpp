// The lock word, the bias and the threads' records (ownership.h).
#include "ownership.h"

#include <new>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace velmoratrix;

namespace velmoratrix {
namespace {

std::atomic<ThreadMarks*> everyRecord{nullptr};
std::atomic<std::size_t> recordsMade{0};

// The record this thread holds; `ended` once its thread_local holder is
// gone, so that a call from a later destructor takes the lock word.
thread_local ThreadMarks* held = nullptr;
thread_local bool ended = false;

// The holder keeps the record itself: where thread_locals are emulated
// (mingw-w64), the others may be gone by the time it is destroyed.
struct Holder {
    ThreadMarks* record = nullptr;
    ~Holder() {
        ended = true;
        held = nullptr;
        if (!record) return;
        record->thread.store(nullptr, std::memory_order_relaxed);
        record->taken.store(false, std::memory_order_release);
    }
};

// In a child process only the forking thread lives. The others' records
// are free for new threads, but for one marked inside an evaluator: that
// call stays unfinished, and the evaluator refuses every thread, as it does
// when the lock word was held at the fork.
[[maybe_unused]] void freeOthersInChild() {
    for (ThreadMarks* r = everyRecord.load(std::memory_order_acquire); r; r = r->next) {
        if (r == held) continue;
        r->thread.store(nullptr, std::memory_order_relaxed);
        if (!r->inside.load(std::memory_order_relaxed))
            r->taken.store(false, std::memory_order_release);
    }
}

// Records come a page at a time from mmap, not from the heap, where one
// kept for good would pin whatever the heap grew to before it.
ThreadMarks* takeRecord() {
    for (ThreadMarks* r = everyRecord.load(std::memory_order_acquire); r; r = r->next) {
        bool free = false;
        if (!r->taken.load(std::memory_order_relaxed) &&
            r->taken.compare_exchange_strong(free, true, std::memory_order_acquire))
            return r;
    }
    constexpr std::size_t kPage = 4096, kCount = kPage / sizeof(ThreadMarks);
#ifdef _WIN32
    void* page = VirtualAlloc(nullptr, kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!page) return nullptr;
#else
    void* page = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return nullptr;
#endif
    recordsMade.fetch_add(kCount, std::memory_order_relaxed);
    auto* records = static_cast<ThreadMarks*>(page);
    for (std::size_t k = 0; k < kCount; ++k) new (records + k) ThreadMarks();
    for (std::size_t k = 0; k + 1 < kCount; ++k) records[k].next = records + k + 1;
    records[0].taken.store(true, std::memory_order_relaxed);
    ThreadMarks* last = records + kCount - 1;
    last->next = everyRecord.load(std::memory_order_relaxed);
    while (!everyRecord.compare_exchange_weak(last->next, records, std::memory_order_release)) {
    }
    return records;
}

[[maybe_unused]] long membarrier(int command) {
#if defined(__linux__) && defined(__NR_membarrier)
    return syscall(__NR_membarrier, command, 0, 0);
#else
    (void)command;
    return -1;
#endif
}

} // namespace

ThreadMarks* ownMarks() {
    if (held || ended) return held;
#ifndef _WIN32 // no fork there
    static const int watching = pthread_atfork(nullptr, nullptr, freeOthersInChild);
    (void)watching;
#endif
    thread_local Holder holder;
    held = holder.record = takeRecord();
    if (held) held->thread.store(currentThread(), std::memory_order_relaxed);
    return held;
}

std::size_t threadRecords() {
    return recordsMade.load(std::memory_order_relaxed);
}

bool biasAvailable() {
#if defined(__linux__) && defined(__NR_membarrier)
    enum : int { Unknown, Registering, Ready, Unavailable };
    static std::atomic<int> state{Unknown};
    int now = state.load(std::memory_order_acquire);
    if (now == Unknown && state.compare_exchange_strong(now, Registering)) {
        const long commands = membarrier(MEMBARRIER_CMD_QUERY);
        const bool ready = commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
                           membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
        now = ready ? Ready : Unavailable;
        state.store(now, std::memory_order_release);
    }
    return now == Ready; // while another thread registers: not yet
#else
    return false;
#endif
}

bool barrierAllThreads() {
#if defined(__linux__) && defined(__NR_membarrier)
    return membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0;
#else
    return false;
#endif
}

} // namespace velmoratrix

namespace {

// The lock word while a thread takes it, for as long as one barrier: a
// second thread waits for the outcome instead of being refused.
const char claiming = 0;

[[noreturn]] void refuseConcurrent() {
    throw std::logic_error("MathEvaluator: called while another thread is inside a call on the "
                           "same evaluator; use one evaluator per thread, or a lock around every "
                           "call");
}

} // namespace

void OwnerUse::enterLocked(const void* me) {
    // The record, its holder and the fork handler are made before the call
    // allocates anything, so that they do not pin the heap above what the
    // call frees.
    (void)ownMarks();
    for (;;) {
        const void* expected = nullptr;
        if (o_.owner.compare_exchange_strong(expected, &claiming, std::memory_order_acquire)) break;
        if (expected != &claiming) refuseConcurrent();
        std::this_thread::yield();
    }
    ThreadMarks* biased = o_.bias.load(std::memory_order_relaxed);
    if (biased && biased->thread.load(std::memory_order_relaxed) != me) {
        // Dekker's exclusion with the biased thread's entry: clear, then a
        // barrier, then read its marks.
        o_.bias.store(nullptr, std::memory_order_seq_cst);
        if (!barrierAllThreads() || biased->inside.load(std::memory_order_acquire) == &o_) {
            o_.bias.store(biased, std::memory_order_relaxed);
            o_.owner.store(nullptr, std::memory_order_release);
            refuseConcurrent();
        }
        if (o_.revocations < 16) ++o_.revocations;
        o_.streak = 0;
    }
    o_.owner.store(me, std::memory_order_relaxed);
}

// A thread that keeps calling gets the bias: at once the first time, and
// after a streak twice as long for every time the bias was taken away, so
// that threads taking turns pay a barrier seldom.
void OwnerUse::leaveLocked() noexcept {
    if (!o_.bias.load(std::memory_order_relaxed)) {
        const void* me = currentThread();
        if (o_.streakThread != me) {
            o_.streakThread = me;
            o_.streak = 0;
        }
        const unsigned needed = o_.revocations ? 16u << o_.revocations : 1u;
        if (++o_.streak >= needed && biasAvailable())
            if (ThreadMarks* mine = ownMarks()) o_.bias.store(mine, std::memory_order_relaxed);
    }
    o_.owner.store(nullptr, std::memory_order_release);
}
