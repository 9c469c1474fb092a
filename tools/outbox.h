// outbox.h - the output of commands that scan several inputs at once: each input's lines go to
// stdout and stderr in input order, whatever order the inputs finish in.
#ifndef RSID_TOOL_OUTBOX_H
#define RSID_TOOL_OUTBOX_H

#include "audio_input.h" // stop_requested
#include "commands.h"    // output_error

#include <fmt/core.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rsid_tool {

// One flushed line on stdout: a reader at the other end of a pipe sees each report at once.
inline void emit_stdout(const std::string& line) {
    if (std::fputs(line.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0)
        throw output_error(std::string("stdout: ") + std::strerror(errno));
}

// What one input's scan says, in order: lines for stdout and messages for stderr. With one
// job they go out at once; with several, each input's lines wait until the inputs before it
// are done, so that the output is the same as with one job.
class outbox {
  public:
    explicit outbox(bool direct) : direct_(direct) {}
    void out(std::string line) { put({false, std::move(line)}); }
    void err(std::string line) { put({true, std::move(line)}); }
    void close() {
        const std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        cv_.notify_all();
    }
    // Writes everything this input says until it is closed (the main thread, several jobs).
    void drain() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [&] { return !queue_.empty() || closed_; });
            while (!queue_.empty()) {
                entry e = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                write(e);
                lock.lock();
            }
            if (closed_)
                return;
        }
    }

  private:
    struct entry {
        bool err;
        std::string line;
    };
    static void write(const entry& e) {
        if (e.err)
            fmt::print(stderr, "{}\n", e.line);
        else
            emit_stdout(e.line);
    }
    void put(entry e) {
        if (direct_) {
            write(e);
            return;
        }
        const std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(std::move(e));
        cv_.notify_all();
    }
    bool direct_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<entry> queue_;
    bool closed_ = false;
};

// Calls scan(i, box, alone) for inputs 0..count-1 on `jobs` threads, writing each input's
// outbox in input order; `alone` is true when one job runs (progress bars may be drawn).
// With one job, `stopped` is checked before each input. An output error stops the workers
// after their current input and is rethrown.
inline void scan_in_order(std::size_t count, std::size_t jobs,
                          const std::function<void(std::size_t, outbox&, bool)>& scan,
                          const std::atomic<bool>& stopped) {
    if (jobs <= 1) {
        for (std::size_t i = 0; i < count && !stopped; ++i) {
            outbox box(true);
            scan(i, box, true);
        }
        return;
    }
    std::vector<std::unique_ptr<outbox>> boxes;
    for (std::size_t i = 0; i < count; ++i)
        boxes.push_back(std::make_unique<outbox>(false));
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (std::size_t w = 0; w < jobs; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next++) < count;) {
                scan(i, *boxes[i], false);
                boxes[i]->close();
            }
        });
    }
    try {
        for (auto& box : boxes)
            box->drain();
    } catch (...) {
        stop_requested = 1; // stdout failed: let the workers end their inputs
        for (auto& box : boxes)
            box->close();
        for (std::thread& t : workers)
            t.join();
        throw;
    }
    for (std::thread& t : workers)
        t.join();
}

} // namespace rsid_tool

#endif
