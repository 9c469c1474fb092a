// merge.cpp - `rsid merge`: JSON Lines from several scanners or receivers in, one stream out,
// each identifier once (records/merge.h says when two reports are one identifier and how long
// a report waits for its duplicates).
#include "records/merge.h"
#include "commands.h"
#include "diagnostics.h"
#include "input/audio_input.h" // input_error
#include "input/byte_stream.h" // open_input_fd
#include "publish/outbox.h"    // emit_stdout
#include "records/report.h"

#include <fmt/core.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace rsid_tool {

namespace {

constexpr std::size_t max_line = 1 << 16; // longer lines are not records [bytes]

struct merge_input {
    std::string name;
    int fd = -1;
    bool owned = false;
    bool open = true;
    std::string pending;                                       // bytes after the last newline
    double reached = -std::numeric_limits<double>::infinity(); // latest start reported [s]
};

double wall_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool is_live(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 &&
           (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

class merge_run {
  public:
    explicit merge_run(const merge_command& o) : o_(o), merger_(o.window_s) {}
    ~merge_run() {
        for (const merge_input& in : inputs_)
            if (in.owned)
                close(in.fd);
    }
    merge_run(const merge_run&) = delete;
    merge_run& operator=(const merge_run&) = delete;

    int run() {
        open_inputs();
        std::vector<pollfd> polls;
        while (!stopping()) {
            polls.clear();
            for (const merge_input& in : inputs_)
                if (in.open)
                    polls.push_back({in.fd, POLLIN, 0});
            if (polls.empty())
                break;
            const int ready = poll(polls.data(), polls.size(), 200);
            if (ready < 0 && errno != EINTR)
                throw output_error(std::string("poll: ") + std::strerror(errno));
            std::size_t p = 0;
            for (merge_input& in : inputs_) {
                if (!in.open)
                    continue;
                if (ready > 0 && (polls[p].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                    read_from(in);
                ++p;
            }
            release();
        }
        std::vector<detection_record> out;
        merger_.finish(out);
        write(out);
        for (const end_record& e : ends_)
            emit_stdout(json_line(e));
        if (errors_ > 0)
            return exit_io;
        return written_ > 0 ? exit_found : exit_none;
    }

  private:
    void open_inputs() {
        std::vector<std::string> names = o_.inputs;
        if (names.empty())
            names.emplace_back("-");
        for (const std::string& name : names) {
            merge_input in;
            in.name = name == "-" ? "stdin" : name;
            if (name == "-") {
                in.fd = STDIN_FILENO;
            } else {
                try { // a FIFO's writer is waited for in run()'s poll(), which sees a stop
                    in.fd = open_input_fd(name);
                } catch (const input_error& e) {
                    complain(e.what());
                    continue;
                }
                in.owned = true;
            }
            live_ = live_ || is_live(in.fd);
            inputs_.push_back(std::move(in));
        }
    }

    void read_from(merge_input& in) {
        char buffer[1 << 16];
        const ssize_t got = ::read(in.fd, buffer, sizeof(buffer));
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                return;
            complain(in.name + ": " + std::strerror(errno));
        }
        if (got <= 0) { // the end; a last line without its newline still counts
            if (!in.pending.empty())
                line(in, std::exchange(in.pending, {}));
            in.open = false;
            return;
        }
        in.pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t nl; (nl = in.pending.find('\n', start)) != std::string::npos;
             start = nl + 1)
            line(in, in.pending.substr(start, nl - start));
        in.pending.erase(0, start);
        if (in.pending.size() > max_line) {
            complain(in.name + ": a line longer than 64 KiB is not a record");
            in.pending.clear();
        }
    }

    void line(merge_input& in, const std::string& text) {
        if (text.find_first_not_of(" \t\r") == std::string::npos)
            return;
        try {
            json_record r = read_json_line(text);
            if (r.detection) {
                in.reached = std::max(in.reached, r.detection->time_s);
                merger_.add(*r.detection, wall_s());
            } else if (r.end) {
                ends_.push_back(std::move(*r.end)); // written after every detection
            }
        } catch (const std::invalid_argument& e) {
            complain(in.name + ": " + e.what());
        }
    }

    // The earliest progress among the inputs still open decides what is settled.
    void release() {
        double reached = std::numeric_limits<double>::infinity();
        for (const merge_input& in : inputs_)
            if (in.open)
                reached = std::min(reached, in.reached);
        std::vector<detection_record> out;
        merger_.release(reached, wall_s(), live_, out);
        write(out);
    }

    void write(const std::vector<detection_record>& records) {
        for (const detection_record& r : records) {
            emit_stdout(json_line(r));
            ++written_;
        }
    }

    void complain(const std::string& message) {
        ++errors_;
        if (!o_.quiet)
            tell_user(printable("rsid: " + message));
    }

    const merge_command& o_;
    record_merger merger_;
    std::vector<merge_input> inputs_;
    std::vector<end_record> ends_;
    bool live_ = false; // some input is a pipe: the wall clock settles records too
    int written_ = 0;
    int errors_ = 0;
};

} // namespace

int run_merge(const merge_command& o) { return merge_run(o).run(); }

} // namespace rsid_tool
