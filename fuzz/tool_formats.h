// tool_formats.h - raw sample formats for the tool's input harnesses, from two bytes: usual and
// refused rates, every encoding, usual and refused widths, 0 to 6 channels and 65 (refused), and
// either byte order.
#ifndef RSID_FUZZ_TOOL_FORMATS_H
#define RSID_FUZZ_TOOL_FORMATS_H

#include "input/audio_input.h"

#include <cstdint>

namespace fuzz {

inline rsid_tool::raw_format raw_format_from(uint8_t a, uint8_t b) {
    static constexpr double rates[] = {6000.0,  8000.0,  11025.0,   44100.0,   48000.0, 1000.0,
                                       999.0,   96000.0, 1536000.0, 1536001.0, 0.0,     -48000.0,
                                       22050.0, 7999.5,  192000.0,  16000.0};
    static constexpr int bits[] = {8, 16, 24, 32, 64, 0, 12, 7};
    rsid_tool::raw_format f;
    f.rate = rates[a % 16];
    f.encoding = static_cast<rsid_tool::sample_encoding>(a / 16 % 5);
    f.bits = bits[b % 8];
    f.channels = (b / 8) % 8 == 7 ? 65 : (b / 8) % 8;
    f.big_endian = b >= 128;
    return f;
}

} // namespace fuzz

#endif
