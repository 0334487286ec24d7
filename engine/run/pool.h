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
// default). Returns when every range is done or passed over: once a range
// has thrown, those not yet begun are not run, and the first exception is
// rethrown.
void forEachRange(std::size_t count, std::size_t threads, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body);

// Whether a range of the call this thread works for has thrown: a body that
// takes long over its range (calling out block by block) stops early.
bool rangeFailed();

} // namespace velmoratrix
