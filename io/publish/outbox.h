// outbox.h - the output of commands that scan several inputs at once: each input's lines go to
// stdout and stderr in input order, whatever order the inputs finish in.
#ifndef RSID_TOOL_OUTBOX_H
#define RSID_TOOL_OUTBOX_H

#include "diagnostics.h" // tell_user, printable
#include "errors.h"
#include "input/audio_input.h" // output_failed
#include "records/report.h"    // end_record

#include <fmt/core.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rsid_tool {

// One flushed line on stdout: a reader at the other end of a pipe sees each report at once.
// A reader that has gone (EPIPE) is broken_pipe, any other failure output_error.
inline void emit_stdout(const std::string& line) {
    if (std::fputs(line.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0) {
        const int e = errno;
        if (e == EPIPE)
            throw broken_pipe("stdout: the reader closed the pipe");
        output_failed = true; // ends the reading of every input, wherever it waits
        throw output_error(std::string("stdout: ") + std::strerror(e));
    }
}

// Writes to stderr that cannot throw (a full or closed stderr only loses them).
inline void draw(const std::string& text) {
    (void)std::fputs(text.c_str(), stderr);
    (void)std::fflush(stderr);
    std::clearerr(stderr);
}

// What one input's scan says, in order: lines for stdout and messages for stderr. With one
// job they go out at once; with several, each input's lines wait until the inputs before it
// are done, so that the output is the same as with one job. Once stdout's reader has gone,
// lines for stdout are dropped and `gone` is set, which ends every scan.
class outbox {
  public:
    outbox(bool direct, std::atomic<bool>& gone) : direct_(direct), gone_(gone) {}
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
    void write(const entry& e) {
        if (e.err) {
            tell_user(printable(e.line));
        } else if (!gone_) {
            try {
                emit_stdout(e.line);
            } catch (const broken_pipe&) {
                gone_ = true;
            }
        }
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
    std::atomic<bool>& gone_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<entry> queue_;
    bool closed_ = false;
};

// The status an input's end record takes from how the scan was stopped, if it was: the first
// input to end after SIGINT or SIGTERM was "interrupted" by it, and every input after that (or
// after --once set `stopped`), cut short or never begun, was "stopped". Empty if neither.
inline std::string stop_status(std::atomic<bool>& stopped) {
    if (stop_requested && !stopped.exchange(true))
        return "interrupted";
    return stopped ? "stopped" : "";
}

// Ends an input's scan as every command does: the status a stop gave it (stop_status; an
// input cut short by a signal is interrupted, not broken), its error on stderr (counted in
// `errors`), with -v the time it took, and with --json its end record.
inline void close_input(end_record& end, std::atomic<bool>& stopped, std::atomic<int>& errors,
                        outbox& box, bool verbose, bool json,
                        std::chrono::steady_clock::time_point started) {
    if (stop_requested)
        end.error.clear();
    if (const std::string how = stop_status(stopped); !how.empty())
        end.status = how;
    if (!end.error.empty()) {
        ++errors;
        end.status = "error";
        box.err("rsid: " + end.error);
    }
    if (verbose) {
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        box.err(fmt::format("{}: {} found; {:.2f} s of input in {:.3f} s ({:.1f}x real time)",
                            end.input, end.detections, end.duration_s, took,
                            took > 0 ? end.duration_s / took : 0.0));
    }
    if (json)
        box.out(json_line(end));
}

// Calls scan(i, box, alone) for inputs 0..count-1 on `jobs` threads, writing each input's
// outbox in input order; `alone` is true when one job runs (progress bars may be drawn).
// With one job, `stopped` is checked before each input. Once stdout's reader has gone (`gone`),
// no further input is scanned. An output error, or any error that escapes a worker's scan, ends
// every input (output_failed) and is rethrown once every worker has ended.
inline void scan_in_order(std::size_t count, std::size_t jobs,
                          const std::function<void(std::size_t, outbox&, bool)>& scan,
                          const std::atomic<bool>& stopped, std::atomic<bool>& gone) {
    if (jobs <= 1) {
        for (std::size_t i = 0; i < count && !stopped && !gone; ++i) {
            outbox box(true, gone);
            scan(i, box, true);
        }
        return;
    }
    std::vector<std::unique_ptr<outbox>> boxes;
    for (std::size_t i = 0; i < count; ++i)
        boxes.push_back(std::make_unique<outbox>(false, gone));
    std::atomic<std::size_t> next{0};
    std::mutex failing;
    std::exception_ptr failure; // the first error that escaped a worker's scan
    std::vector<std::thread> workers;
    for (std::size_t w = 0; w < jobs; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next++) < count;) {
                try {
                    if (!gone && !output_failed)
                        scan(i, *boxes[i], false);
                } catch (...) { // out of memory, a broker: every input ends, the drain goes on
                    output_failed = true;
                    const std::lock_guard<std::mutex> lock(failing);
                    if (!failure)
                        failure = std::current_exception();
                }
                boxes[i]->close(); // every box is closed, or the drain below would wait for it
            }
        });
    }
    try {
        for (auto& box : boxes)
            box->drain();
    } catch (...) {
        output_failed = true; // stdout failed: let the workers end their inputs; not a signal
        for (auto& box : boxes)
            box->close();
        for (std::thread& t : workers)
            t.join();
        throw;
    }
    for (std::thread& t : workers)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace rsid_tool

#endif
