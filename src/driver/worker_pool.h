// A fixed team of threads that runs one job on every member, again and
// again, with the calling thread as member 0.
//
// Workload: one run() per batch of a few thousand records, so the threads
// are started once and meet at two barriers per batch; nothing is allocated
// per run.  With one member no thread is started at all.
#pragma once

#include <barrier>
#include <functional>
#include <thread>
#include <vector>

namespace grouper {

class WorkerPool {
 public:
  // `job(member)` is run on members 0..size-1 by every run().
  WorkerPool(int size, std::function<void(int)> job)
      : job_(std::move(job)), start_(size), done_(size) {
    for (int member = 1; member < size; ++member) {
      threads_.emplace_back([this, member] {
        for (;;) {
          start_.arrive_and_wait();
          if (stopping_) return;
          job_(member);
          done_.arrive_and_wait();
        }
      });
    }
  }

  ~WorkerPool() {
    stopping_ = true;
    if (!threads_.empty()) start_.arrive_and_wait();
    for (std::thread& t : threads_) t.join();
  }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(threads_.size()) + 1; }

  // Runs the job on every member and returns when all have finished.
  void run() {
    if (threads_.empty()) return job_(0);
    start_.arrive_and_wait();
    job_(0);
    done_.arrive_and_wait();
  }

 private:
  std::function<void(int)> job_;
  std::barrier<> start_;
  std::barrier<> done_;
  bool stopping_ = false;  // written before the start barrier, read after it
  std::vector<std::thread> threads_;
};

}  // namespace grouper
