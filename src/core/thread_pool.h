#pragma once
// The layer's one pool of worker threads, the only place where a thread of ours starts.
//
// A job is a count of tasks; the workers and the calling thread take tasks from it until none is
// left, and the caller returns once every task has finished. Several callers may run jobs at
// once: each also works on its own, so every job progresses. A task never throws across the
// pool: what it throws is kept, and the caller rethrows the one of the lowest task index, so the
// error does not depend on timing. A worker sees only the task function and its index.
#include <cstddef>
#include <type_traits>

namespace quantelle {

// How many threads a job may use, the caller among them (at least 1; 1 until set). Workers
// start when a job first needs them and are never stopped: they outlive every call and the
// interpreter. A child process after fork() starts with no workers (its parent's do not exist
// there) and makes its own on its first job.
void set_pool_threads(std::size_t n) noexcept;
[[nodiscard]] std::size_t pool_threads() noexcept;

namespace pool_detail {
void run_erased(std::size_t count, void (*call)(void*, std::size_t), void* fn);
}

// Runs task(i) for every i below count on at most pool_threads() threads, the caller among them;
// returns once all have finished, rethrowing what the lowest failing index threw.
template <class Fn>
void run_parallel(std::size_t count, Fn&& task) {
  using F = std::remove_reference_t<Fn>;
  pool_detail::run_erased(
      count, [](void* fn, std::size_t i) { (*static_cast<F*>(fn))(i); },
      const_cast<void*>(static_cast<const void*>(&task)));
}

}  // namespace quantelle
