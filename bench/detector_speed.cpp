// detector_speed.cpp - the engine's detector on a file of float32 samples at 6000/s on the +-1
// scale, as the WebAssembly build gets them: seconds of CPU per second of audio, for comparison
// with web/bench/rtf.mjs (which writes the file and runs this program).
//
//   detector_speed FILE.f32   prints: audio seconds, elapsed seconds, detections
#include "detector.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: detector_speed FILE.f32\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<float> x;
    float block[4096];
    std::size_t n = 0;
    while ((n = std::fread(block, sizeof(float), 4096, f)) > 0)
        x.insert(x.end(), block, block + n);
    std::fclose(f);

    const auto begin = std::chrono::steady_clock::now();
    rsid::detector detector;
    std::vector<rsid::detection> found;
    constexpr std::size_t chunk = 16384; // the binding's input buffer
    std::vector<float> scaled(chunk);
    for (std::size_t i = 0; i < x.size(); i += chunk) { // scaled as the binding scales
        const std::size_t count = std::min(chunk, x.size() - i);
        for (std::size_t k = 0; k < count; ++k)
            scaled[k] = x[i + k] * 32768.0f;
        detector.feed(scaled.data(), count, found);
    }
    detector.finish(found);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
    std::printf("%.3f %.4f %zu\n", static_cast<double>(x.size()) / 6000.0, elapsed.count(),
                found.size());
    return 0;
}
