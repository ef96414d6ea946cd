// Books spread over worker processes, their outcomes handed back in order.
//
// On POSIX the workers are fork()ed copies of this process, made after the module is loaded,
// so each calls its own copy of the module, one book at a time (the module keeps one document
// and must not be shared). They take the next book from a counter in a shared page, so a slow
// book holds up one worker rather than a fixed share, and send each outcome back over their
// own pipe as a frame: a header of sizes, then the bytes. On Windows the books are read in
// this process one after the other: there is no fork, and a file manager user there has the
// plug-in itself.
#include "tools/cli/workers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <new>
#include <vector>

#ifndef _WIN32
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

namespace velarin::cli {
namespace {

BookOutcome LostOutcome(size_t i, const std::string& why, const LostBook& lost) {
  BookOutcome outcome;
  if (lost) outcome = lost(i, why);
  else outcome.err = "velarin: book " + std::to_string(i + 1) + ": " + why + "\n";
  outcome.failed = true;
  return outcome;
}

// work(i), where an exception (memory running out on a huge book) fails that book alone.
BookOutcome Attempt(size_t i, const std::function<BookOutcome(size_t)>& work, const LostBook& lost) {
  try {
    return work(i);
  } catch (const std::exception& e) {
    return LostOutcome(i, std::string("cannot be read: ") + e.what(), lost);
  }
}

void RunHere(size_t count, const std::function<BookOutcome(size_t)>& work,
             const std::function<void(size_t, const BookOutcome&)>& deliver, const LostBook& lost) {
  for (size_t i = 0; i < count; ++i) deliver(i, Attempt(i, work, lost));
}

#ifndef _WIN32

constexpr size_t kMaxWorkers = 64;                // more would only cost descriptors and memory
constexpr std::uint64_t kMaxFrameBytes = 1u << 30;  // one book's output and messages
constexpr std::uint64_t kIdle = UINT64_MAX;

// The page the workers share with this process.
struct Shared {
  std::atomic<std::uint64_t> next;                   // the next book to hand out
  std::atomic<std::uint64_t> current[kMaxWorkers];  // the book each worker slot is on, or kIdle
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the counters are shared between processes");

// A frame: index, failed, out size, err size, then out and err.
constexpr size_t kHeaderWords = 4;
constexpr size_t kHeaderBytes = kHeaderWords * sizeof(std::uint64_t);

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

[[noreturn]] void WorkerMain(Shared* shared, size_t slot, int fd, size_t count,
                             const std::function<BookOutcome(size_t)>& work, const LostBook& lost) {
  for (;;) {
    const std::uint64_t i = shared->next.fetch_add(1);
    if (i >= count) break;
    shared->current[slot].store(i);
    BookOutcome outcome = Attempt(size_t(i), work, lost);
    if (outcome.out.size() + outcome.err.size() > kMaxFrameBytes)
      outcome = LostOutcome(size_t(i), "too much to show for one book", lost);
    const std::uint64_t header[kHeaderWords] = {i, outcome.failed ? 1u : 0u, outcome.out.size(),
                                                outcome.err.size()};
    // a write fails when this process's parent is gone: nobody wants the rest
    if (!WriteAll(fd, reinterpret_cast<const char*>(header), kHeaderBytes) ||
        !WriteAll(fd, outcome.out.data(), outcome.out.size()) ||
        !WriteAll(fd, outcome.err.data(), outcome.err.size()))
      ::_exit(1);
    shared->current[slot].store(kIdle);
  }
  ::_exit(0);
}

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::string buffer;  // bytes read, not yet a whole frame
  bool garbled = false;
};

class Pool {
 public:
  Pool(Shared* shared, size_t count, const std::function<BookOutcome(size_t)>& work,
       const std::function<void(size_t, const BookOutcome&)>& deliver, const LostBook& lost)
      : shared_(shared), count_(count), work_(work), deliver_(deliver), lost_(lost), done_(count, false) {}

  void Run(size_t workers) {
    workers_.resize(workers);
    respawnsLeft_ = count_;
    for (size_t slot = 0; slot < workers; ++slot) Spawn(slot);
    while (Live() > 0) Wait();
    Finish();
  }

 private:
  size_t Live() const {
    size_t n = 0;
    for (const Worker& w : workers_) n += w.fd >= 0;
    return n;
  }

  bool Spawn(size_t slot) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t parent = ::getpid();
    // what this process has buffered must not be written twice
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      return false;
    }
    if (pid == 0) {
#ifdef __linux__
      // a parent killed (velarin show | head) takes its workers with it at once
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(1);
#endif
      ::close(fds[0]);
      for (const Worker& other : workers_)
        if (other.fd >= 0) ::close(other.fd);
      WorkerMain(shared_, slot, fds[1], count_, work_, lost_);
    }
    ::close(fds[1]);
    Worker& w = workers_[slot];
    w.pid = pid;
    w.fd = fds[0];
    w.buffer.clear();
    w.garbled = false;
    return true;
  }

  void Wait() {
    std::vector<pollfd> polled;
    std::vector<size_t> slots;
    for (size_t slot = 0; slot < workers_.size(); ++slot)
      if (workers_[slot].fd >= 0) {
        polled.push_back({workers_[slot].fd, POLLIN, 0});
        slots.push_back(slot);
      }
    if (::poll(polled.data(), nfds_t(polled.size()), -1) < 0) {
      if (errno == EINTR) return;
      // cannot wait on the pipes: stop the workers, Finish reads the rest here
      for (size_t slot : slots) Stop(slot);
      return;
    }
    for (size_t k = 0; k < polled.size(); ++k)
      if (polled[k].revents) ReadFrom(slots[k]);
  }

  void ReadFrom(size_t slot) {
    Worker& w = workers_[slot];
    char chunk[65536];
    const ssize_t n = ::read(w.fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      End(slot);
      return;
    }
    w.buffer.append(chunk, size_t(n));
    size_t at = 0;
    while (w.buffer.size() - at >= kHeaderBytes) {
      std::uint64_t header[kHeaderWords];
      std::memcpy(header, w.buffer.data() + at, kHeaderBytes);
      const std::uint64_t index = header[0], outSize = header[2], errSize = header[3];
      if (index >= count_ || done_[index] || header[1] > 1 || outSize > kMaxFrameBytes ||
          errSize > kMaxFrameBytes - outSize) {
        w.garbled = true;
        ::kill(w.pid, SIGKILL);
        End(slot);
        return;
      }
      if (w.buffer.size() - at - kHeaderBytes < outSize + errSize) break;
      BookOutcome outcome;
      outcome.failed = header[1] != 0;
      outcome.out.assign(w.buffer, at + kHeaderBytes, size_t(outSize));
      outcome.err.assign(w.buffer, at + kHeaderBytes + size_t(outSize), size_t(errSize));
      at += kHeaderBytes + size_t(outSize + errSize);
      Keep(size_t(index), std::move(outcome));
    }
    w.buffer.erase(0, at);
    DeliverReady();
  }

  void Keep(size_t index, BookOutcome outcome) {
    done_[index] = true;
    early_.emplace(index, std::move(outcome));
  }

  void DeliverReady() {
    for (auto it = early_.find(delivered_); it != early_.end(); it = early_.find(delivered_)) {
      deliver_(delivered_, it->second);
      early_.erase(it);
      ++delivered_;
    }
  }

  void Stop(size_t slot) {
    ::kill(workers_[slot].pid, SIGKILL);
    End(slot);
  }

  // The worker's pipe is closed: collects it, fails the book it was on, and starts another
  // worker when books are left.
  void End(size_t slot) {
    Worker& w = workers_[slot];
    ::close(w.fd);
    w.fd = -1;
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    const bool clean = !w.garbled && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (clean) return;
    if (w.garbled) why_ = "the worker reading it sent a garbled answer";
    else if (WIFSIGNALED(status)) why_ = "the worker reading it stopped (signal " + std::to_string(WTERMSIG(status)) + ")";
    else why_ = "the worker reading it stopped (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    const std::uint64_t book = shared_->current[slot].exchange(kIdle);
    if (book < count_ && !done_[book]) Keep(size_t(book), LostOutcome(size_t(book), why_, lost_));
    DeliverReady();
    if (shared_->next.load() < count_ && respawnsLeft_ > 0) {
      --respawnsLeft_;
      Spawn(slot);
    }
  }

  // No worker left: books handed out but never answered were lost with a worker; books never
  // handed out (no worker could be started) are read here.
  void Finish() {
    const std::uint64_t handedOut = std::min<std::uint64_t>(shared_->next.load(), count_);
    for (size_t i = delivered_; i < count_; ++i) {
      if (!done_[i]) Keep(i, i < handedOut ? LostOutcome(i, why_, lost_) : Attempt(i, work_, lost_));
      DeliverReady();
    }
  }

  Shared* shared_;
  size_t count_;
  const std::function<BookOutcome(size_t)>& work_;
  const std::function<void(size_t, const BookOutcome&)>& deliver_;
  const LostBook& lost_;
  std::vector<Worker> workers_;
  std::vector<bool> done_;                 // answered (delivered or waiting its turn)
  std::map<size_t, BookOutcome> early_;  // answered ahead of its turn
  size_t delivered_ = 0;
  size_t respawnsLeft_ = 0;
  std::string why_ = "the worker reading it stopped";
};

size_t WorkerCount(size_t count, int jobs) {
  long n = jobs;
  if (n <= 0) n = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) n = 1;
  return std::min({size_t(n), count, kMaxWorkers});
}

#endif

}  // namespace

void RunOrdered(size_t count, int jobs, const std::function<BookOutcome(size_t)>& work,
                const std::function<void(size_t, const BookOutcome&)>& deliver, const LostBook& lost) {
#ifdef _WIN32
  (void)jobs;
  RunHere(count, work, deliver, lost);
#else
  const size_t workers = WorkerCount(count, jobs);
  void* page = workers > 1 ? ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)
                           : MAP_FAILED;
  if (page == MAP_FAILED) {
    RunHere(count, work, deliver, lost);
    return;
  }
  Shared* shared = new (page) Shared;
  shared->next.store(0);
  for (auto& c : shared->current) c.store(kIdle);
  Pool(shared, count, work, deliver, lost).Run(workers);
  shared->~Shared();
  ::munmap(page, sizeof(Shared));
#endif
}

}  // namespace velarin::cli
