#include "platform/CoreFoundation.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

struct CFRunLoop {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> blocks;
  // Delayed blocks by due time; equal times keep their posting order.
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> delayed;
  bool stop_requested = false;
  bool woken = false;
  CFRunLoop* next_made = nullptr;
};

namespace {
// Every loop ever made, newest first. Loops are never freed (another thread
// may still post to one whose thread has ended); the list keeps them
// reachable, which says so to leak checkers too.
std::atomic<CFRunLoop*> loops_made{nullptr};

CFRunLoop* make_loop() {
  auto* loop = new CFRunLoop;
  loop->next_made = loops_made.load(std::memory_order_relaxed);
  while (!loops_made.compare_exchange_weak(loop->next_made, loop, std::memory_order_release,
                                           std::memory_order_relaxed)) {
  }
  return loop;
}
}  // namespace

CFRunLoopRef CFRunLoopGetCurrent() noexcept {
  thread_local CFRunLoop* loop = make_loop();
  return loop;
}

namespace {
// Moves every delayed block that is due to the end of the queue; the
// caller holds the loop's mutex.
void queue_due_blocks(CFRunLoop* loop) {
  const auto now = std::chrono::steady_clock::now();
  while (!loop->delayed.empty() && loop->delayed.begin()->first <= now) {
    loop->blocks.push_back(std::move(loop->delayed.begin()->second));
    loop->delayed.erase(loop->delayed.begin());
    loop->woken = true;
  }
}
}  // namespace

void CFRunLoopRun() noexcept {
  CFRunLoop* loop = CFRunLoopGetCurrent();
  std::unique_lock lock(loop->mutex);
  loop->stop_requested = false;
  while (!loop->stop_requested) {
    queue_due_blocks(loop);
    if (!loop->woken || loop->blocks.empty()) {
      // Woken by a post, a stop, a new delayed block or its deadline; any
      // of them is looked at afresh from the top.
      if (loop->delayed.empty())
        loop->wake.wait(lock);
      else
        (void)loop->wake.wait_until(lock, loop->delayed.begin()->first);
      continue;
    }
    while (!loop->stop_requested && !loop->blocks.empty()) {
      std::function<void()> block = std::move(loop->blocks.front());
      loop->blocks.pop_front();
      lock.unlock();
      try {
        block();
      } catch (...) {
        // A block must not take the loop down with it.
      }
      lock.lock();
    }
    loop->woken = !loop->blocks.empty();
  }
}

void CFRunLoopStop(CFRunLoopRef loop) noexcept {
  if (!loop) return;
  {
    std::lock_guard lock(loop->mutex);
    loop->stop_requested = true;
  }
  loop->wake.notify_all();
}

void CFRunLoopPerformBlock(CFRunLoopRef loop, std::function<void()> block) noexcept {
  if (!loop || !block) return;
  try {
    std::lock_guard lock(loop->mutex);
    loop->blocks.push_back(std::move(block));
  } catch (...) {
    // Out of memory: the block is dropped, as a lost event would be.
  }
}

void CFRunLoopWakeUp(CFRunLoopRef loop) noexcept {
  if (!loop) return;
  {
    std::lock_guard lock(loop->mutex);
    loop->woken = true;
  }
  loop->wake.notify_all();
}

void CFRunLoopPerformBlockAfter(CFRunLoopRef loop, std::chrono::milliseconds delay,
                                std::function<void()> block) noexcept {
  if (!loop || !block) return;
  try {
    std::lock_guard lock(loop->mutex);
    loop->delayed.emplace(std::chrono::steady_clock::now() + delay, std::move(block));
  } catch (...) {
    // Out of memory: the block is dropped, as a lost event would be.
  }
  // The loop may be asleep with no deadline, or a later one.
  loop->wake.notify_all();
}
