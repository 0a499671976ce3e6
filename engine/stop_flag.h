// A request to stop a transfer, made from outside it (a signal handler sets it): the
// transfer looks at it before each piece, each read and each pause.
#pragma once

#include <atomic>

using StopFlag = std::atomic<bool>;

inline bool StopRequested(const StopFlag* stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }
