// recognizer.cpp - the library's detector (rsid_check) over the blocks of one input.
#include "recognizer.h"

#include "rsid.h"
#include "rsid_signal.h"

#include <algorithm>
#include <exception>

namespace rsid_tool {

namespace {

namespace sig = rsid_signal;

constexpr double sequence_s = static_cast<double>(sig::sequence_tx_samples) / sig::tx_rate;

// From the end of the sequence to the middle of the block in which the detector reports it.
// The last tone is decided once the analysis frame (two tones long) is centred on it, and the
// match is reported one half-tone pass later; measured over start offsets spread across a
// block, the middle of the reporting block lies this far after the end (the spread is +-0.1 s).
constexpr double detector_latency_s = 0.113;

// Silence after each input: lets a match still held at the end be reported (one more
// analysis), and then fills every row of the tone history and the analysis frame
// (29 * 278.5 + 1114 = 9191 samples), so the next input starts from a cleared history.
constexpr int flush_blocks = 10; // 9600 samples, 1.6 s
static_assert(flush_blocks * sig::rx_block >= sig::history_rows * sig::hop_mean + sig::frame);

double block_s(uint64_t blocks) {
    return static_cast<double>(blocks) * sig::rx_block / sig::rx_rate;
}

// The identifier recognised in block `block`, whose report came after `read_blocks` blocks of
// the input had been read.
heard recognised(uint64_t block, uint64_t read_blocks) {
    heard h;
    const double block_middle = block_s(block) + block_s(1) / 2.0;
    h.start_s = std::max(0.0, block_middle - detector_latency_s - sequence_s);
    h.code = sig::code; // the only code this detector looks for
    h.freq_hz = getrsfreq();
    h.read_s = block_s(read_blocks);
    return h;
}

} // namespace

void recognize(detector_feed& feed, const scan_callbacks& callbacks) {
    init_rsid(); // builds the tables once; a second call keeps the state, flushed below
    std::array<double, detector_block> block{};
    uint64_t blocks = 0;
    bool go_on = true;
    std::exception_ptr error;
    try {
        while (go_on && feed.next(block)) {
            if (rsid_check(block.data()))
                go_on = callbacks.on_heard(recognised(blocks, blocks + 1));
            ++blocks;
            go_on = go_on && callbacks.on_progress();
        }
    } catch (const input_error&) {
        error = std::current_exception(); // what was read still counts: flushed below
    }
    // Even when a callback ended the scan: the next input must start from a cleared detector.
    if (blocks > 0) {
        const uint64_t read_blocks = blocks;
        block.fill(0.0);
        for (int i = 0; i < flush_blocks; ++i, ++blocks)
            if (rsid_check(block.data()) && go_on)
                go_on = callbacks.on_heard(recognised(blocks, read_blocks));
    }
    if (error)
        std::rethrow_exception(error);
}

} // namespace rsid_tool
