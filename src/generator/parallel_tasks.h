// Work cut into numbered tasks, run on a few threads at once. What the
// tasks make must not depend on which thread runs them nor in which order,
// so that the result is the same for any number of threads.
#ifndef MENDRIX_GENERATOR_PARALLEL_TASKS_H_
#define MENDRIX_GENERATOR_PARALLEL_TASKS_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace mendrix {

// Runs task(i) for every i below count, on up to jobs threads, the calling
// thread one of them; each thread takes the next task not yet taken.
// shown(finished) is called on the calling thread after each task it ran,
// with the number of tasks finished by then, so that it can show how far
// the work is. Returns when every task is done.
template <typename TTask, typename TShown>
void RunTasks(std::size_t count, int jobs, const TTask& task, const TShown& shown) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  const auto work = [&](bool calling) {
    for (std::size_t i = next++; i < count; i = next++) {
      task(i);
      const std::size_t done = ++finished;
      if (calling) shown(done);
    }
  };
  const std::size_t helpers =
      std::min(count, static_cast<std::size_t>(std::max(jobs, 1))) - (count > 0 ? 1 : 0);
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(work, false);
  work(true);
  for (std::thread& thread : threads) thread.join();
}

template <typename TTask>
void RunTasks(std::size_t count, int jobs, const TTask& task) {
  RunTasks(count, jobs, task, [](std::size_t) {});
}

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_PARALLEL_TASKS_H_
