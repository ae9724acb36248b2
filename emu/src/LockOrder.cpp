// Spin lock order: one graph of "taken while holding" edges for all threads.
#include "LockOrder.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emu/BugCheck.h"

namespace emu {
namespace internal {
namespace {

// Where an edge was first seen, for the report.
struct Origin {
  unsigned thread;
  const char* service;
};

struct State {
  std::mutex lock;
  // taken[a][b]: b was taken while a was held.
  std::map<const void*, std::map<const void*, Origin>> taken;
  // heldWhile[b]: the locks a of the edges a -> b, to forget b quickly.
  std::map<const void*, std::set<const void*>> heldWhile;
  // taken.size(), stored under the lock after each change and read without
  // it by LockOrderForget, which every pool free calls: while no spin lock
  // was ever taken inside another, there is nothing to forget and no lock
  // to take.
  std::atomic<size_t> sources{0};
};

State& S() {
  static State* state = new State;  // never destroyed: threads may outlive main
  return *state;
}

std::atomic<unsigned> threadCount{0};

unsigned ThreadNumber() {
  thread_local unsigned number = ++threadCount;
  return number;
}

// The spin locks the calling thread holds, oldest first. Few at a time.
std::vector<const void*>& Held() {
  thread_local std::vector<const void*> held;
  return held;
}

// A path from `from` to `to` through the edges, as the list of locks on it
// (empty when there is none); lock held.
bool FindPath(const State& s, const void* from, const void* to, std::set<const void*>* seen,
              std::vector<const void*>* path) {
  path->push_back(from);
  if (from == to)
    return true;
  auto it = s.taken.find(from);
  if (it != s.taken.end()) {
    for (const auto& edge : it->second) {
      if (seen->insert(edge.first).second && FindPath(s, edge.first, to, seen, path))
        return true;
    }
  }
  path->pop_back();
  return false;
}

}  // namespace

void LockOrderAcquiring(const void* lock, const char* service) {
  std::vector<const void*>& held = Held();
  unsigned me = ThreadNumber();
  if (held.empty()) {
    held.push_back(lock);
    return;
  }
  State& s = S();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    for (const void* h : held) {
      // Taking `lock` while holding h adds h -> lock; a path lock -> ... -> h
      // seen before closes a cycle.
      std::set<const void*> seen{lock};
      std::vector<const void*> path;
      if (!FindPath(s, lock, h, &seen, &path))
        continue;
      std::string chain;
      for (size_t i = 0; i + 1 < path.size(); ++i) {
        const Origin& o = s.taken.at(path[i]).at(path[i + 1]);
        char step[160];
        snprintf(step, sizeof step, "%s%p then %p (thread %u, %s)", i ? ", " : "",
                 path[i], path[i + 1], o.thread, o.service);
        chain += step;
      }
      BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
               "deadlock: thread %u holds spin lock %p and takes spin lock %p (%s), but they were "
               "taken in the opposite order before: %s; two threads taking them at once would "
               "wait for each other forever",
               me, h, lock, service, chain.c_str());
    }
    for (const void* h : held) {
      if (h == lock)
        continue;
      s.taken[h].emplace(lock, Origin{me, service});
      s.heldWhile[lock].insert(h);
    }
    s.sources.store(s.taken.size(), std::memory_order_release);
  }
  held.push_back(lock);
}

void LockOrderReleased(const void* lock) {
  std::vector<const void*>& held = Held();
  for (auto it = held.end(); it != held.begin();) {
    --it;
    if (*it == lock) {
      held.erase(it);
      return;
    }
  }
}

void LockOrderForget(const void* start, size_t bytes) {
  auto* first = static_cast<const char*>(start);
  State& s = S();
  if (s.sources.load(std::memory_order_acquire) == 0)
    return;
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.taken.empty())
    return;
  auto forget = [&s](const void* lock) {
    auto after = s.taken.find(lock);
    if (after != s.taken.end()) {
      for (const auto& edge : after->second) s.heldWhile[edge.first].erase(lock);
      s.taken.erase(after);
    }
    auto before = s.heldWhile.find(lock);
    if (before != s.heldWhile.end()) {
      for (const void* h : before->second) s.taken[h].erase(lock);
      s.heldWhile.erase(before);
    }
  };
  std::vector<const void*> gone;
  for (auto it = s.taken.lower_bound(first); it != s.taken.end() && it->first < first + bytes; ++it)
    gone.push_back(it->first);
  for (auto it = s.heldWhile.lower_bound(first);
       it != s.heldWhile.end() && it->first < first + bytes; ++it)
    gone.push_back(it->first);
  for (const void* lock : gone) forget(lock);
  s.sources.store(s.taken.size(), std::memory_order_release);
}

}  // namespace internal
}  // namespace emu
