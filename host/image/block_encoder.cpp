// Changed blocks coded on worker threads owned by one write, written in
// block order by the writing thread, which codes too while it waits.
#include "block_encoder.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "frame_buffer.h"

namespace lumatrice {
namespace {

std::atomic<int> g_thread_cap{0};
// Writes under way in this process: each takes the cores the others leave.
std::atomic<int> g_active_writes{0};

int WorkersFor(int jobs) {
  const int cap = g_thread_cap.load();
  int workers = cap;
  if (workers <= 0) {
    const int cores = std::max(1, int(std::thread::hardware_concurrency()));
    workers = std::max(1, cores - (g_active_writes.load() - 1));
  }
  return std::clamp(std::min(workers, jobs), 1, kMaxEncodeWorkers);
}

// The unique coding jobs, in order of first use (block order), and which
// job each changed block takes its bytes from.
struct Plan {
  std::vector<int> job_block;  // by job: the block coded
  std::vector<int> block_job;  // by block: the job, -1 when unchanged
  std::vector<int> last_use;   // by job: the last block that needs its bytes
};

Plan MakePlan(const std::vector<int>& twins) {
  Plan p;
  p.block_job.assign(twins.size(), -1);
  for (std::size_t b = 0; b < twins.size(); ++b) {
    if (twins[b] < 0) continue;
    if (twins[b] == int(b)) {
      p.block_job[b] = int(p.job_block.size());
      p.job_block.push_back(int(b));
      p.last_use.push_back(int(b));
    } else {
      p.block_job[b] = p.block_job[std::size_t(twins[b])];
      p.last_use[std::size_t(p.block_job[b])] = int(b);
    }
  }
  return p;
}

struct Job {
  BlockBytes bytes;
  std::string error;
  bool done = false, ok = false;
};

// The shared state of one write's workers.
class Queue {
 public:
  Queue(const Plan& plan, const BlockCoder& coder, const std::atomic<bool>* cancel, int window)
      : plan_(plan), coder_(coder), cancel_(cancel), window_(window),
        jobs_(plan.job_block.size()) {}

  // A helper thread: codes jobs until none is left or the write stops.
  void Work(int worker) {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return stop_ || !Claimable() || next_ < front_ + window_; });
      if (stop_ || !Claimable()) return;
      Code(worker, lock);
    }
  }

  // The writer: job j's bytes once coded, coding others meanwhile; null
  // when stopped.
  Job* Await(int j) {
    std::unique_lock lock(mutex_);
    while (!jobs_[std::size_t(j)].done && !stop_) {
      if (Claimable() && next_ < front_ + window_)
        Code(0, lock);
      else
        ready_.wait(lock);
    }
    return stop_ ? nullptr : &jobs_[std::size_t(j)];
  }

  // The writer has taken job j's bytes for block b.
  void Written(int j, int b) {
    std::lock_guard lock(mutex_);
    front_ = std::max(front_, j + 1);
    if (plan_.last_use[std::size_t(j)] == b) BlockBytes().swap(jobs_[std::size_t(j)].bytes);
    ready_.notify_all();
  }

  void Stop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    ready_.notify_all();
  }

 private:
  bool Claimable() const { return next_ < int(jobs_.size()); }

  // Codes the next job with the lock released.
  void Code(int worker, std::unique_lock<std::mutex>& lock) {
    const int j = next_++;
    Job& job = jobs_[std::size_t(j)];
    lock.unlock();
    const bool cancelled = cancel_ && cancel_->load();
    job.ok = !cancelled && coder_.encode(worker, plan_.job_block[std::size_t(j)], job.bytes,
                                         job.error);
    if (cancelled) job.error = "cancelled";
    lock.lock();
    job.done = true;
    if (cancelled) stop_ = true;
    ready_.notify_all();
  }

  const Plan& plan_;
  const BlockCoder& coder_;
  const std::atomic<bool>* cancel_;
  const int window_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Job> jobs_;
  int next_ = 0;   // the next job to claim
  int front_ = 0;  // jobs before it are written
  bool stop_ = false;
};

bool WriteAll(const BlockFile& file, const std::vector<char>& changed, const Plan& plan,
              const BlockCoder& coder, Queue& queue, const std::atomic<bool>* cancel,
              SpliceCounts& counts, std::string& error) {
  for (int b = 0; b < file.count(); ++b) {
    if (cancel && cancel->load()) return error = "cancelled", false;
    if (!changed[std::size_t(b)]) {
      if (!coder.write(b, nullptr, error)) return false;
      ++counts.copied;
      continue;
    }
    const int j = plan.block_job[std::size_t(b)];
    const Job* job = queue.Await(j);
    if (!job) return error = "cancelled", false;
    if (!job->ok) return error = job->error, false;
    if (!coder.write(b, &job->bytes, error)) return false;
    queue.Written(j, b);
    ++counts.encoded;
    if (plan.job_block[std::size_t(j)] != b) ++counts.reused;
  }
  return true;
}

}  // namespace

void SetBlockEncodeThreads(int threads) { g_thread_cap.store(std::max(0, threads)); }

void BlockExtent(const BlockFile& file, const FrameBuffer& frame, int b, int& x, int& y, int& w,
                 int& h) {
  x = (b % file.blocks_x) * file.block_w;
  y = (b / file.blocks_x) * file.block_h;
  w = std::min(file.block_w, frame.width() - x);
  h = std::min(file.block_h, frame.height() - y);
}

std::vector<int> PixelTwins(const BlockFile& file, const FrameBuffer& frame,
                            const std::vector<char>& changed) {
  std::vector<int> twins(changed.size(), -1);
  std::unordered_multimap<std::size_t, int> seen;
  auto rows = [&](int b, int r) {
    int x, y, w, h;
    BlockExtent(file, frame, b, x, y, w, h);
    return std::string_view(reinterpret_cast<const char*>(frame.row(y + r)) +
                                std::size_t(x) * frame.pixel_bytes(),
                            std::size_t(w) * frame.pixel_bytes());
  };
  for (int b = 0; b < file.count(); ++b) {
    if (!changed[std::size_t(b)]) continue;
    int x, y, w, h;
    BlockExtent(file, frame, b, x, y, w, h);
    std::size_t key = std::hash<std::size_t>()(std::size_t(w) << 32 | std::size_t(h));
    for (int r = 0; r < h; ++r) key = key * 31 + std::hash<std::string_view>()(rows(b, r));
    twins[std::size_t(b)] = b;
    const auto [first, last] = seen.equal_range(key);
    for (auto it = first; it != last; ++it) {
      int ox, oy, ow, oh;
      BlockExtent(file, frame, it->second, ox, oy, ow, oh);
      bool same = ow == w && oh == h;
      for (int r = 0; same && r < h; ++r) same = rows(b, r) == rows(it->second, r);
      if (same) {
        twins[std::size_t(b)] = it->second;
        break;
      }
    }
    if (twins[std::size_t(b)] == b) seen.emplace(key, b);
  }
  return twins;
}

Status WriteBlocksInOrder(const BlockFile& file, const FrameBuffer& frame,
                          const std::vector<char>& changed, const BlockCoder& coder,
                          const std::atomic<bool>* cancel, SpliceCounts& counts) {
  const Plan plan = MakePlan(PixelTwins(file, frame, changed));
  struct Active {
    Active() { ++g_active_writes; }
    ~Active() { --g_active_writes; }
  } active;
  const int workers = WorkersFor(int(plan.job_block.size()));
  // A few blocks ahead per worker keep them busy while the writer waits on
  // the disk, without holding the frame's coded bytes.
  Queue queue(plan, coder, cancel, 2 * workers + 2);
  std::vector<std::thread> helpers;
  for (int w = 1; w < workers; ++w) helpers.emplace_back([&queue, w] { queue.Work(w); });
  std::string error;
  const bool ok = WriteAll(file, changed, plan, coder, queue, cancel, counts, error);
  queue.Stop();
  for (std::thread& t : helpers) t.join();
  if (ok) return Status::Ok();
  if (cancel && cancel->load()) return Status::Cancelled();
  return {StatusKind::kIo, error};
}

}  // namespace lumatrice
