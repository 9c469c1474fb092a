// tool_stream_fuzz.cpp - the tool's input path over a pipe, long streams, and several inputs
// scanned one after another.
//
// Layout: byte 0 the mode, bytes 1-2 the raw format and byte 3 the channel (as in
// tool_input_fuzz), byte 4 the length k of a plan, k plan bytes, then the payload.
//
//   mode % 3 == 0  pipe: the payload is written into a pipe by another thread in the chunks the
//                  plan gives (plan byte v: v bytes, or for v >= 128 (v - 127) * 256 bytes; 0:
//                  interrupt the reader with a signal, so that its poll or read fails with
//                  EINTR), and read through the descriptor as `rsid detect -` reads stdin.
//   mode % 3 == 1  long stream: the first plan byte h splits the payload into a head of h bytes
//                  and a body, and the input is the head and then the body repeated
//                  (plan bytes 1-2 say how often, up to 4096 times, at most 8 MB in all): a
//                  streamed WAV, RF64 or AU header and thousands of detector blocks behind it.
//                  Read from memory and through a pipe.
//   mode % 3 == 2  several inputs: the payload cut at plan bytes 0-1 into two inputs A and B,
//                  scanned by the tool's recognizer (the engine's detectors) as B, A, B, A.
//
// Pipe and memory must give the same blocks, bit for bit, and the same outcome (or one path
// stops early with input_error, the blocks before it equal: libsndfile believes a header's
// length only in a file). Scanning an input must give the same reports whatever was scanned
// before it in the same process.
#include "fuzz_support.h"
#include "input/audio_input.h"
#include "recognizer.h"
#include "rsid.h"
#include "rsid_state.h"
#include "tool_formats.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

namespace {

using fuzz::raw_format_from;

using fuzz::require;

using namespace rsid_tool;

extern "C" void on_interrupt(int) {}

// SIGUSR1 interrupts without SA_RESTART: poll() and read() then fail with EINTR. SIGPIPE is
// ignored, so that a writer whose reader gave up sees EPIPE.
void install_handlers() {
    static const bool done = [] {
        struct sigaction sa {};
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, nullptr);
        (void)std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

// What a read gave: the blocks, as a count and a hash of their bits, and whether it ended with
// input_error.
struct outcome {
    uint64_t blocks = 0;
    uint64_t hash = 14695981039346656037u; // FNV-1a
    std::vector<uint64_t> hashes;          // the hash after each block
    bool failed = false;
};

outcome read_all(audio_source& source, channel_choice channel) {
    outcome r;
    try {
        detector_feed feed(source, channel);
        std::array<double, detector_block> block{};
        while (feed.next(block)) {
            for (double v : block) {
                require(std::isfinite(v));
                uint64_t bits;
                std::memcpy(&bits, &v, sizeof bits);
                r.hash = (r.hash ^ bits) * 1099511628211u;
            }
            ++r.blocks;
            r.hashes.push_back(r.hash);
        }
    } catch (const input_error&) {
        r.failed = true;
    }
    return r;
}

// Equal, or one stopped with input_error and its blocks are the first of the other's.
void require_same(const outcome& a, const outcome& b) {
    if (a.failed == b.failed) {
        require(a.blocks == b.blocks && a.hash == b.hash);
        return;
    }
    const outcome& shorter = a.failed ? a : b;
    const outcome& longer = a.failed ? b : a;
    require(shorter.blocks <= longer.blocks);
    if (shorter.blocks > 0)
        require(shorter.hashes[shorter.blocks - 1] == longer.hashes[shorter.blocks - 1]);
}

std::unique_ptr<audio_source> open_memory(std::span<const unsigned char> bytes,
                                          const std::optional<raw_format>& raw) {
    return raw ? open_raw_memory(bytes, "memory", *raw) : open_sound_memory(bytes, "memory");
}

// The bytes through a pipe, written by another thread in the plan's chunks with the reader
// interrupted where the plan says; the writer waits for each chunk to be taken before the next,
// so the reader sees the chunks as planned, not merged.
outcome read_pipe(std::span<const unsigned char> bytes, std::span<const unsigned char> plan,
                  const std::optional<raw_format>& raw, channel_choice channel) {
    int fds[2];
    require(pipe(fds) == 0);
    const pthread_t reader = pthread_self();
    std::thread writer([&] {
        std::size_t done = 0;
        std::size_t step = 0;
        while (done < bytes.size()) {
            std::size_t n = bytes.size() - done;
            if (step < plan.size()) {
                const unsigned v = plan[step++];
                if (v == 0) {
                    pthread_kill(reader, SIGUSR1);
                    continue;
                }
                n = std::min(n, v < 128 ? v : (v - 127) * std::size_t{256});
                // Wait (briefly) until the reader has taken the previous chunk.
                for (int spin = 0; spin < 2000; ++spin) {
                    int queued = 0;
                    if (ioctl(fds[1], FIONREAD, &queued) != 0 || queued == 0)
                        break;
                    std::this_thread::yield();
                }
            }
            const ssize_t w = write(fds[1], bytes.data() + done, n);
            if (w <= 0)
                break; // the reader has stopped (EPIPE)
            done += static_cast<std::size_t>(w);
        }
        close(fds[1]);
    });
    outcome r;
    try {
        auto source = raw ? open_raw_fd(fds[0], "pipe", *raw) : open_sound_fd(fds[0], "pipe");
        r = read_all(*source, channel);
    } catch (const input_error&) {
        r.failed = true;
    }
    close(fds[0]); // a writer still waiting to write gets EPIPE
    writer.join();
    return r;
}

outcome read_memory(std::span<const unsigned char> bytes, const std::optional<raw_format>& raw,
                    channel_choice channel) {
    try {
        return read_all(*open_memory(bytes, raw), channel);
    } catch (const input_error&) {
        outcome r;
        r.failed = true;
        return r;
    }
}

bool same(const heard& a, const heard& b) {
    const rsid::detection& x = a.detection;
    const rsid::detection& y = b.detection;
    return x.code == y.code && x.bin == y.bin && x.distance == y.distance &&
           x.freq_hz == y.freq_hz && x.start == y.start && x.sample == y.sample &&
           x.level_dbfs == y.level_dbfs && x.snr_db == y.snr_db && x.channel == y.channel;
}

struct scan_result {
    std::vector<heard> reports;
    uint64_t frames = 0;
    bool failed = false;
};

scan_result scan(std::span<const unsigned char> bytes, const std::optional<raw_format>& raw,
                 channel_choice channel) {
    scan_result r;
    scan_callbacks callbacks;
    callbacks.on_heard = [&](const heard& h) {
        r.reports.push_back(h);
        return true;
    };
    callbacks.on_progress = [](uint64_t) { return true; };
    try {
        auto source = open_memory(bytes, raw);
        r.frames = recognize(*source, channel, callbacks);
    } catch (const input_error&) {
        r.failed = true;
    }
    return r;
}

void require_same(const scan_result& a, const scan_result& b) {
    require(a.failed == b.failed && a.frames == b.frames && a.reports.size() == b.reports.size());
    for (std::size_t i = 0; i < a.reports.size(); ++i)
        require(same(a.reports[i], b.reports[i]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 5 || size < 5u + data[4])
        return 0;
    install_handlers();
    const uint8_t mode = data[0] % 3;
    const bool as_raw = data[0] & 8;
    const std::optional<raw_format> raw =
        as_raw ? std::optional<raw_format>(raw_format_from(data[1], data[2])) : std::nullopt;
    const channel_choice channel = data[3] % 4;
    const std::span<const unsigned char> plan(data + 5, data[4]);
    const std::span<const unsigned char> payload(data + 5 + data[4], size - 5 - data[4]);

    if (mode == 0) {
        require_same(read_memory(payload, raw, channel), read_pipe(payload, plan, raw, channel));
    } else if (mode == 1) {
        const std::size_t head = plan.empty() ? 0 : std::min<std::size_t>(plan[0], payload.size());
        const std::size_t body = payload.size() - head;
        const std::size_t twice =
            plan.size() >= 3 ? std::size_t{plan[1]} | std::size_t{plan[2]} << 8 : 999;
        std::size_t times = twice % 4096 + 1;
        if (body > 0)
            times = std::min(times, (std::size_t{8} << 20) / body);
        const std::span<const unsigned char> repeated = payload.subspan(head);
        std::vector<unsigned char> stream(payload.data(), payload.data() + head);
        stream.reserve(head + body * times);
        for (std::size_t i = 0; i < times && body > 0; ++i)
            stream.insert(stream.end(), repeated.begin(), repeated.end());
        require_same(read_memory(stream, raw, channel), read_pipe(stream, {}, raw, channel));
    } else {
        const std::size_t cut =
            plan.size() >= 2
                ? (std::size_t{plan[0]} | std::size_t{plan[1]} << 8) % (payload.size() + 1)
                : payload.size() / 2;
        const auto a = payload.first(cut);
        const auto b = payload.subspan(cut);
        const scan_result b_first = scan(b, raw, channel);
        const scan_result a_second = scan(a, raw, channel);
        require_same(scan(b, raw, channel), b_first);
        require_same(scan(a, raw, channel), a_second);
    }
    return 0;
}
