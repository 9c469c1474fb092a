// resampler.cpp - soxr behind the engine's resampler.
#include "resampler.h"

#include <soxr.h>

#include <algorithm>
#include <string>

namespace rsid {

struct resampler::state {
    soxr_t soxr = nullptr;
    double ratio = 1.0; // output samples per input sample
};

resampler::resampler(double in_rate, double out_rate) : s_(new state) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1); // single thread
    s_->soxr = soxr_create(in_rate, out_rate, 1, &error, &io, &quality, &runtime);
    s_->ratio = out_rate / in_rate;
    if (!s_->soxr || error) {
        soxr_delete(s_->soxr);
        delete s_;
        throw resampler_error(std::string("resampler: ") + (error ? error : "cannot create"));
    }
}

resampler::~resampler() {
    soxr_delete(s_->soxr);
    delete s_;
}

void resampler::process(const double* in, std::size_t count, std::vector<double>& out) {
    std::size_t room = std::max<std::size_t>(
        1024, static_cast<std::size_t>(static_cast<double>(count) * s_->ratio) + 64);
    std::size_t done_in = 0;
    for (;;) {
        const std::size_t base = out.size();
        out.resize(base + room);
        std::size_t idone = 0, odone = 0;
        const soxr_error_t error = soxr_process(s_->soxr, in + done_in, count - done_in, &idone,
                                                out.data() + base, room, &odone);
        out.resize(base + odone);
        if (error)
            throw resampler_error(std::string("resampler: ") + error);
        done_in += idone;
        if (done_in == count && odone < room) // every sample taken and the output not full
            return;
        room *= 2;
    }
}

void resampler::flush(std::vector<double>& out) {
    for (;;) { // done once a call delivers nothing more
        const std::size_t base = out.size();
        out.resize(base + 4096);
        std::size_t odone = 0;
        const soxr_error_t error =
            soxr_process(s_->soxr, nullptr, 0, nullptr, out.data() + base, 4096, &odone);
        out.resize(base + odone);
        if (error)
            throw resampler_error(std::string("resampler: ") + error);
        if (odone == 0)
            return;
    }
}

} // namespace rsid
