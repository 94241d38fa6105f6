#include "audio/dsp/kelDspMath.h"

#include <cmath>
#include <numbers>

double kelDspDB(double x) noexcept
{
    return std::pow(10.0, x / 20.0);
}

double kelDspPow(double a, double b) noexcept
{
    if (std::fabs(b) <= 1e-12) return 1.0;
    if (std::fabs(a) <= 1e-12 && b > 0) return 0.0;
    if (b == std::floor(b) && std::fabs(b) <= 2147483647.0) {
        uint64_t e = static_cast<uint64_t>(std::fabs(b));
        double base = a;
        double r = 1.0;
        while (e) {
            if (e & 1u) r *= base;
            base *= base;
            e >>= 1;
        }
        return b < 0 ? 1.0 / r : r;
    }
    return std::exp(b * std::log(a));
}

bool kelDspBiquadCoefficients(int32_t type, double gain, double freq, double q,
                              kelDspBiquadCoefs& out) noexcept
{
    out = kelDspBiquadCoefs{};
    const bool usesGain =
        type == kelDspFilter_peaking || type == kelDspFilter_lowShelf || type == kelDspFilter_highShelf;
    if (type < kelDspFilter_peaking || type > kelDspFilter_highShelf) return false;
    if (!std::isfinite(freq) || !std::isfinite(q) || !std::isfinite(gain)) return false;
    if (freq <= 0.0 || freq >= 0.5 || q <= 0.0 || (usesGain && gain <= 0.0)) return false;

    const double A = std::sqrt(gain);
    const double w = 2.0 * std::numbers::pi * freq;
    const double cs = std::cos(w);
    const double alpha = std::sin(w) / (2.0 * q);
    const double sa = 2.0 * std::sqrt(A) * alpha; // the shelves' 2 sqrt(A) alpha
    double b0, b1, b2, a0, a1, a2;
    switch (type) {
    case kelDspFilter_peaking:
        b0 = 1.0 + alpha * A;
        b1 = -2.0 * cs;
        b2 = 1.0 - alpha * A;
        a0 = 1.0 + alpha / A;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha / A;
        break;
    case kelDspFilter_lowPass:
        b0 = (1.0 - cs) / 2.0;
        b1 = 1.0 - cs;
        b2 = (1.0 - cs) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha;
        break;
    case kelDspFilter_highPass:
        b0 = (1.0 + cs) / 2.0;
        b1 = -(1.0 + cs);
        b2 = (1.0 + cs) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha;
        break;
    case kelDspFilter_lowShelf:
        b0 = A * ((A + 1.0) - (A - 1.0) * cs + sa);
        b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * cs);
        b2 = A * ((A + 1.0) - (A - 1.0) * cs - sa);
        a0 = (A + 1.0) + (A - 1.0) * cs + sa;
        a1 = -2.0 * ((A - 1.0) + (A + 1.0) * cs);
        a2 = (A + 1.0) + (A - 1.0) * cs - sa;
        break;
    default: // high shelf
        b0 = A * ((A + 1.0) + (A - 1.0) * cs + sa);
        b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * cs);
        b2 = A * ((A + 1.0) + (A - 1.0) * cs - sa);
        a0 = (A + 1.0) - (A - 1.0) * cs + sa;
        a1 = 2.0 * ((A - 1.0) - (A + 1.0) * cs);
        a2 = (A + 1.0) - (A - 1.0) * cs - sa;
        break;
    }
    kelDspBiquadCoefs c{b0 / a0, b1 / a0, b2 / a0, -a1 / a0, -a2 / a0};
    if (!std::isfinite(c.b0) || !std::isfinite(c.b1) || !std::isfinite(c.b2) || !std::isfinite(c.a1) ||
        !std::isfinite(c.a2))
        return false;
    out = c;
    return true;
}

void kelDspBiquad::run(const float* in, float* out, intptr_t n) noexcept
{
    for (intptr_t i = 0; i < n; ++i)
        out[i] = static_cast<float>(tick(in[i]));
}
