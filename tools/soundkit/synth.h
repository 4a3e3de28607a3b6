// Small offline synthesis toolbox for the demo sound kit. Everything works on mono float
// buffers at a fixed rate; nothing here is real-time safe or meant to be.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace soundkit {

constexpr int kSampleRate = 44100;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

using Signal = std::vector<float>;

int samplesFor(double seconds);
Signal silence(double seconds);

// xorshift32: the kit must come out bit-identical on every run and platform, so no
// std::random_device and no implementation-defined std:: distributions.
class Rng {
public:
    explicit Rng(std::uint32_t seed)
        : state_(seed ? seed : 0x9e3779b9u)
    {
    }
    std::uint32_t next();
    double uniform(); // [0, 1)
    double range(double lo, double hi);
    float noise(); // white, [-1, 1)

private:
    std::uint32_t state_;
};

// RBJ cookbook biquad, transposed direct form II.
class Biquad {
public:
    static Biquad lowpass(double freq, double q);
    static Biquad highpass(double freq, double q);
    static Biquad bandpass(double freq, double q); // 0 dB at the centre
    float process(float x);
    // Retune without clearing state, for sweeping filters.
    void setLowpass(double freq, double q);
    void setBandpass(double freq, double q);

private:
    void set(double b0, double b1, double b2, double a0, double a1, double a2);
    double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0;
    double z1_ = 0, z2_ = 0;
};

class OnePoleLowpass {
public:
    explicit OnePoleLowpass(double freq) { setFreq(freq); }
    void setFreq(double freq);
    float process(float x);

private:
    double a_ = 0, y_ = 0;
};

// Smoothed random wobble in [-1, 1], for jitter that must not sound like white noise.
class Drift {
public:
    Drift(std::uint32_t seed, double rateHz);
    float next();

private:
    Rng rng_;
    OnePoleLowpass lp_;
    float gain_;
};

void mix(Signal &dst, const Signal &src, double atSeconds, float gain = 1.0f);
void scale(Signal &s, float gain);
float peak(const Signal &s);

// Exponential decay that reaches -60 dB after t60 seconds.
double decay60(double t, double t60);
// Raised-cosine ramp 0..1 over [start, start + length].
double ramp(double t, double start, double length);

// Vocal tract as three resonances; frequencies and bandwidths in Hz.
struct Formants {
    double freq[3];
    double bw[3];
    double gain[3];
};

Formants vowelA(); // "aa"
Formants vowelO(); // "oh"
Formants vowelU(); // "oo"
Formants vowelE(); // neutral schwa, used for coughs and breath
Formants blend(const Formants &a, const Formants &b, double t);

using Curve = std::function<double(double t)>;
using FormantCurve = std::function<Formants(double t)>;

// Voiced sound built additively: every harmonic of the (time-varying) pitch is weighted by the
// formant envelope, so pitch glides never alias and vowels can morph smoothly. Each period's
// energy bunches around its glottal pulse; firstPulse places the first one, so that a voice
// starting abruptly is not silent for most of a period after its attack.
Signal voiced(double seconds, const Curve &pitch, const FormantCurve &formants,
              const Curve &amplitude, double firstPulse = 0.0);

// Unvoiced "h"-like breath: white noise through the same three resonances.
Signal breath(double seconds, const Formants &f, const Curve &amplitude, Rng &rng);

// Plucked string (Karplus-Strong with fractional-delay tuning).
Signal pluck(double freq, double seconds, double brightness, double t60, Rng &rng);

struct Partial {
    double ratio;
    double amp;
    double t60;
};
// Struck/bell-like tone: sum of decaying partials with a soft attack. The last 10 ms fade
// out so a note cut short by its buffer length does not click.
Signal strike(double freq, double seconds, const std::vector<Partial> &partials,
              double attack = 0.004);

constexpr double kTargetRmsDb = -18.0;
constexpr double kCeilingDb = -3.0;

// Removes DC, applies short edge fades and sets the level: kTargetRmsDb average, but never
// peaking above kCeilingDb.
void finish(Signal &s, double fadeIn = 0.001, double fadeOut = 0.020);

} // namespace soundkit
