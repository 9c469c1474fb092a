// spectrum_bench.cpp - the detector's cost: the spectrum against the plain sequential loop, and
// rsid_check over a minute of audio.
//
//   build/release/bench/rsid_bench
//
// "Spectrum/plain" is the literal loop (one bin at a time, index (j * k) mod 1114);
// "Spectrum/baseline", "Spectrum/avx" and "Spectrum/avx512" are the library's paths;
// "Spectrum/chosen" is what init_rsid picks on this CPU. "Spectrum/fftw_r2c" (built where
// pkg-config finds fftw3) is FFTW's real transform of the same windowed 1114-sample frame with its
// 334 magnitudes, planned with FFTW_MEASURE: a reference for what a general FFT library does with
// this size. "Rows/baseline", "Rows/avx" and "Rows/avx512" are the engine's soft rows
// (engine/row_spectrum.h): the same magnitudes to rounding from one correlation instead of two.
// "CheckOneMinute" reports x_realtime: seconds of audio per second.
#include "plain_spectrum.h"
#include "row_spectrum.h"
#include "rsid.h"
#include "rsid_state.h"

#include <benchmark/benchmark.h>
#ifdef RSID_BENCH_FFTW
#include <fftw3.h>
#endif

#include <cmath>
#include <random>
#include <vector>

namespace {

const double* test_frame() {
    static double frame[1114];
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 3000.0);
    for (double& v : frame)
        v = std::trunc(noise(rng));
    return frame;
}

void plain(benchmark::State& state) {
    init_rsid();
    const double* frame = test_frame();
    int32_t mags[334];
    for (auto _ : state) {
        plain_spectrum(frame, rsid_shared_tables().window_table, rsid_shared_tables().cos_table,
                       rsid_shared_tables().sin_table, mags);
        benchmark::DoNotOptimize(mags);
    }
}

void library(benchmark::State& state, int path) {
    init_rsid();
    if (path >= 0 && !rsid_path_supported(path)) {
        state.SkipWithError("not supported on this CPU");
        return;
    }
    const double* frame = test_frame();
    int32_t mags[334];
    for (auto _ : state) {
        if (path < 0)
            rsid_spectrum(&rsid_shared_tables(), frame, mags);
        else
            rsid_spectrum_on(path, rsid_shared_tables(), frame, mags);
        benchmark::DoNotOptimize(mags);
    }
}

void rows(benchmark::State& state, int path) {
    init_rsid();
    if (!rsid_path_supported(path)) {
        state.SkipWithError("not supported on this CPU");
        return;
    }
    const double* frame = test_frame();
    int32_t mags[334];
    for (auto _ : state) {
        rsid::row_spectrum_on(path, frame, mags);
        benchmark::DoNotOptimize(mags);
    }
}

#ifdef RSID_BENCH_FFTW
void fftw_r2c(benchmark::State& state) {
    init_rsid();
    const double* frame = test_frame();
    double* in = fftw_alloc_real(1114);
    fftw_complex* out = fftw_alloc_complex(558);
    fftw_plan plan = fftw_plan_dft_r2c_1d(1114, in, out, FFTW_MEASURE);
    int32_t mags[334];
    for (auto _ : state) {
        for (int j = 0; j < 1114; ++j)
            in[j] = frame[j] * rsid_shared_tables().window_table[j];
        fftw_execute(plan);
        for (int i = 0; i < 334; ++i) {
            const double r = out[111 + i][0] * 0.0008976660682226212;
            const double m = out[111 + i][1] * 0.0008976660682226212;
            mags[i] = static_cast<int32_t>(std::sqrt(r * r + m * m));
        }
        benchmark::DoNotOptimize(mags);
    }
    fftw_destroy_plan(plan);
    fftw_free(out);
    fftw_free(in);
}
#endif

// One minute at 6000 samples/s: noise with an identifier every ten seconds.
void check_one_minute(benchmark::State& state) {
    std::vector<double> audio(6000 * 60);
    std::mt19937 rng(2);
    std::normal_distribution<double> noise(0.0, 1000.0);
    for (double& v : audio)
        v = std::trunc(noise(rng));
    for (int k = 0; k < 6; ++k) {
        rsid_encode(800.0 + 200.0 * k);
        int16_t block[1920];
        size_t at = static_cast<size_t>(k) * 60000 + 3000;
        int more;
        do {
            more = rsid_get(block);
            for (int n = 0; n < 1920 && at < audio.size(); n += 8)
                audio[at++] += block[n];
        } while (more);
    }
    init_rsid();
    int reports = 0;
    for (auto _ : state) {
        for (size_t b = 0; b < audio.size(); b += 960)
            reports += rsid_check(&audio[b]);
    }
    state.counters["x_realtime"] = benchmark::Counter(
        60.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["reports_per_minute"] =
        static_cast<double>(reports) / static_cast<double>(state.iterations());
}

BENCHMARK(plain)->Name("Spectrum/plain")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(library, baseline, static_cast<int>(rsid_path_baseline))
    ->Name("Spectrum/baseline")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(library, avx, static_cast<int>(rsid_path_avx))
    ->Name("Spectrum/avx")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(library, avx512, static_cast<int>(rsid_path_avx512))
    ->Name("Spectrum/avx512")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(library, chosen, -1)->Name("Spectrum/chosen")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rows, baseline, static_cast<int>(rsid_path_baseline))
    ->Name("Rows/baseline")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rows, avx, static_cast<int>(rsid_path_avx))
    ->Name("Rows/avx")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rows, avx512, static_cast<int>(rsid_path_avx512))
    ->Name("Rows/avx512")
    ->Unit(benchmark::kMicrosecond);
#ifdef RSID_BENCH_FFTW
BENCHMARK(fftw_r2c)->Name("Spectrum/fftw_r2c")->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(check_one_minute)->Name("CheckOneMinute")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
