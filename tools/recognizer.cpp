// recognizer.cpp - the engine's detectors over the frames of one input.
//
// Two threads per input: a reader decodes, picks or mixes the channels and converts them to
// the detector's 6000/s (rsid::converter); the caller's thread runs the detectors on what
// arrives and reports. The detectors see exactly the samples one thread would give them, so the
// reports are the same; the queue between them is bounded, so memory is too.
#include "recognizer.h"

#include "stream.h" // engine/

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rsid_tool {

namespace {

constexpr std::size_t chunk_frames = 16384; // frames read from the source at a time
constexpr std::size_t queue_chunks = 8;     // converted chunks waiting for the detectors

// What the reader hands over: one chunk's samples at 6000/s for each detector.
struct piece {
    std::vector<std::vector<double>> converted;
    uint64_t read = 0; // input frames read up to and including this chunk
    std::chrono::steady_clock::time_point arrived; // when the reader had it
    bool last = false;                             // the converters' tails: the stream is over
};

class pipe {
  public:
    void push(piece p) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return queue_.size() < queue_chunks || closed_; });
        queue_.push_back(std::move(p));
        cv_.notify_all();
    }
    piece pop() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return !queue_.empty(); });
        piece p = std::move(queue_.front());
        queue_.pop_front();
        cv_.notify_all();
        return p;
    }
    void close() { // the consumer stops taking: let a waiting reader go on to its end
        const std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        cv_.notify_all();
    }
    bool closed() {
        const std::lock_guard<std::mutex> lock(m_);
        return closed_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<piece> queue_;
    bool closed_ = false;
};

// Channel c (from 1) of n interleaved frames, or their mix (c = 0), into mono.
const double* pick(const std::vector<double>& frames, std::size_t n, std::size_t channels, int c,
                   std::vector<double>& mono) {
    for (std::size_t i = 0; i < n; ++i) {
        const double* frame = frames.data() + i * channels;
        double v = 0.0;
        if (c > 0) {
            v = frame[c - 1];
        } else {
            for (std::size_t k = 0; k < channels; ++k)
                v += frame[k];
            v /= static_cast<double>(channels);
        }
        mono[i] = v;
    }
    return mono.data();
}

// The reading thread: decodes, picks or mixes the channels and converts them, chunk by chunk,
// then hands over the converters' tails. An error ends the reading; what was read still counts.
void read_and_convert(audio_source& source, const std::vector<int>& heard_as,
                      std::vector<rsid::converter>& converters, const scan_callbacks& callbacks,
                      pipe& between, std::exception_ptr& read_error) {
    const auto channels = static_cast<std::size_t>(source.info().channels);
    std::vector<double> frames(chunk_frames * channels);
    std::vector<double> mono(chunk_frames);
    uint64_t read = 0;
    try {
        while (!between.closed()) {
            const std::size_t n = source.read(frames.data(), chunk_frames);
            if (n == 0)
                break;
            read += n;
            if (callbacks.on_frames)
                callbacks.on_frames(frames.data(), n);
            piece p;
            p.read = read;
            p.arrived = std::chrono::steady_clock::now();
            p.converted.resize(converters.size());
            for (std::size_t d = 0; d < converters.size(); ++d) {
                const double* in =
                    channels > 1 ? pick(frames, n, channels, heard_as[d], mono) : frames.data();
                converters[d].feed(in, n, p.converted[d]);
            }
            if (callbacks.on_converted && !p.converted.empty())
                callbacks.on_converted(p.converted[0].data(), p.converted[0].size());
            between.push(std::move(p));
        }
    } catch (...) {
        read_error = std::current_exception(); // what was read still counts
    }
    // The end of the stream closes what is still open, also after the scan was stopped.
    piece end;
    end.read = read;
    end.arrived = std::chrono::steady_clock::now();
    end.last = true;
    end.converted.resize(converters.size());
    try {
        for (std::size_t d = 0; d < converters.size(); ++d)
            converters[d].finish(end.converted[d]);
        if (callbacks.on_converted && !end.converted.empty())
            callbacks.on_converted(end.converted[0].data(), end.converted[0].size());
    } catch (...) {
        if (!read_error)
            read_error = std::current_exception();
    }
    between.push(std::move(end));
}

} // namespace

uint64_t recognize(audio_source& source, channel_choice channel, const scan_callbacks& callbacks,
                   const rsid::detector_options& rule) {
    const source_info& info = source.info();
    if (channel < all_channels || channel > info.channels)
        throw input_error(info.name + ": no channel " + std::to_string(channel) + " (it has " +
                          std::to_string(info.channels) + ")");
    // Which detectors: one for the mix or the chosen channel, or one per channel.
    std::vector<int> heard_as; // the channel number each detector reports (0: the mix)
    if (channel == all_channels)
        for (int c = 1; c <= info.channels; ++c)
            heard_as.push_back(c);
    else
        heard_as.push_back(channel);
    std::vector<rsid::converter> converters;
    try {
        for (std::size_t i = 0; i < heard_as.size(); ++i)
            converters.emplace_back(info.rate, 32768.0); // sources give the 16-bit scale
    } catch (const std::exception& e) {
        throw input_error(info.name + ": " + e.what());
    }
    std::vector<rsid::detector> detectors(heard_as.size(), rsid::detector(rule));

    pipe between;
    std::exception_ptr read_error;
    std::thread reader(
        [&] { read_and_convert(source, heard_as, converters, callbacks, between, read_error); });

    std::vector<rsid::detection> found;
    bool go_on = true;
    uint64_t read = 0;
    arrival_clock arrival(info.rate);
    auto deliver = [&](std::size_t d) {
        rsid::place(found, 0, info.rate);
        for (rsid::detection& det : found) {
            det.channel = heard_as[d];
            if (go_on)
                go_on = callbacks.on_heard(
                    {det, static_cast<double>(read) / info.rate, arrival.at(det.sample)});
        }
        found.clear();
    };
    std::exception_ptr error;
    bool ended = false; // the reader's last piece has been taken
    try {
        for (;;) {
            piece p = between.pop();
            read = p.read;
            arrival.read(p.read, p.arrived);
            ended = p.last;
            for (std::size_t d = 0; d < detectors.size(); ++d) {
                detectors[d].feed(p.converted[d].data(), p.converted[d].size(), found);
                if (p.last)
                    detectors[d].finish(found);
                deliver(d);
            }
            if (p.last)
                break;
            if (go_on)
                go_on = callbacks.on_progress(read);
            if (!go_on)
                between.close();
        }
    } catch (...) {
        error = std::current_exception(); // a callback failed (stdout): stop the reader first
        between.close();
        // Drain until the reader has pushed its last piece, unless that piece was the one whose
        // report failed: nothing more will come.
        while (!ended)
            ended = between.pop().last;
    }
    reader.join();
    if (error)
        std::rethrow_exception(error);
    if (read_error)
        std::rethrow_exception(read_error);
    return read;
}

} // namespace rsid_tool
