// recognizer.cpp - the engine's detectors over the frames of one input.
#include "recognizer.h"

#include "stream.h" // engine/

#include <exception>
#include <string>
#include <vector>

namespace rsid_tool {

namespace {

constexpr std::size_t chunk_frames = 8192; // frames read from the source at a time

} // namespace

uint64_t recognize(audio_source& source, channel_choice channel, const scan_callbacks& callbacks) {
    const source_info& info = source.info();
    const auto channels = static_cast<std::size_t>(info.channels);
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
    std::vector<rsid::stream_detector> detectors;
    try {
        for (std::size_t i = 0; i < heard_as.size(); ++i)
            detectors.emplace_back(info.rate, 32768.0); // sources give the 16-bit scale
    } catch (const std::exception& e) {
        throw input_error(info.name + ": " + e.what());
    }

    std::vector<double> frames(chunk_frames * channels);
    std::vector<double> mono(chunk_frames);
    std::vector<rsid::detection> found;
    uint64_t read = 0;
    bool go_on = true;
    auto deliver = [&](std::size_t d) {
        for (rsid::detection& det : found) {
            det.channel = heard_as[d];
            if (go_on)
                go_on = callbacks.on_heard({det, static_cast<double>(read) / info.rate});
        }
        found.clear();
    };
    std::exception_ptr error;
    try {
        while (go_on) {
            const std::size_t n = source.read(frames.data(), chunk_frames);
            if (n == 0)
                break;
            read += n;
            if (callbacks.on_frames)
                callbacks.on_frames(frames.data(), n);
            for (std::size_t d = 0; d < detectors.size(); ++d) {
                const int c = heard_as[d];
                for (std::size_t i = 0; i < n; ++i) {
                    const double* frame = frames.data() + i * channels;
                    if (c > 0) {
                        mono[i] = frame[c - 1];
                    } else {
                        double sum = 0.0;
                        for (std::size_t k = 0; k < channels; ++k)
                            sum += frame[k];
                        mono[i] = sum / static_cast<double>(channels);
                    }
                }
                detectors[d].feed(mono.data(), n, found);
                deliver(d);
            }
            go_on = go_on && callbacks.on_progress(read);
        }
    } catch (const input_error&) {
        error = std::current_exception(); // what was read still counts: finished below
    }
    // The end of the stream closes what is still open, also after a callback said stop.
    for (std::size_t d = 0; d < detectors.size(); ++d) {
        detectors[d].finish(found);
        deliver(d);
    }
    if (error)
        std::rethrow_exception(error);
    return read;
}

} // namespace rsid_tool
