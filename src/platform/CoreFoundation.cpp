#include "platform/CoreFoundation.h"

#include <condition_variable>
#include <deque>
#include <mutex>

struct CFRunLoop {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> blocks;
  bool stop_requested = false;
  bool woken = false;
};

CFRunLoopRef CFRunLoopGetCurrent() noexcept {
  // Deliberately never freed: other threads may still post to a loop whose
  // thread has ended, and afclink's threads live until the process does.
  thread_local CFRunLoop* loop = new CFRunLoop;
  return loop;
}

void CFRunLoopRun() noexcept {
  CFRunLoop* loop = CFRunLoopGetCurrent();
  std::unique_lock lock(loop->mutex);
  loop->stop_requested = false;
  while (!loop->stop_requested) {
    loop->wake.wait(lock, [loop] {
      return loop->stop_requested || (loop->woken && !loop->blocks.empty());
    });
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
