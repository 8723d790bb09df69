#pragma once
// Work that may block for good when the code under test is faulty: it runs
// on a thread of its own, and the test waits for it a limited time.

#include <chrono>
#include <future>
#include <utility>

namespace orvalis::testing {

// Runs work and waits up to limit for it. If it has not finished by then,
// unblock() is called so that it can end and be joined, and the result is
// false.
template <class Work, class Unblock>
bool finishesWithin(std::chrono::milliseconds limit, Work work, Unblock unblock) {
  auto done = std::async(std::launch::async, std::move(work));
  if (done.wait_for(limit) == std::future_status::ready) {
    done.get();
    return true;
  }
  unblock();
  done.get();
  return false;
}

}  // namespace orvalis::testing
