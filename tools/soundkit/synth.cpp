#include "synth.h"

#include <algorithm>
#include <cmath>

namespace soundkit {

int samplesFor(double seconds)
{
    return static_cast<int>(std::lround(seconds * kSampleRate));
}

Signal silence(double seconds)
{
    return Signal(static_cast<size_t>(samplesFor(seconds)), 0.0f);
}

std::uint32_t Rng::next()
{
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

double Rng::uniform()
{
    return (next() >> 8) * (1.0 / 16777216.0);
}

double Rng::range(double lo, double hi)
{
    return lo + (hi - lo) * uniform();
}

float Rng::noise()
{
    return static_cast<float>(2.0 * uniform() - 1.0);
}

Biquad Biquad::lowpass(double freq, double q)
{
    Biquad b;
    b.setLowpass(freq, q);
    return b;
}

Biquad Biquad::highpass(double freq, double q)
{
    Biquad b;
    const double w = kTwoPi * freq / kSampleRate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    b.set((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
    return b;
}

Biquad Biquad::bandpass(double freq, double q)
{
    Biquad b;
    b.setBandpass(freq, q);
    return b;
}

void Biquad::setLowpass(double freq, double q)
{
    freq = std::clamp(freq, 10.0, 0.45 * kSampleRate);
    const double w = kTwoPi * freq / kSampleRate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    set((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

void Biquad::setBandpass(double freq, double q)
{
    freq = std::clamp(freq, 10.0, 0.45 * kSampleRate);
    const double w = kTwoPi * freq / kSampleRate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    set(alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha);
}

void Biquad::set(double b0, double b1, double b2, double a0, double a1, double a2)
{
    b0_ = b0 / a0;
    b1_ = b1 / a0;
    b2_ = b2 / a0;
    a1_ = a1 / a0;
    a2_ = a2 / a0;
}

float Biquad::process(float x)
{
    const double y = b0_ * x + z1_;
    z1_ = b1_ * x - a1_ * y + z2_;
    z2_ = b2_ * x - a2_ * y;
    return static_cast<float>(y);
}

void OnePoleLowpass::setFreq(double freq)
{
    a_ = 1.0 - std::exp(-kTwoPi * std::max(freq, 0.1) / kSampleRate);
}

float OnePoleLowpass::process(float x)
{
    y_ += a_ * (x - y_);
    return static_cast<float>(y_);
}

Drift::Drift(std::uint32_t seed, double rateHz)
    : rng_(seed)
    , lp_(rateHz)
{
    // A one-pole keeps a/(2-a) of the input variance; bring the result back to ~0.4 RMS.
    const double a = 1.0 - std::exp(-kTwoPi * rateHz / kSampleRate);
    gain_ = static_cast<float>(0.4 / (0.577 * std::sqrt(a / (2.0 - a))));
}

float Drift::next()
{
    return std::clamp(lp_.process(rng_.noise()) * gain_, -1.0f, 1.0f);
}

void mix(Signal &dst, const Signal &src, double atSeconds, float gain)
{
    const long start = samplesFor(atSeconds);
    for (size_t i = 0; i < src.size(); ++i) {
        const long j = start + static_cast<long>(i);
        if (j >= 0 && j < static_cast<long>(dst.size()))
            dst[static_cast<size_t>(j)] += gain * src[i];
    }
}

void scale(Signal &s, float gain)
{
    for (float &v : s)
        v *= gain;
}

float peak(const Signal &s)
{
    float p = 0.0f;
    for (float v : s)
        p = std::max(p, std::fabs(v));
    return p;
}

double decay60(double t, double t60)
{
    return t < 0 ? 0.0 : std::exp(-6.907755 * t / t60);
}

double ramp(double t, double start, double length)
{
    if (t <= start)
        return 0.0;
    if (t >= start + length)
        return 1.0;
    return 0.5 - 0.5 * std::cos(kPi * (t - start) / length);
}

Formants vowelA()
{
    return {{750, 1150, 2600}, {90, 110, 160}, {1.0, 0.55, 0.18}};
}
Formants vowelO()
{
    return {{500, 850, 2500}, {80, 100, 160}, {1.0, 0.45, 0.10}};
}
Formants vowelU()
{
    return {{320, 760, 2300}, {70, 100, 160}, {1.0, 0.30, 0.06}};
}
Formants vowelE()
{
    return {{550, 1500, 2500}, {120, 150, 200}, {1.0, 0.50, 0.20}};
}

Formants blend(const Formants &a, const Formants &b, double t)
{
    Formants r{};
    for (int i = 0; i < 3; ++i) {
        r.freq[i] = a.freq[i] + (b.freq[i] - a.freq[i]) * t;
        r.bw[i] = a.bw[i] + (b.bw[i] - a.bw[i]) * t;
        r.gain[i] = a.gain[i] + (b.gain[i] - a.gain[i]) * t;
    }
    return r;
}

static double formantResponse(const Formants &f, double hz)
{
    double g = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double d = (hz - f.freq[i]) / (0.5 * f.bw[i]);
        g += f.gain[i] / (1.0 + d * d);
    }
    // A floor keeps harmonics between formants audible, as in a real voice.
    return g + 0.02;
}

Signal voiced(double seconds, const Curve &pitch, const FormantCurve &formants,
              const Curve &amplitude, double firstPulse)
{
    Signal out = silence(seconds);
    constexpr double kTopHz = 7500.0;
    std::vector<double> weights;
    double phase = firstPulse > 0.0 ? -kTwoPi * pitch(0.0) * firstPulse : 0.0;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = static_cast<double>(n) / kSampleRate;
        const double a = amplitude(t);
        const double f0 = pitch(t);
        phase += kTwoPi * f0 / kSampleRate;
        if (phase > kTwoPi)
            phase -= kTwoPi;
        if (a <= 0.0 || f0 <= 0.0)
            continue;
        const Formants fm = formants(t);
        const int count = std::max(1, static_cast<int>(kTopHz / f0));
        weights.resize(static_cast<size_t>(count));
        double norm = 0.0;
        for (int k = 1; k <= count; ++k) {
            // Source roll-off of about -6 dB/octave, shaped by the tract.
            const double w = formantResponse(fm, k * f0) / k;
            weights[static_cast<size_t>(k - 1)] = w;
            norm += w * w;
        }
        // sin(k*phase) by recurrence: one sin/cos per sample instead of one per harmonic.
        const double c2 = 2.0 * std::cos(phase);
        double sPrev = 0.0;
        double s = std::sin(phase);
        double acc = 0.0;
        for (int k = 0; k < count; ++k) {
            acc += weights[static_cast<size_t>(k)] * s;
            const double sNext = c2 * s - sPrev;
            sPrev = s;
            s = sNext;
        }
        // Scaled to 0.5 RMS at full amplitude, the same footing as breath().
        out[n] = static_cast<float>(a * acc * 0.5 / std::sqrt(0.5 * norm));
    }
    return out;
}

Signal breath(double seconds, const Formants &f, const Curve &amplitude, Rng &rng)
{
    Signal out = silence(seconds);
    Biquad bands[3] = {Biquad::bandpass(f.freq[0], f.freq[0] / (3.0 * f.bw[0])),
                       Biquad::bandpass(f.freq[1], f.freq[1] / (3.0 * f.bw[1])),
                       Biquad::bandpass(f.freq[2], f.freq[2] / (3.0 * f.bw[2]))};
    // Turbulence in the tract has little energy above ~7 kHz.
    Biquad dull = Biquad::lowpass(7000, 0.7);
    double energy = 0.0;
    for (float &v : out) {
        const float x = dull.process(rng.noise());
        double y = 0.0;
        for (int i = 0; i < 3; ++i)
            y += f.gain[i] * bands[i].process(x);
        v = static_cast<float>(y);
        energy += y * y;
    }
    // Level is set by the curve, not by how wide the bands happen to be.
    const double rms = out.empty() ? 1.0 : std::sqrt(energy / out.size());
    const double norm = rms > 0 ? 0.5 / rms : 0.0;
    for (size_t n = 0; n < out.size(); ++n)
        out[n] = static_cast<float>(out[n] * norm * amplitude(double(n) / kSampleRate));
    return out;
}

Signal pluck(double freq, double seconds, double brightness, double t60, Rng &rng)
{
    Signal out = silence(seconds);
    // The averaging filter adds half a sample; an allpass supplies the remaining fraction so
    // that the pentatonic melody stays in tune (integer delays are up to 15 cents off).
    const double period = kSampleRate / freq;
    const int len = static_cast<int>(std::floor(period - 0.5 - 0.1));
    const double frac = period - 0.5 - len;
    const double c = (1.0 - frac) / (1.0 + frac);
    const double loss = std::pow(0.001, 1.0 / (freq * t60));

    std::vector<double> line(static_cast<size_t>(len));
    OnePoleLowpass tone(200.0 + brightness * 12000.0);
    for (double &v : line)
        v = tone.process(rng.noise());
    // Plucking near the bridge: comb out the harmonics with a node there.
    const int pickOffset = std::max(1, len / 7);
    std::vector<double> excite = line;
    double mean = 0.0;
    for (int i = 0; i < len; ++i) {
        line[static_cast<size_t>(i)] =
            excite[static_cast<size_t>(i)] - excite[static_cast<size_t>((i + pickOffset) % len)];
        mean += line[static_cast<size_t>(i)];
    }
    mean /= len;
    for (double &v : line)
        v -= mean;

    double prev = 0.0, apIn = 0.0, apOut = 0.0;
    size_t idx = 0;
    for (float &o : out) {
        const double x = line[idx];
        const double avg = 0.5 * (x + prev);
        prev = x;
        const double ap = c * avg + apIn - c * apOut;
        apIn = avg;
        apOut = ap;
        line[idx] = ap * loss;
        o = static_cast<float>(x);
        idx = (idx + 1) % line.size();
    }
    return out;
}

Signal strike(double freq, double seconds, const std::vector<Partial> &partials, double attack)
{
    Signal out = silence(seconds);
    for (const Partial &p : partials) {
        const double f = freq * p.ratio;
        if (f >= 0.45 * kSampleRate)
            continue;
        const double w = kTwoPi * f / kSampleRate;
        for (size_t n = 0; n < out.size(); ++n) {
            const double t = double(n) / kSampleRate;
            const double release = 1.0 - ramp(t, seconds - 0.01, 0.01);
            out[n] += static_cast<float>(p.amp * std::sin(w * n) * decay60(t, p.t60) *
                                         ramp(t, 0.0, attack) * release);
        }
    }
    return out;
}

void finish(Signal &s, double fadeIn, double fadeOut)
{
    // A 20 Hz DC blocker: noise-based sounds drift and would otherwise thump at the edges.
    const double r = 1.0 - kTwoPi * 20.0 / kSampleRate;
    double x1 = 0.0, y1 = 0.0;
    for (float &v : s) {
        const double y = v - x1 + r * y1;
        x1 = v;
        y1 = y;
        v = static_cast<float>(y);
    }
    const size_t n = s.size();
    const size_t in = std::min(n, static_cast<size_t>(samplesFor(fadeIn)));
    const size_t out = std::min(n, static_cast<size_t>(samplesFor(fadeOut)));
    for (size_t i = 0; i < in; ++i)
        s[i] *= static_cast<float>(0.5 - 0.5 * std::cos(kPi * double(i) / in));
    for (size_t i = 0; i < out; ++i)
        s[n - 1 - i] *= static_cast<float>(0.5 - 0.5 * std::cos(kPi * double(i) / out));
    // Level by average power so a steady siren is not far louder on the pad than a sparse
    // crash; sounds with big transients hit the peak ceiling first and end up a bit quieter.
    double energy = 0.0;
    for (float v : s)
        energy += double(v) * v;
    const double rms = n ? std::sqrt(energy / n) : 0.0;
    const float p = peak(s);
    if (p > 0.0f) {
        const double gain = std::min(std::pow(10.0, kCeilingDb / 20.0) / p,
                                     std::pow(10.0, kTargetRmsDb / 20.0) / rms);
        scale(s, static_cast<float>(gain));
    }
}

} // namespace soundkit
