#pragma once

#include <cstdint>

// Textures are built from integer hashing rather than <random> distributions, whose output
// may differ between standard libraries; the pictures must come out the same everywhere.
namespace noise {

// Smoothly interpolated lattice noise in [0, 1].
double value(double x, double y, std::uint32_t seed);

// Several octaves of value() summed and renormalised to [0, 1]; reads as soft clouds.
double clouds(double x, double y, std::uint32_t seed, int octaves);

// Small deterministic generator for placing marks and strokes.
class Rng {
public:
    explicit Rng(std::uint64_t seed)
        : state_(seed)
    {
    }
    std::uint64_t next();
    // Uniform in [0, 1).
    double unit();
    // Uniform integer in [lo, hi].
    int range(int lo, int hi);

private:
    std::uint64_t state_;
};

} // namespace noise
