// send.cpp - the generator's output at any rate.
#include "send.h"

#include "resampler.h"
#include "rsid_signal.h"
#include "rsid_state.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace rsid {

namespace {

using namespace rsid_signal;

constexpr double min_rate = 1000.0;   // samples/s
constexpr double max_rate = 768000.0; // samples/s
constexpr auto sequence = static_cast<std::size_t>(sequence_tx_samples);

std::size_t silence_samples(double s) {
    return static_cast<std::size_t>(std::llround(s * tx_rate));
}

} // namespace

tone_generator::tone_generator(int code, double freq_hz)
    : tx_(std::make_unique<rsid_transmitter>()) {
    if (code < 0 || code > 4095)
        throw std::invalid_argument("code " + std::to_string(code) + " is outside 0 to 4095");
    rsid_tx_arm(*tx_, freq_hz);
    rsid_codeword(code, tx_->tx_codeword); // the generator sends whatever codeword it holds
}

tone_generator::~tone_generator() = default;

bool tone_generator::next(int16_t* block) { return rsid_tx_get(*tx_, block) != 0; }

void check_send(const send_request& r) {
    const double top = r.freq_hz + 15 * tone_spacing_hz; // the highest tone, 15 steps up
    if (r.code < 0 || r.code > 4095)
        throw std::invalid_argument("code " + std::to_string(r.code) + " is outside 0 to 4095");
    if (!(r.freq_hz > 0.0) || !std::isfinite(r.freq_hz))
        throw std::invalid_argument("freq must be a positive frequency in Hz, not " +
                                    std::to_string(r.freq_hz));
    if (!(r.rate >= min_rate && r.rate <= max_rate))
        throw std::invalid_argument("rate " + std::to_string(r.rate) +
                                    " is outside 1000 to 768000 samples/s");
    if (top >= tx_rate / 2.0 || top >= r.rate / 2.0)
        throw std::invalid_argument("tones up to " + std::to_string(top) +
                                    " Hz need a rate above " + std::to_string(2.0 * top) +
                                    " samples/s (and fit 48000/s)");
    if (!(r.lead_s >= 0.0 && r.tail_s >= 0.0))
        throw std::invalid_argument("lead and tail take 0 seconds or more");
    // Whole samples at both rates, as send_samples() holds them (seconds first, so that no
    // count overflows).
    const double seconds = r.lead_s + r.tail_s + static_cast<double>(sequence) / tx_rate;
    if (!(seconds * std::max<double>(tx_rate, r.rate) <= static_cast<double>(max_send_samples)))
        throw std::invalid_argument(
            "lead " + std::to_string(r.lead_s) + " s and tail " + std::to_string(r.tail_s) +
            " s are too long: the samples are made in memory, at most " +
            std::to_string(max_send_samples) + " at 48000/s and at the rate (" +
            std::to_string(static_cast<double>(max_send_samples) /
                           std::max<double>(tx_rate, r.rate)) +
            " s in all here)");
}

std::vector<double> send_samples(const send_request& r) {
    check_send(r);
    const std::size_t lead = silence_samples(r.lead_s), tail = silence_samples(r.tail_s);
    const std::size_t total = lead + sequence + tail; // at 48000/s

    std::vector<double> at_tx(total, 0.0);
    tone_generator tx(r.code, r.freq_hz);
    int16_t block[tx_block];
    // The last block ends in silence that is not part of the identifier: keep 66840 samples.
    for (std::size_t done = 0; done < sequence; done += tx_block) {
        tx.next(block);
        const std::size_t n = std::min<std::size_t>(tx_block, sequence - done);
        std::copy(block, block + n, at_tx.begin() + static_cast<std::ptrdiff_t>(lead + done));
    }
    if (r.rate == tx_rate)
        return at_tx;

    // The resampler keeps its output aligned with its input; its tail completes the stream.
    const auto length =
        static_cast<std::size_t>(std::llround(static_cast<double>(total) * r.rate / tx_rate));
    std::vector<double> out;
    out.reserve(length + 64);
    resampler conv(tx_rate, r.rate);
    conv.process(at_tx.data(), at_tx.size(), out);
    conv.flush(out);
    out.resize(length, 0.0);
    return out;
}

std::vector<int16_t> send_int16(const send_request& r) {
    const std::vector<double> x = send_samples(r);
    std::vector<int16_t> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        out[i] = static_cast<int16_t>(std::lrint(std::clamp(x[i], -32768.0, 32767.0)));
    return out;
}

} // namespace rsid
