// The one-thread-at-a-time rule on its own, without an evaluator: also built
// under ThreadSanitizer, which checks that whatever a thread did inside is
// seen by the next thread inside.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ownership.h"

#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace velmoratrix;

namespace {

// A use by another thread: whether it was refused.
bool refusedElsewhere(Ownership& o) {
    bool refused = false;
    std::thread([&] {
        try {
            OwnerUse use(o);
        } catch (const std::logic_error&) {
            refused = true;
        }
    }).join();
    return refused;
}

} // namespace

// The thread that keeps using it gets the bias and enters by its mark; a
// use inside its own use, or of a second one, is the same use; another
// thread is refused while it is inside and takes it over once it has left.
TEST(OwnershipTest, TheBiasedThreadEntersByItsMarkAndOthersWaitTheirTurn) {
#if defined(__linux__) && defined(__NR_membarrier)
    // Biased wherever the kernel offers the barrier.
    const long commands = syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    EXPECT_EQ(biasAvailable(),
              commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
                  syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0);
#endif
    Ownership o, second;
    { OwnerUse first(o); }
    if (biasAvailable()) {
        ASSERT_NE(ownMarks(), nullptr);
        ASSERT_EQ(o.bias.load(), ownMarks());
        OwnerUse use(o);
        EXPECT_EQ(ownMarks()->inside.load(), &o);
        EXPECT_EQ(o.owner.load(), nullptr); // no lock word taken
        { OwnerUse again(o); }
        { OwnerUse other(second); } // marks hold o: the lock word
        EXPECT_EQ(ownMarks()->inside.load(), &o);
        EXPECT_TRUE(refusedElsewhere(o));
        EXPECT_FALSE(refusedElsewhere(second));
    }
    EXPECT_FALSE(refusedElsewhere(o)); // takes the bias away
    EXPECT_EQ(o.bias.load(), nullptr);
    std::thread([&] {
        for (int k = 0; k < 100; ++k) OwnerUse use(o);
        if (biasAvailable()) {
            EXPECT_EQ(o.bias.load(), ownMarks()); // after a longer streak
        }
        OwnerUse use(o);
        EXPECT_TRUE(refusedElsewhere(o));
    }).join();
    { OwnerUse back(o); }
    EXPECT_EQ(ownMarks()->inside.load(), nullptr);
}

// A thread's record is free again when the thread ends: threads that come
// after others have ended take their records, and make none.
TEST(OwnershipTest, RecordsOfEndedThreadsServeTheNext) {
    Ownership o;
    auto batch = [&] {
        constexpr int kThreads = 70; // more than a page holds
        std::atomic<int> arrived{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                try {
                    OwnerUse use(o);
                } catch (const std::logic_error&) {
                }
                ASSERT_NE(ownMarks(), nullptr);
                for (++arrived; arrived.load() < kThreads;) std::this_thread::yield();
            });
        for (std::thread& t : threads) t.join();
    };
    batch();
    const std::size_t records = threadRecords();
    batch();
    EXPECT_EQ(threadRecords(), records);
}

// Threads using one Ownership as fast as they can, in runs that move the
// bias, refused at times: never two inside at once, and what each did inside
// (a plain counter) is seen by the next.
TEST(OwnershipTest, NeverTwoInsideAtOnce) {
    Ownership o;
    std::atomic<int> inside{0}, overlaps{0};
    long counter = 0; // changed only inside, by plain increments
    std::atomic<long> entered{0};
    std::atomic<int> ready{0};
    auto work = [&](int seed) {
        long mine = 0;
        for (++ready; ready.load() < 3;) { // all at once
        }
        for (int k = 0; k < 200000; ++k) {
            const int run = (k + seed) % 97 == 0 ? 60 : 1;
            for (int r = 0; r < run; ++r) {
                try {
                    OwnerUse use(o);
                    if (inside.fetch_add(1, std::memory_order_relaxed) != 0) ++overlaps;
                    ++counter;
                    ++mine;
                    inside.fetch_sub(1, std::memory_order_relaxed);
                } catch (const std::logic_error&) {
                }
            }
        }
        entered += mine;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(work, t * 31);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, entered.load()); // no increment lost
    EXPECT_GT(counter, 0);
}
