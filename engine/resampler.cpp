// resampler.cpp - soxr behind the project's one resampler class.
#include "resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace rsid {

resampler::resampler(double in_rate, double out_rate, quality q) : ratio_(out_rate / in_rate) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t spec = soxr_quality_spec(q == quality::high ? SOXR_HQ : SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_ = soxr_create(in_rate, out_rate, 1, &error, &io, &spec, &runtime);
    if (!soxr_ || error) {
        soxr_delete(soxr_);
        throw resampler_error(std::string("resampler: ") + (error ? error : "cannot create"));
    }
}

resampler::~resampler() { soxr_delete(soxr_); }

void resampler::process(const double* in, std::size_t n, std::vector<double>& out) {
    if (n > 0)
        run(in, n, out);
}

void resampler::flush(std::vector<double>& out) { run(nullptr, 0, out); }

// Output goes straight into out, grown by what the ratio predicts plus a margin; a call that
// fills the room is repeated with more, so nothing soxr has ready stays behind.
void resampler::run(const double* in, std::size_t n, std::vector<double>& out) {
    std::size_t room = std::max<std::size_t>(
        1024, static_cast<std::size_t>(std::ceil(static_cast<double>(n) * ratio_)) + 64);
    std::size_t done_in = 0;
    for (;;) {
        const std::size_t base = out.size();
        out.resize(base + room);
        std::size_t idone = 0;
        std::size_t odone = 0;
        const soxr_error_t error =
            in ? soxr_process(soxr_, in + done_in, n - done_in, &idone, out.data() + base, room,
                              &odone)
               : soxr_process(soxr_, nullptr, 0, nullptr, out.data() + base, room, &odone);
        out.resize(base + odone);
        if (error)
            throw resampler_error(std::string("resampler: ") + error);
        done_in += idone;
        // Input: done once every sample is taken and the output did not fill up.
        // Flush: done once a call delivers nothing more.
        if (in ? (done_in == n && odone < room) : odone == 0)
            return;
    }
}

} // namespace rsid
