// coherent.h - the tones' phase as evidence between two codewords that share most of their tones.
//
// An identifier is one oscillator that changes frequency from symbol to symbol without a jump in
// phase, so the phase of each of its tones follows from the tones before it. Two hypotheses that
// share most of their tones in time and frequency (a codeword and its twin a symbol early or a few
// tones aside, soft.h) differ in the symbols where they do not. Their energies alone tell them
// apart only when those few symbols stand well above the noise; the phase does better:
//   - the shared tones, correlated with the oscillator each hypothesis implies, add up in phase;
//     timing (to a sample) and frequency (to a few hundredths of a hertz) are fitted on them, and
//     their sum gives the oscillator's phase and amplitude;
//   - a tone where the two differ must then hold that amplitude at that phase, known as well as
//     a fit on the shared tones can foretell it at that tone (least well at the ends, where a
//     twin's extra symbol lies): its correlation, taken with that phase, weighs up to twice
//     what its energy alone does;
//   - the noise of one correlation comes from the other 15 tones of every symbol (their median).
// A signal whose phase is not one oscillator (fading, a drifting carrier) shows it: its tones no
// longer add up in phase, and then the phase tells nothing (no value).
#ifndef RSID_ENGINE_COHERENT_H
#define RSID_ENGINE_COHERENT_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rsid {

// An identifier at 6000 samples/s: its 15 tone numbers, where its first symbol starts (in samples
// of the buffer it is looked for in, fractional) and the frequency of tone 0.
struct tone_hypothesis {
    const uint8_t* codeword;
    double start;
    double base_hz;
};

// The natural log of the likelihood ratio of a over b from the phase of the tones where they
// differ, given the samples x[0..count) at 6000/s: reporting a only when it reaches x, b is the
// one sent at most e^-x of the time. Nothing when x does not hold both, when they share fewer
// than 9 tones, or when the shared tones are not one oscillator. heard, when given, tells whether
// the tones a has and b lacks are, together, likelier tones than noise (a ratio that rests on b's
// tones missing alone is no evidence for a: a fade or a gap takes a tone too).
//
// The phase a differing tone is foretold is weighed as no better known than the fit on the shared
// tones leaves it, so that the ratio behaves as a true likelihood ratio: were b sent, it is close
// to Gaussian with its variance twice its mean. It therefore takes the same threshold as the
// energies (detector_options::twin_log_odds): near it a report's twins a symbol aside differ from
// it in two cells alone, and a ratio trusted from less names the twin as the ratio foretells
// (trusted from 0.6 of 9.2, it named 1 report in 1,000 wrongly at -18 and -17 dB: 10 in 9,039).
std::optional<double> coherent_log_odds(const double* x, std::size_t count,
                                        const tone_hypothesis& a, const tone_hypothesis& b,
                                        bool* heard = nullptr);

} // namespace rsid

#endif
