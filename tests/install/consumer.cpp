// consumer.cpp - the installed header from C++: every export links, RsIdEncode gives the
// codeword of 131, and the sequence sent at 1502.7 Hz is recognised at bin 279.
#include <rsid.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

int main() {
    std::array<uint8_t, 15> word{};
    const std::array<uint8_t, 15> want{0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3};
    if (RsIdEncode(131, word.data()) != 0 || word != want)
        return 1;

    init_rsid();
    rsid_init(0, 334);
    rsid_encode(1502.7);
    std::vector<double> audio; // 6000/s, with 1.8 s of silence after the sequence
    std::array<int16_t, 1920> out{};
    for (int block = 0; block < 80; ++block) {
        rsid_get(out.data());
        for (std::size_t i = 0; i < out.size(); i += 8)
            audio.push_back(out[i]);
    }
    int reports = 0;
    for (std::size_t at = 0; at + 960 <= audio.size(); at += 960)
        reports += rsid_check(audio.data() + at);

    std::array<int32_t, 334> row{};
    int32_t code = 0, bin = 0, distance = 0;
    rsid_search_amp(row.data(), &code, &bin, &distance); // links; silence reports nothing
    std::printf("consumer (C++): %d report(s), %.4f Hz\n", reports, getrsfreq());
    return reports == 1 && std::fabs(getrsfreq() - 1504.6324) < 1e-3 ? 0 : 1;
}
