// Threads that live with the library, for work split into chunks of rows.
// The caller takes chunks too, so a call never waits for an idle pool; a
// child process after fork starts a pool of its own.
#pragma once

#include <cstddef>
#include <functional>

#include "evaluator.h"

namespace velmoratrix {

// The most threads a call uses, the caller's included: a larger count asks
// for this many.
constexpr std::size_t kMostThreads = 256;

// Calls body(first, last) for consecutive ranges that tile [0, count), each
// at least `grain` long but for the last, on up to `threads` threads (0: the
// default). Returns when every range is done; rethrows the first exception a
// range threw.
void forEachRange(std::size_t count, std::size_t threads, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body);

} // namespace velmoratrix
