// main.cpp - the rsid command line: `rsid send`, `rsid detect`, `rsid scan` and `rsid merge`.
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>

namespace {

using namespace rsid_tool;

// When the first stop signal came (CLOCK_MONOTONIC), written only by the handler, which blocks
// both stop signals while it runs.
timespec first_stop{};

// A repeat within a second of the first is the same request: timeout(1) and other supervisors
// signal the process and then its whole group, so one request can arrive twice, and killing on
// the second would lose the end record the first was to let the tool write. A later signal is
// a second request, and kills.
extern "C" void on_stop_signal(int signal) {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    if (stop_requested == 0) {
        stop_requested = signal;
        first_stop = now;
        return;
    }
    const long long ms =
        (now.tv_sec - first_stop.tv_sec) * 1000LL + (now.tv_nsec - first_stop.tv_nsec) / 1000000;
    if (ms < 1000)
        return;
    struct sigaction fall {};
    fall.sa_handler = SIG_DFL;
    sigemptyset(&fall.sa_mask);
    (void)sigaction(signal, &fall, nullptr);
    (void)raise(signal);
}

// SIGINT and SIGTERM end the scan cleanly: the handler only records the signal, and every read
// that could wait (a pipe, a FIFO) waits in poll() with a timeout and looks at it; a FIFO is
// opened without waiting for its writer, as open(2) would not look at it again. The tool then
// flushes what it read and exits with 128 + the signal's number, as a shell reports a process
// the signal killed (130, 143); `send` stops at its next block and removes its unfinished file.
// A second signal kills, once it comes a second or more after the first (on_stop_signal).
// SIGPIPE is ignored: a reader that closes stdout (`| head -1`) makes the next write fail with
// EPIPE, and the tool then stops without a message (detect with the status of what it found,
// send with 3, its output being incomplete).
// SIGXFSZ is ignored too: a write past the file size limit (ulimit -f) then fails with EFBIG,
// and the tool says so, exits 3 and removes its unfinished file, instead of being killed with
// the file left behind.
// The stop signals are unblocked once their handler is in place: a parent that blocks them
// (one waiting in sigwait or on a signalfd) passes its mask on through exec, and a request
// would then stay pending for good. One made before that is taken here, and the reads see it.
void install_signal_handlers() {
    struct sigaction stop {};
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    sigaddset(&stop.sa_mask, SIGINT);
    sigaddset(&stop.sa_mask, SIGTERM);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    (void)sigprocmask(SIG_UNBLOCK, &stop.sa_mask, nullptr);
}

int run_tool(int argc, char** argv) {
    install_signal_handlers();
    try {
        const command_line line = parse_command_line(argc, argv);
        if (line.which == command_line::command::exit)
            return line.status;
        if (line.which == command_line::command::send)
            return run_send(line.send);
        if (line.which == command_line::command::merge) {
            const int status = run_merge(line.merge);
            return stop_requested ? 128 + stop_requested : status;
        }
        // --ha-discovery remove clears what earlier runs published, and scans nothing.
        const bool scan = line.which == command_line::command::scan;
        if (const mqtt_options& mqtt = scan ? line.scan.mqtt : line.detect.mqtt;
            mqtt.ha_discovery == "remove") {
            mqtt_publisher::remove_discovery(mqtt, scan ? "rsid scan" : "rsid detect");
            return 0;
        }
        const int status = line.which == command_line::command::scan ? run_scan(line.scan)
                                                                     : run_detect(line.detect);
        return stop_requested ? 128 + stop_requested : status;
    } catch (const usage_error& e) {
        tell_user(printable(std::string("rsid: ") + e.what()));
        return exit_usage;
    } catch (const broken_pipe&) {
        return exit_io; // the reader has gone: nobody to tell
    } catch (const mqtt_error& e) {
        tell_user(printable(std::string("rsid: ") + e.what()));
        return exit_io;
    } catch (const std::exception& e) {
        if (stop_requested) // send, stopped by a signal: its output is gone
            return 128 + stop_requested;
        tell_user(printable(std::string("rsid: ") + e.what()));
        return exit_io;
    }
}

} // namespace

int main(int argc, char** argv) {
    keep_standard_streams_open();
    try {
        return run_tool(argc, argv);
    } catch (const std::exception& e) { // setting up the command line (out of memory)
        tell_user(std::string("rsid: ") + e.what());
        return exit_io;
    }
}
