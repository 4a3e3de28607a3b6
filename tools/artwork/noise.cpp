#include "noise.h"

#include <cmath>

namespace noise {

namespace {

std::uint32_t hash(std::int32_t x, std::int32_t y, std::uint32_t seed)
{
    std::uint32_t h = seed ^ 0x9e3779b9u;
    h ^= static_cast<std::uint32_t>(x) * 0x85ebca6bu;
    h = (h << 13) | (h >> 19);
    h ^= static_cast<std::uint32_t>(y) * 0xc2b2ae35u;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

double lattice(std::int32_t x, std::int32_t y, std::uint32_t seed)
{
    return hash(x, y, seed) / 4294967295.0;
}

double smooth(double t)
{
    return t * t * (3.0 - 2.0 * t);
}

} // namespace

double value(double x, double y, std::uint32_t seed)
{
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const auto ix = static_cast<std::int32_t>(fx);
    const auto iy = static_cast<std::int32_t>(fy);
    const double tx = smooth(x - fx);
    const double ty = smooth(y - fy);
    const double a = lattice(ix, iy, seed);
    const double b = lattice(ix + 1, iy, seed);
    const double c = lattice(ix, iy + 1, seed);
    const double d = lattice(ix + 1, iy + 1, seed);
    const double top = a + (b - a) * tx;
    const double bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

double clouds(double x, double y, std::uint32_t seed, int octaves)
{
    double sum = 0.0;
    double weight = 1.0;
    double total = 0.0;
    double scale = 1.0;
    for (int i = 0; i < octaves; ++i) {
        sum += weight * value(x * scale, y * scale, seed + 7919u * static_cast<std::uint32_t>(i));
        total += weight;
        weight *= 0.5;
        scale *= 2.0;
    }
    return sum / total;
}

std::uint64_t Rng::next()
{
    // splitmix64
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

double Rng::unit()
{
    return static_cast<double>(next() >> 11) / 9007199254740992.0;
}

int Rng::range(int lo, int hi)
{
    const auto span = static_cast<std::uint64_t>(hi - lo + 1);
    return lo + static_cast<int>(next() % span);
}

} // namespace noise
