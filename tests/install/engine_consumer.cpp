// engine_consumer.cpp - a C++ host of librsid-engine found with find_package(rsid COMPONENTS
// engine): prints what examples/engine/detect.c prints for the same arguments, so that the
// three consumers of tests/install/consumers.sh can be compared line for line.
#include <rsid_engine.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

void print(const char* what, const rsid_detection* d, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        std::printf("%s: code %d at %.3f s (sample %lld), %.1f Hz (offset %.1f Hz), "
                    "SNR %.1f dB, %.1f dBFS\n",
                    what, static_cast<int>(d[i].code), d[i].time_s,
                    static_cast<long long>(d[i].sample), d[i].freq_hz, d[i].offset_hz, d[i].snr_db,
                    d[i].level_dbfs);
}

std::vector<unsigned char> slurp(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

uint32_t le(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool detect_wav(const char* path) {
    const std::vector<unsigned char> wav = slurp(path);
    uint32_t rate = 0, channels = 0, bits = 0;
    for (std::size_t at = 12; wav.size() >= 12 && at + 8 <= wav.size();) {
        const uint32_t len = le(&wav[at + 4], 4);
        const unsigned char* body = &wav[at + 8];
        if (std::memcmp(&wav[at], "fmt ", 4) == 0 && len >= 16) {
            channels = le(body + 2, 2), rate = le(body + 4, 4), bits = le(body + 14, 2);
        } else if (std::memcmp(&wav[at], "data", 4) == 0 && rate && channels && bits == 16) {
            std::vector<int16_t> mono(std::min<std::size_t>(len, wav.size() - at - 8) / 2 /
                                      channels);
            for (std::size_t i = 0; i < mono.size(); ++i)
                mono[i] = static_cast<int16_t>(le(body + 2 * channels * i, 2));
            rsid_detector* d = nullptr;
            int rc = rsid_detector_new(&d, rate);
            if (rc == 0 && (rc = rsid_detector_feed_i16(d, mono.data(), mono.size())) == 0)
                rc = rsid_detector_finish(d);
            rsid_detection found[16];
            for (std::size_t n; (n = rsid_detector_read(d, found, 16)) > 0;)
                print(path, found, n);
            rsid_detector_free(d);
            return rc == 0;
        }
        at += 8 + len + (len & 1);
    }
    return false;
}

bool scan_cf32(const char* path, double rate, double centre_hz) {
    const std::vector<unsigned char> iq = slurp(path);
    rsid_scanner* s = nullptr;
    int rc = rsid_scanner_new(&s, rate, centre_hz, RSID_CF32);
    if (rc == 0 && (rc = rsid_scanner_feed(s, iq.data(), iq.size() / 8)) == 0)
        rc = rsid_scanner_finish(s);
    rsid_detection found[16];
    for (std::size_t n; (n = rsid_scanner_read(s, found, 16)) > 0;)
        print(path, found, n);
    rsid_scanner_free(s);
    return rc == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    const bool ok =
        detect_wav(argv[1]) && scan_cf32(argv[2], std::atof(argv[3]), std::atof(argv[4]));
    return ok ? 0 : 1;
}
