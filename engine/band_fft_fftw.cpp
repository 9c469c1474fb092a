// band_fft_fftw.cpp - the band scanner's transform by FFTW (single precision).
#include "band_fft.h"

#include <fftw3.h>

#include <cstddef>
#include <mutex>
#include <new>

namespace rsid {

namespace {

// FFTW's planner is not thread-safe; plans are made under this lock (and freed under it too).
std::mutex& planner_lock() {
    static std::mutex m;
    return m;
}

} // namespace

struct band_fft::impl {
    fftwf_plan plan = nullptr;
};

band_fft::band_fft(int n, bool complex) : impl_(std::make_unique<impl>()) {
    const std::lock_guard<std::mutex> lock(planner_lock());
    const auto count = static_cast<std::size_t>(n);
    in = static_cast<float*>(fftwf_malloc(sizeof(float) * count * (complex ? 2 : 1)));
    auto* o = static_cast<fftwf_complex*>(
        fftwf_malloc(sizeof(fftwf_complex) * (complex ? count : count / 2 + 1)));
    out = o;
    if (in && o)
        impl_->plan = complex ? fftwf_plan_dft_1d(n, reinterpret_cast<fftwf_complex*>(in), o,
                                                  FFTW_FORWARD, FFTW_ESTIMATE)
                              : fftwf_plan_dft_r2c_1d(n, in, o, FFTW_ESTIMATE);
    if (!impl_->plan) {
        fftwf_free(in);
        fftwf_free(o);
        throw std::bad_alloc();
    }
}

band_fft::~band_fft() {
    const std::lock_guard<std::mutex> lock(planner_lock());
    fftwf_destroy_plan(impl_->plan);
    fftwf_free(in);
    fftwf_free(out);
}

void band_fft::run() { fftwf_execute(impl_->plan); }

} // namespace rsid
