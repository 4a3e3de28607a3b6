#include "sounds.h"

#include <algorithm>
#include <cmath>

namespace soundkit {

namespace {

double timeOf(size_t n)
{
    return static_cast<double>(n) / kSampleRate;
}

double noteHz(int midi)
{
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// How fast every sound reaches its level: anything slower is heard as the pad lagging behind
// the button, while a millisecond is still too smooth to click.
constexpr double kAttack = 0.001;

// ---------------------------------------------------------------------------------------------
// Shared building blocks

// Band-limited sawtooth (polyBLEP), for the synth stab.
class Saw {
public:
    explicit Saw(double phase)
        : phase_(phase)
    {
    }
    float next(double freq)
    {
        const double dt = freq / kSampleRate;
        double v = 2.0 * phase_ - 1.0;
        v -= blep(phase_, dt);
        phase_ += dt;
        if (phase_ >= 1.0)
            phase_ -= 1.0;
        return static_cast<float>(v);
    }

private:
    static double blep(double p, double dt)
    {
        if (p < dt) {
            p /= dt;
            return p + p - p * p - 1.0;
        }
        if (p > 1.0 - dt) {
            p = (p - 1.0) / dt;
            return p * p + p + p + 1.0;
        }
        return 0.0;
    }
    double phase_;
};

// A single hand clap: a few micro-bursts a couple of milliseconds apart, as the palms do not
// meet all at once, through a random hand-cavity resonance.
Signal clap(Rng &rng)
{
    Signal s = silence(0.10);
    Biquad cavity = Biquad::bandpass(rng.range(800, 2400), rng.range(1.0, 2.2));
    Biquad air = Biquad::highpass(500, 0.7);
    const double t60 = rng.range(0.035, 0.07);
    const double second = rng.range(0.002, 0.004);
    const double third = second + rng.range(0.002, 0.005);
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = timeOf(n);
        const double env = std::max({decay60(t, 0.012), 0.8 * decay60(t - second, 0.012),
                                     decay60(t - third, t60)}) *
                           ramp(t, 0, 0.0007);
        s[n] = static_cast<float>(cavity.process(air.process(rng.noise())) * env);
    }
    return s;
}

Signal applause(double seconds, int clappers, Rng &rng)
{
    Signal out = silence(seconds);
    for (int c = 0; c < clappers; ++c) {
        const double period = rng.range(0.20, 0.32);
        // One keen clapper starts right away and loud, so the applause is there from the first
        // sample; the rest join within their first period.
        const double loudness = c == 0 ? 1.0 : rng.range(0.25, 1.0);
        const double first = c == 0 ? 0.0 : rng.range(0.0, period);
        for (double t = first; t < seconds; t += period * rng.range(0.9, 1.1))
            mix(out, clap(rng), t, static_cast<float>(loudness * rng.range(0.7, 1.0)));
    }
    return out;
}

Formants jitterVowel(Formants f, Rng &rng, double amount)
{
    for (double &hz : f.freq)
        hz *= 1.0 + amount * (2.0 * rng.uniform() - 1.0);
    return f;
}

// One "ha": aspiration first, then a short voiced vowel whose pitch falls through the burst.
Signal laughBurst(double f0, double voicedLen, double breathiness, Rng &rng, double attack = 0.012)
{
    const double hLen = 0.035;
    const double total = hLen + voicedLen + 0.03;
    const Formants vowel = jitterVowel(vowelA(), rng, 0.06);
    Signal s = breath(
        total, vowel,
        [=](double t) {
            return 0.35 * ramp(t, 0, attack) * (1 - ramp(t, hLen - 0.01, 0.03)) +
                   breathiness * ramp(t, hLen, 0.02) * (1 - ramp(t, total - 0.06, 0.05));
        },
        rng);
    const double bend = rng.range(0.10, 0.20);
    Signal v = voiced(
        total, [=](double t) { return f0 * (1.05 - bend * std::max(0.0, t - hLen) / voicedLen); },
        [=](double) { return vowel; },
        [=](double t) {
            return ramp(t, hLen - 0.015, 0.025) *
                   (1 - ramp(t, hLen + 0.35 * voicedLen, 0.65 * voicedLen + 0.01));
        });
    mix(s, v, 0.0);
    return s;
}

// A run of "ha"s that slows, drops in pitch and fades like a real laugh running out of air.
Signal laughRun(double seconds, double start, int bursts, double f0, double spacing, Rng &rng,
                double breathiness = 0.15)
{
    Signal out = silence(seconds);
    double t = start;
    for (int i = 0; i < bursts; ++i) {
        const double progress = bursts > 1 ? double(i) / (bursts - 1) : 0.0;
        const double pitch = f0 * (1.0 - 0.18 * progress) * rng.range(0.96, 1.04);
        const double gain = (1.0 - 0.35 * progress) * rng.range(0.85, 1.0);
        // The first "ha" bursts out; the rest ride on the breath already flowing.
        mix(out,
            laughBurst(pitch, 0.085 + 0.03 * progress, breathiness, rng, i == 0 ? kAttack : 0.012),
            t, static_cast<float>(gain));
        t += spacing * (1.0 + 0.25 * progress) * rng.range(0.92, 1.08);
    }
    return out;
}

// Breath drawn in between laughs: a rising, hoarse "hhh".
Signal inhale(double seconds, Rng &rng)
{
    Formants f = vowelE();
    f.freq[0] = 900;
    return breath(
        seconds, f,
        [=](double t) {
            return 0.35 * ramp(t, 0, seconds * 0.7) * (1 - ramp(t, seconds * 0.8, seconds * 0.2));
        },
        rng);
}

// A bright inharmonic ping, for glass and falling shards.
void addShard(Signal &out, double at, double gain, int partials, double lowHz, double highHz,
              double t60Max, Rng &rng)
{
    std::vector<Partial> ps;
    for (int i = 0; i < partials; ++i)
        ps.push_back({rng.range(lowHz, highHz) / 1000.0, rng.range(0.3, 1.0),
                      rng.range(0.3 * t60Max, t60Max)});
    Signal s = strike(1000.0, t60Max * 1.1, ps, 0.0015);
    mix(out, s, at, static_cast<float>(gain / partials));
}

// ---------------------------------------------------------------------------------------------
// The kit

Signal introJingle()
{
    // Rising major arpeggio on a bright mallet; the last note rings over a soft chord.
    const std::vector<Partial> mallet = {{1.0, 1.0, 1.0},
                                         {2.0, 0.35, 0.6},
                                         {3.0, 0.25, 0.35},
                                         {4.01, 0.15, 0.25},
                                         {6.0, 0.05, 0.15}};
    Signal out = silence(1.2);
    const int notes[] = {72, 76, 79, 84};
    for (int i = 0; i < 4; ++i) {
        const double len = i == 3 ? 0.75 : 0.5;
        mix(out, strike(noteHz(notes[i]), len, mallet), 0.13 * i, i == 3 ? 1.0f : 0.8f);
    }
    const std::vector<Partial> pad = {{1.0, 1.0, 1.4}, {2.0, 0.2, 0.8}};
    for (int n : {60, 64, 67})
        mix(out, strike(noteHz(n), 0.8, pad, 0.05), 0.39, 0.22f);
    finish(out, 0.002, 0.08);
    return out;
}

Signal closingJingle()
{
    // Falling phrase on a rounder, vibraphone-like tone with tremolo, landing on the low tonic and
    // fifth.
    const std::vector<Partial> vibe = {{1.0, 1.0, 1.2}, {4.0, 0.12, 0.3}, {10.0, 0.03, 0.1}};
    Signal out = silence(1.0);
    const int notes[] = {79, 76, 72};
    for (int i = 0; i < 3; ++i)
        mix(out, strike(noteHz(notes[i]), 0.45, vibe), 0.15 * i, 0.8f);
    mix(out, strike(noteHz(60), 0.55, vibe), 0.45, 0.7f);
    mix(out, strike(noteHz(67), 0.55, vibe), 0.45, 0.35f);
    for (size_t n = 0; n < out.size(); ++n)
        out[n] *= static_cast<float>(1.0 - 0.2 * (0.5 + 0.5 * std::sin(kTwoPi * 5.5 * timeOf(n))));
    finish(out, 0.002, 0.08);
    return out;
}

Signal shortLaugh()
{
    Rng rng(101);
    Signal out = laughRun(1.0, 0.0, 4, 230.0, 0.21, rng);
    finish(out);
    return out;
}

Signal siren()
{
    // Two full up/down cycles between 600 and 1200 Hz, square-ish like an electronic siren.
    const double seconds = 2.5, cycle = 1.25;
    Signal out = silence(seconds);
    double phase = 0.0;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        const double f = 600.0 * std::pow(2.0, 0.5 - 0.5 * std::cos(kTwoPi * t / cycle));
        phase += kTwoPi * f / kSampleRate;
        const double v = std::sin(phase) + 0.3 * std::sin(3 * phase) + 0.15 * std::sin(5 * phase) +
                         0.12 * std::sin(2 * phase);
        out[n] = static_cast<float>(v * ramp(t, 0, kAttack) * (1 - ramp(t, seconds - 0.1, 0.1)));
    }
    finish(out);
    return out;
}

Signal waiting()
{
    // Clock "tick-tock": the escapement's click rings a few small metal modes and the wooden
    // case, alternating between two slightly different pitches.
    Rng rng(303);
    Signal out = silence(2.0);
    for (int i = 0; i < 8; ++i) {
        const bool tock = i % 2 == 1;
        const std::vector<Partial> modes = {
            {2.6, 1.0, 0.05}, {4.1, 0.6, 0.04}, {1.25, 0.7, 0.07}, {0.52, 0.9, 0.09}};
        Signal tick = strike(tock ? 780.0 : 1000.0, 0.12, modes, 0.0005);
        Biquad click = Biquad::bandpass(3500, 1.0);
        for (size_t n = 0; n < tick.size(); ++n)
            tick[n] +=
                2.0f * click.process(static_cast<float>(rng.noise() * decay60(timeOf(n), 0.002)));
        mix(out, tick, 0.25 * i, tock ? 0.8f : 1.0f);
    }
    finish(out);
    return out;
}

Signal glassBreak()
{
    Rng rng(404);
    const double seconds = 1.2;
    Signal out = silence(seconds);
    // Impact: bright crack of high-passed noise.
    Biquad hp1 = Biquad::highpass(2500, 0.7), hp2 = Biquad::highpass(2500, 0.7);
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        const double env = 0.9 * decay60(t, 0.09) + 0.25 * decay60(t, 0.35);
        out[n] += static_cast<float>(hp2.process(hp1.process(rng.noise())) * env);
    }
    // The pane itself: many high, inharmonic ringing partials starting within the break.
    for (int i = 0; i < 14; ++i)
        addShard(out, rng.range(0, 0.06), rng.range(1.2, 2.4), 4, 2500, 10500, 0.8, rng);
    // Pieces landing afterwards, fewer and quieter as time goes on.
    for (int i = 0; i < 16; ++i) {
        const double at = 0.11 + 0.75 * std::pow(rng.uniform(), 1.6);
        addShard(out, at, rng.range(0.4, 1.2) * (1.0 - 0.6 * at), 3, 3500, 9500, 0.25, rng);
    }
    finish(out, 0.001, 0.06);
    return out;
}

Signal applauseAndLaughter()
{
    Rng rng(505);
    const double seconds = 2.5;
    Signal claps = applause(seconds, 26, rng);
    for (size_t n = 0; n < claps.size(); ++n) {
        const double t = timeOf(n);
        claps[n] *= static_cast<float>(ramp(t, 0, kAttack) * (1 - ramp(t, seconds - 0.6, 0.6)));
    }
    scale(claps, 1.0f / peak(claps));
    Signal out = silence(seconds);
    mix(out, claps, 0.0, 0.55f);
    // A small crowd: laughers at different pitches and tempos over the clapping.
    const double pitches[] = {240.0, 170.0, 300.0};
    const double spacings[] = {0.19, 0.22, 0.17};
    const double starts[] = {0.0, 0.2, 0.45};
    for (int i = 0; i < 3; ++i) {
        Signal l = laughRun(seconds, starts[i], 8 - 2 * i, pitches[i], spacings[i], rng);
        mix(out, l, 0.0, i == 0 ? 0.9f : 0.6f);
    }
    finish(out, kAttack, 0.1);
    return out;
}

Signal crash()
{
    Rng rng(606);
    const double seconds = 2.0, impact = 1.05;
    Signal out = silence(seconds);
    // Tyre screech: a wavering high squeal gliding down, with rough noise riding on it.
    Drift wobble(61, 25.0), rough(62, 60.0);
    Biquad hiss = Biquad::bandpass(1800, 4);
    double phase = 0.0;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        if (t > impact + 0.03)
            break;
        const double f = (2100.0 - 650.0 * t / impact) * (1.0 + 0.03 * wobble.next());
        phase += kTwoPi * f / kSampleRate;
        const double tone =
            std::sin(phase) + 0.35 * std::sin(2 * phase) + 0.15 * std::sin(3 * phase);
        const double env =
            ramp(t, 0, kAttack) * (1 - ramp(t, impact, 0.02)) * (0.75 + 0.25 * rough.next());
        out[n] = static_cast<float>(env * (0.5 * tone + 0.9 * hiss.process(rng.noise())));
    }
    // Impact: body thump, low crunch noise and metal ringing, then debris.
    Biquad crunchLp = Biquad::lowpass(2500, 0.8), crackleBp = Biquad::bandpass(2200, 1.2);
    double thumpPhase = 0.0;
    const std::vector<Partial> metal = {{1.0, 1.0, 0.5},  {1.53, 0.8, 0.4}, {2.31, 0.7, 0.35},
                                        {3.17, 0.5, 0.3}, {4.6, 0.4, 0.25}, {6.2, 0.3, 0.2}};
    Signal clang = strike(310.0, 0.8, metal, 0.001);
    for (size_t n = static_cast<size_t>(samplesFor(impact)); n < out.size(); ++n) {
        const double t = timeOf(n) - impact;
        thumpPhase += kTwoPi * (45.0 + 60.0 * decay60(t, 0.15)) / kSampleRate;
        crunchLp.setLowpass(300.0 + 3000.0 * decay60(t, 0.3), 0.8);
        const double crunch = crunchLp.process(rng.noise()) * decay60(t, 0.55);
        // Crumpling metal is a storm of tiny irregular impacts, not smooth noise.
        const float crack = rng.uniform() < 0.03 * decay60(t, 0.5) ? rng.noise() * 6.0f : 0.0f;
        out[n] += static_cast<float>(1.3 * std::sin(thumpPhase) * decay60(t, 0.45) + 1.4 * crunch +
                                     crackleBp.process(crack));
    }
    mix(out, clang, impact, 0.25f);
    for (int i = 0; i < 8; ++i)
        addShard(out, impact + rng.range(0.02, 0.6), rng.range(0.3, 0.7), 3, 2500, 8000, 0.2, rng);
    finish(out, kAttack, 0.08);
    return out;
}

Signal booing()
{
    Rng rng(707);
    const double seconds = 1.8;
    Signal out = silence(seconds);
    // A handful of detuned voices on "boo", each starting and vibrating a little differently.
    for (int v = 0; v < 6; ++v) {
        const double f0 = 118.0 * rng.range(0.93, 1.07);
        const double rate = rng.range(4.5, 6.0), depth = rng.range(0.01, 0.02);
        // Two voices lead at once; the others join a little later and more softly.
        const bool leads = v < 2;
        const double onset = leads ? 0.0 : rng.range(0.0, 0.12);
        const double attack = leads ? kAttack : 0.12, vibPhase = rng.range(0, kTwoPi);
        const double end = seconds - rng.range(0.0, 0.15);
        Drift jitter(700 + v, 6.0);
        const Formants u = jitterVowel(vowelU(), rng, 0.08);
        Formants lips = u; // "b": lips closed, everything low and dull
        lips.freq[0] = 200;
        lips.freq[1] = 600;
        Signal s = voiced(
            seconds,
            [=, &jitter](double t) {
                const double contour = 1.0 + 0.05 * ramp(t, onset, 0.2) - 0.1 * ramp(t, 1.1, 0.6);
                return f0 * contour * (1 + depth * std::sin(kTwoPi * rate * t + vibPhase)) *
                       (1 + 0.01 * jitter.next());
            },
            [=](double t) { return blend(lips, u, ramp(t, onset, 0.08)); },
            [=](double t) { return ramp(t, onset, attack) * (1 - ramp(t, end - 0.45, 0.45)); },
            leads ? kAttack : 0.0);
        mix(out, s, 0.0, static_cast<float>(leads ? 1.0 : rng.range(0.6, 1.0)));
    }
    Signal air = breath(
        seconds, vowelU(),
        [=](double t) { return 0.1 * ramp(t, 0.05, 0.2) * (1 - ramp(t, seconds - 0.5, 0.5)); },
        rng);
    mix(out, air, 0.0);
    finish(out);
    return out;
}

Signal cough()
{
    Rng rng(808);
    const double seconds = 1.0;
    Signal out = silence(seconds);
    const double starts[] = {0.0, 0.31, 0.58};
    const double gains[] = {1.0, 0.8, 0.55};
    for (int i = 0; i < 3; ++i) {
        const double len = 0.26 - 0.03 * i;
        // Explosive release of the glottis: noise with an almost instant attack, muffled by
        // the throat, plus a rough voiced edge at the start.
        Formants throat = jitterVowel(vowelE(), rng, 0.1);
        throat.bw[0] = throat.bw[1] = 300;
        Signal burst = breath(
            len, throat,
            [=](double t) {
                return ramp(t, 0, kAttack) * (0.35 + 0.65 * decay60(t, 0.08)) *
                       decay60(t, len * 1.3);
            },
            rng);
        Drift jitter(800 + i, 80.0);
        const double f0 = rng.range(150, 190);
        Signal voice = voiced(
            len, [=, &jitter](double) { return f0 * (1 + 0.08 * jitter.next()); },
            [=](double) { return throat; },
            [=](double t) { return 0.5 * ramp(t, 0.003, 0.01) * decay60(t, 0.09); });
        mix(burst, voice, 0.0);
        Biquad lp = Biquad::lowpass(2800, 0.7);
        for (float &v : burst)
            v = lp.process(v);
        mix(out, burst, starts[i], static_cast<float>(gains[i]));
    }
    finish(out, 0.001);
    return out;
}

Signal applauseOnly()
{
    Rng rng(909);
    const double seconds = 2.5;
    Signal out = applause(seconds, 42, rng);
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        out[n] *= static_cast<float>(ramp(t, 0, kAttack) * (1 - ramp(t, seconds - 0.7, 0.7)));
    }
    finish(out);
    return out;
}

Signal crazy()
{
    // Cartoon "bwoing-oing": the pitch springs around a rising centre while the mouth opens
    // and closes with it, so it warbles like a wobbling spring.
    const double seconds = 1.5;
    auto boing = [](double t) {
        const double local = t < 0.7 ? t : t - 0.7;
        const double centre = t < 0.7 ? 150.0 : 220.0;
        const double swing = 0.7 * decay60(local, 1.6);
        const double glide = std::pow(2.0, 0.6 * local);
        return centre * glide * std::pow(2.0, swing * std::sin(kTwoPi * 7.5 * local));
    };
    auto mouth = [](double t) {
        const double local = t < 0.7 ? t : t - 0.7;
        return blend(vowelU(), vowelA(), 0.5 + 0.5 * std::sin(kTwoPi * 7.5 * local - 1.0));
    };
    Signal out = voiced(seconds, boing, mouth, [=](double t) {
        const double first = ramp(t, 0, kAttack) * (1 - ramp(t, 0.55, 0.15));
        const double second = ramp(t, 0.7, 0.02) * (1 - ramp(t, seconds - 0.35, 0.35));
        return first + second;
    });
    finish(out);
    return out;
}

Signal policeWhistle()
{
    // The pea in the whistle chops the air ~25 times a second: a fast wobble in both pitch
    // and loudness around 2.9 kHz, plus breath noise through the same cavity.
    Rng rng(1111);
    const double seconds = 1.5;
    Signal out = silence(seconds);
    Drift rate(1112, 3.0);
    Biquad cavity = Biquad::bandpass(2900, 6);
    double phase = 0.0, trill = 0.0;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        const double blast = ramp(t, 0.0, kAttack) * (1 - ramp(t, 0.22, 0.02)) +
                             ramp(t, 0.36, 0.02) * (1 - ramp(t, 1.38, 0.08));
        trill += kTwoPi * (25.0 + 2.0 * rate.next()) / kSampleRate;
        const double f = 2900.0 + 160.0 * std::sin(trill);
        phase += kTwoPi * f / kSampleRate;
        const double am = 0.6 + 0.4 * std::sin(trill + 0.6);
        const double v =
            am * (std::sin(phase) + 0.08 * std::sin(2 * phase)) + 0.5 * cavity.process(rng.noise());
        out[n] = static_cast<float>(blast * v);
    }
    finish(out);
    return out;
}

Signal japanese()
{
    // Koto-like plucks on the miyako-bushi pentatonic (E F A B C).
    Rng rng(1212);
    const double seconds = 2.0;
    Signal out = silence(seconds);
    struct Note {
        int midi;
        double at;
    };
    const Note melody[] = {{76, 0.00}, {72, 0.20}, {71, 0.40}, {69, 0.60},
                           {71, 0.90}, {65, 1.10}, {64, 1.30}, {52, 1.30}};
    for (const Note &n : melody) {
        Signal s = pluck(noteHz(n.midi), seconds - n.at, 0.75, 1.3, rng);
        mix(out, s, n.at, n.midi < 60 ? 0.5f : 1.0f);
    }
    finish(out, 0.001, 0.2);
    return out;
}

Signal wooow()
{
    // "w" (rounded lips) opening to "aa", then closing back through "o" to "w".
    const double seconds = 1.5;
    Drift jitter(1313, 8.0);
    Signal out = voiced(
        seconds,
        [&](double t) {
            const double up = 170.0 + 110.0 * ramp(t, 0.0, 0.5);
            const double down = -150.0 * ramp(t, 0.6, 0.85);
            return (up + down) * (1 + 0.015 * std::sin(kTwoPi * 5.5 * t) * ramp(t, 0.3, 0.3)) *
                   (1 + 0.004 * jitter.next());
        },
        [](double t) {
            if (t < 0.5)
                return blend(vowelU(), vowelA(), ramp(t, 0.05, 0.4));
            if (t < 1.0)
                return blend(vowelA(), vowelO(), ramp(t, 0.6, 0.4));
            return blend(vowelO(), vowelU(), ramp(t, 1.0, 0.35));
        },
        [=](double t) { return ramp(t, 0, kAttack) * (1 - ramp(t, seconds - 0.3, 0.3)); });
    finish(out);
    return out;
}

Signal ahHaHa()
{
    // A knowing "aah" that rises and falls, then two "ha"s.
    Rng rng(1414);
    const double seconds = 1.5;
    Signal out = silence(seconds);
    const Formants a = vowelA();
    Signal ah = voiced(
        0.6, [](double t) { return 150.0 + 40.0 * ramp(t, 0, 0.25) - 55.0 * ramp(t, 0.25, 0.35); },
        [=](double) { return a; },
        [](double t) { return ramp(t, 0, kAttack) * (1 - ramp(t, 0.35, 0.25)); }, kAttack);
    Signal ahBreath = breath(
        0.6, a, [](double t) { return 0.3 * ramp(t, 0, kAttack) * (1 - ramp(t, 0.02, 0.05)); },
        rng);
    mix(out, ahBreath, 0.0);
    mix(out, ah, 0.0);
    mix(out, laughBurst(175.0, 0.13, 0.12, rng), 0.76, 0.95f);
    mix(out, laughBurst(160.0, 0.16, 0.12, rng), 1.06, 0.8f);
    finish(out);
    return out;
}

Signal explosion()
{
    Rng rng(1515);
    const double seconds = 2.5;
    Signal out = silence(seconds);
    Biquad body = Biquad::lowpass(4000, 0.7), rumbleLp1 = Biquad::lowpass(120, 0.7),
           rumbleLp2 = Biquad::lowpass(120, 0.7);
    Drift surge(1516, 6.0);
    double thump = 0.0;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        // The blast darkens quickly while the low rumble lingers.
        body.setLowpass(250.0 + 4000.0 * decay60(t, 0.9), 0.7);
        const float x = rng.noise();
        const double blast = body.process(x) * decay60(t, 2.0);
        const double rumble = rumbleLp2.process(rumbleLp1.process(x)) * decay60(t, 4.5);
        thump += kTwoPi * (32.0 + 50.0 * decay60(t, 0.25)) / kSampleRate;
        const double crack = rng.noise() * decay60(t, 0.03);
        const double irregular = 0.75 + 0.25 * surge.next();
        out[n] = static_cast<float>(irregular * (1.2 * blast + 10.0 * rumble) +
                                    0.9 * std::sin(thump) * decay60(t, 1.4) + 0.5 * crack);
    }
    // Debris pattering down in the first second.
    Biquad debrisBp = Biquad::bandpass(1200, 1.5);
    for (size_t n = static_cast<size_t>(samplesFor(0.15)); n < out.size(); ++n) {
        const double t = timeOf(n);
        const float click =
            rng.uniform() < 0.004 * decay60(t - 0.15, 1.0) ? rng.noise() * 3.0f : 0.0f;
        out[n] += 0.15f * debrisBp.process(click);
    }
    finish(out, 0.001, 0.4);
    return out;
}

Signal carPassing()
{
    // A car at ~125 km/h passing 5 m away: the engine's pitch falls as it passes (Doppler),
    // and it swells in loudness and brightness as it gets close. Loudness follows only half the
    // distance law in dB, as a recordist riding the gain would, so the car is already there when
    // the pad is pressed; the brightness and the pitch still tell it is approaching.
    Rng rng(1616);
    const double seconds = 2.5, pass = 1.25, speed = 35.0, closest = 5.0, sound = 343.0;
    const double firing = 120.0;
    Signal out = silence(seconds);
    Biquad tyreLp = Biquad::lowpass(900, 0.7);
    Drift load(1617, 4.0);
    // Open just before a firing: a cycle lasts 15 ms here, and its quiet part would be heard
    // as a late start.
    double phase = -0.3;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        const double x = speed * (t - pass);
        const double dist = std::sqrt(x * x + closest * closest);
        const double radial = speed * x / dist;
        const double nearness = closest / dist;
        const double f = firing * (1 + 0.01 * load.next()) * sound / (sound + radial);
        // Half-order harmonics give the uneven, throaty engine note.
        const double base = 0.5 * f;
        phase += kTwoPi * base / kSampleRate;
        if (phase > kTwoPi)
            phase -= kTwoPi;
        const double cutoff = 600.0 + 3500.0 * nearness;
        const double c2 = 2.0 * std::cos(phase);
        double sPrev = 0.0, s = std::sin(phase), acc = 0.0;
        for (int k = 1; k * base < 5000.0; ++k) {
            const double h = k * base / cutoff;
            acc += (k % 2 == 0 ? 1.0 : 0.3) / std::pow(k, 0.7) / (1.0 + h * h * h * h) * s;
            const double next = c2 * s - sPrev;
            sPrev = s;
            s = next;
        }
        const double level = std::sqrt(nearness);
        const double tyres = tyreLp.process(rng.noise()) * std::pow(level, 1.3);
        out[n] = static_cast<float>(level * 0.5 * acc + 1.0 * tyres);
    }
    finish(out, kAttack, 0.15);
    return out;
}

Signal longCry()
{
    Rng rng(1717);
    const double seconds = 2.0;
    Drift jitter(1718, 10.0);
    Formants loud = vowelA();
    loud.freq[0] = 850; // shouting opens the jaw and raises F1
    loud.freq[1] = 1250;
    Signal out = voiced(
        seconds,
        [&](double t) {
            const double scoop = 300.0 + 45.0 * ramp(t, 0, 0.15);
            const double fall = -90.0 * ramp(t, seconds - 0.45, 0.4);
            const double vibrato = 1 + 0.025 * std::sin(kTwoPi * 5.5 * t) * ramp(t, 0.3, 0.4);
            return (scoop + fall) * vibrato * (1 + 0.004 * jitter.next());
        },
        [=](double) { return loud; },
        [=](double t) {
            return ramp(t, 0, kAttack) * (0.85 + 0.15 * ramp(t, 0.2, 0.8)) *
                   (1 - ramp(t, seconds - 0.3, 0.3));
        },
        kAttack);
    Signal air = breath(
        seconds, loud,
        [=](double t) { return 0.08 * ramp(t, 0, kAttack) * (1 - ramp(t, seconds - 0.3, 0.3)); },
        rng);
    mix(out, air, 0.0);
    finish(out);
    return out;
}

Signal laughter()
{
    Rng rng(1818);
    const double seconds = 2.0;
    Signal out = laughRun(seconds, 0.0, 7, 260.0, 0.19, rng, 0.2);
    mix(out, inhale(0.35, rng), 1.55, 0.7f);
    finish(out);
    return out;
}

Signal kiss()
{
    // Lips under suction squeak briefly, then part with a small wet pop.
    Rng rng(1919);
    const double seconds = 0.4;
    Signal out = silence(seconds);
    double phase = 0.0;
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = timeOf(n);
        if (t > 0.09)
            break;
        const double f = 1700.0 + 1100.0 * (t / 0.09);
        phase += kTwoPi * f / kSampleRate;
        const double env = ramp(t, 0, kAttack) * (1 - ramp(t, 0.03, 0.06));
        out[n] += static_cast<float>(0.07 * std::sin(phase) * env);
    }
    Biquad lip = Biquad::bandpass(1100, 2.0), body = Biquad::bandpass(350, 1.5);
    const size_t pop = static_cast<size_t>(samplesFor(0.09));
    for (size_t n = pop; n < out.size(); ++n) {
        const double t = timeOf(n - pop);
        const float hit =
            static_cast<float>(rng.noise() * decay60(t, 0.006) + (n == pop ? 4.0 : 0.0));
        out[n] += 1.2f * lip.process(hit) + 0.8f * body.process(hit);
    }
    finish(out, 0.002, 0.05);
    return out;
}

Signal remixedBy()
{
    // Four-on-the-floor at 128 BPM: kick, off-beat hats, a clap on 2 and 4 and a minor stab.
    Rng rng(2020);
    const double seconds = 2.5, beat = 60.0 / 128.0;
    Signal out = silence(seconds);

    Signal kick = silence(0.4);
    double kp = 0.0;
    for (size_t n = 0; n < kick.size(); ++n) {
        const double t = timeOf(n);
        kp += kTwoPi * (48.0 + 110.0 * decay60(t, 0.08)) / kSampleRate;
        kick[n] = static_cast<float>(std::sin(kp) * decay60(t, 0.4) +
                                     0.3 * rng.noise() * decay60(t, 0.004));
    }
    for (int b = 0; b < 5; ++b)
        mix(out, kick, b * beat, 1.0f);

    for (int i = 0; i < 10; ++i) {
        Signal hat = silence(0.08);
        Biquad hp = Biquad::highpass(7500, 0.8);
        const double len = i % 2 ? 0.05 : 0.02;
        for (size_t n = 0; n < hat.size(); ++n)
            hat[n] = static_cast<float>(hp.process(rng.noise()) * decay60(timeOf(n), len));
        mix(out, hat, i * beat / 2.0, i % 2 ? 0.35f : 0.12f);
    }
    for (int b : {1, 3}) {
        Signal c = clap(rng);
        mix(out, c, b * beat, 0.8f);
        mix(out, clap(rng), b * beat + 0.012, 0.5f);
    }

    const int chord[] = {57, 60, 64, 69};
    const double stabs[] = {0.0, 1.5 * beat, 3.0 * beat, 4.0 * beat};
    for (int s = 0; s < 4; ++s) {
        const double len = s == 3 ? seconds - stabs[s] : 0.28;
        Signal stab = silence(len);
        std::vector<Saw> oscs;
        for (int i = 0; i < 8; ++i)
            oscs.emplace_back(rng.uniform());
        Biquad filter = Biquad::lowpass(3000, 1.5);
        for (size_t n = 0; n < stab.size(); ++n) {
            const double t = timeOf(n);
            double v = 0.0;
            for (int i = 0; i < 8; ++i)
                v += oscs[static_cast<size_t>(i)].next(noteHz(chord[i / 2]) *
                                                       (i % 2 ? 1.006 : 0.994));
            filter.setLowpass(400.0 + 4000.0 * decay60(t, 0.25), 1.5);
            const double env = ramp(t, 0, 0.004) * decay60(t, s == 3 ? 0.9 : 0.35) *
                               (1 - ramp(t, len - 0.01, 0.01));
            stab[n] = static_cast<float>(filter.process(static_cast<float>(v / 8.0)) * env);
        }
        mix(out, stab, stabs[s], 0.8f);
    }
    finish(out, 0.002, 0.15);
    return out;
}

} // namespace

const std::vector<SoundDef> &soundKit()
{
    static const std::vector<SoundDef> kit = {
        {"00.tzk", "intro", introJingle},
        {"01.tzk", "closing", closingJingle},
        {"1.tzk", "Kısa Gülme", shortLaugh},
        {"2.tzk", "Siren", siren},
        {"3.tzk", "Bekleme", waiting},
        {"4.tzk", "Kırılma", glassBreak},
        {"5.tzk", "Alkış Gülme", applauseAndLaughter},
        {"6.tzk", "Kaza Anı", crash},
        {"7.tzk", "Buuu", booing},
        {"8.tzk", "Öksürük", cough},
        {"9.tzk", "Alkış", applauseOnly},
        {"10.tzk", "Deli", crazy},
        {"11.tzk", "Polis Düdüğü", policeWhistle},
        {"12.tzk", "Japon İşi", japanese},
        {"13.tzk", "Wooow", wooow},
        {"14.tzk", "Ah Ha Ha", ahHaHa},
        {"15.tzk", "Patlama", explosion},
        {"16.tzk", "Araba Geçiş", carPassing},
        {"17.tzk", "Aaaa", longCry},
        {"18.tzk", "Gülme", laughter},
        {"19.tzk", "Öpücük", kiss},
        {"20.tzk", "Remixed by", remixedBy},
    };
    return kit;
}

} // namespace soundkit
