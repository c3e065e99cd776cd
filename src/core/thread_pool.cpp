#include "core/thread_pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace quantelle {
namespace {

// How long a thread that ran out of work spins before it sleeps on a condition variable. A
// sleeping thread takes 30 to 60 us to run again once woken (a two-core Zen 3 guest), a third
// of a 10k-row search; a caller's next search usually comes sooner than this, its Python side
// taking some 40 us.
constexpr auto kSpin = std::chrono::microseconds(100);

// Spins until done() or kSpin has passed; whether done() became true.
template <class Done>
bool spin_until(Done&& done) noexcept {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 0;; ++i) {
    if (done()) return true;
    __builtin_ia32_pause();
    if (i % 64 == 63 && std::chrono::steady_clock::now() >= until) return done();
  }
}

// A job lives on its caller's stack. Workers join it only while it is queued and leave it under
// the pool's lock, and the caller unqueues it and waits for every worker to leave before it
// returns, so no worker touches a job that is gone.
struct Job {
  Job(std::size_t n, void (*c)(void*, std::size_t), void* f, std::size_t allowed) noexcept
      : count(n), call(c), fn(f), helpers_allowed(allowed) {}

  std::size_t count;
  void (*call)(void*, std::size_t);
  void* fn;
  std::size_t helpers_allowed;         // workers beyond the caller
  std::atomic<std::size_t> helpers{0};  // workers inside it now (changed under the lock)
  std::atomic<std::size_t> next{0};    // the next task to take
  std::exception_ptr error;            // of the lowest failing task (under the lock)
  std::size_t error_task = 0;
  std::condition_variable left;        // a worker left (under the lock)
};

// Leaked on purpose, as every worker waits on it until the process ends: destroying it at exit
// would pull the lock from under a worker still waiting, or a daemon thread still searching.
struct State {
  std::mutex lock;
  std::condition_variable work;        // a job was queued
  std::vector<Job*> queue;             // jobs that may still have tasks to take
  std::atomic<std::size_t> queued{0};  // jobs ever queued: what a spinning worker watches
  std::size_t workers = 0;             // started, never stopped
  std::atomic<std::size_t> threads{1};
};

std::atomic<State*> g_state{nullptr};
std::mutex g_create;

void before_fork() noexcept {
  if (State* s = g_state.load()) s->lock.lock();
}
void after_fork_in_parent() noexcept {
  if (State* s = g_state.load()) s->lock.unlock();
}
// The parent's workers do not exist in the child, and its lock stays held there: start afresh
// (the old state is leaked, as a state always is), keeping the thread count.
void after_fork_in_child() noexcept {
  State* old = g_state.load();
  if (old == nullptr) return;
  auto* fresh = new (std::nothrow) State;
  if (fresh == nullptr) return;  // the child keeps a pool that can never start a job
  fresh->threads.store(old->threads.load());
  g_state.store(fresh);
}

State& state() {
  if (State* s = g_state.load(std::memory_order_acquire)) return *s;
  const std::lock_guard guard(g_create);
  if (g_state.load() == nullptr) {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    g_state.store(new State, std::memory_order_release);
  }
  return *g_state.load();
}

// Takes tasks until none is left; records a failure, keeping the lowest index.
void work_on(State& s, Job& job) {
  for (std::size_t i; (i = job.next.fetch_add(1, std::memory_order_relaxed)) < job.count;) {
    try {
      job.call(job.fn, i);
    } catch (...) {
      const std::lock_guard guard(s.lock);
      if (!job.error || i < job.error_task) {
        job.error = std::current_exception();
        job.error_task = i;
      }
    }
  }
}

void unqueue(State& s, Job* job) {
  s.queue.erase(std::remove(s.queue.begin(), s.queue.end(), job), s.queue.end());
}

[[noreturn]] void worker(State* s) {
  std::unique_lock guard(s->lock);
  for (;;) {
    Job* job = nullptr;
    const auto found = [&] {
      for (Job* j : s->queue) {
        if (j->helpers < j->helpers_allowed && j->next.load(std::memory_order_relaxed) < j->count) {
          job = j;
          return true;
        }
      }
      return false;
    };
    if (!found()) {
      const std::size_t seen = s->queued.load(std::memory_order_relaxed);
      guard.unlock();
      spin_until([&] { return s->queued.load(std::memory_order_relaxed) != seen; });
      guard.lock();
      s->work.wait(guard, found);
    }
    ++job->helpers;
    guard.unlock();
    work_on(*s, *job);
    guard.lock();
    unqueue(*s, job);  // nothing left to take
    if (--job->helpers == 0) job->left.notify_all();
  }
}

// Under the lock: workers enough for a job that wants `wanted` of them, as far as threads start.
void start_workers(State& s, std::size_t wanted) noexcept {
  while (s.workers < wanted) {
    try {
      std::thread(worker, &s).detach();
    } catch (const std::system_error&) {
      return;  // the jobs run on the threads there are
    }
    ++s.workers;
  }
}

}  // namespace

void set_pool_threads(std::size_t n) noexcept { state().threads.store(std::max<std::size_t>(n, 1)); }

std::size_t pool_threads() noexcept { return state().threads.load(); }

namespace pool_detail {

void run_erased(std::size_t count, void (*call)(void*, std::size_t), void* fn) {
  State& s = state();
  const std::size_t helpers = std::min(s.threads.load(), count) - (count == 0 ? 0 : 1);
  Job job(count, call, fn, helpers);
  if (helpers > 0) {
    const std::lock_guard guard(s.lock);
    start_workers(s, helpers);
    s.queue.push_back(&job);
    s.queued.fetch_add(1, std::memory_order_relaxed);
    s.work.notify_all();
  }
  work_on(s, job);
  if (helpers > 0) {
    std::unique_lock guard(s.lock);
    unqueue(s, &job);
    if (job.helpers != 0) {
      // A worker still in a last task: it finishes about when this thread did. Seeing no
      // helper is not enough to return: the last one leaves under the lock, taken again here.
      guard.unlock();
      spin_until([&] { return job.helpers.load(std::memory_order_relaxed) == 0; });
      guard.lock();
    }
    job.left.wait(guard, [&] { return job.helpers == 0; });
  }
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace pool_detail
}  // namespace quantelle
