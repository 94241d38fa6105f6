#pragma once
// Arithmetic shared by the processors: decibels, a power function with the
// library's special cases, and RBJ cookbook biquads (y = b0 x + b1 x1 + b2 x2
// + a1 y1 + a2 y2, feedback terms stored negated and normalised by a0).
// Pure routines and plain state; any thread.

#include <cstdint>

// 10^(x/20): the linear factor of x dB.
double kelDspDB(double x) noexcept;

// a^b with: 1 for |b| <= 1e-12; 0 for |a| <= 1e-12 and b > 0; repeated
// squaring for whole b within the 32-bit range (negative: the reciprocal);
// exp(b ln a) otherwise. May be infinite or NaN where exp/ln are.
double kelDspPow(double a, double b) noexcept;

// Filter types of the equalisers; 0 switches a band off.
enum kelDspFilterType : int32_t {
    kelDspFilter_off = 0,
    kelDspFilter_peaking = 1,
    kelDspFilter_lowPass = 2,
    kelDspFilter_highPass = 3,
    kelDspFilter_lowShelf = 4,
    kelDspFilter_highShelf = 5,
};

struct kelDspBiquadCoefs
{
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
};

// Coefficients for `type` at linear gain `gain`, frequency `freq` (fraction
// of the rate) and `q`. False, with a pass-through (b0 = 1, the rest 0), when
// the arguments are invalid: an unknown type, a frequency outside (0, 0.5),
// Q or (for the gain-using types) gain not positive, anything not finite.
bool kelDspBiquadCoefficients(int32_t type, double gain, double freq, double q,
                              kelDspBiquadCoefs& out) noexcept;

// One biquad's coefficients and history (kept across blocks).
class kelDspBiquad
{
public:
    void setCoefs(const kelDspBiquadCoefs& c) noexcept { f_c = c; }
    const kelDspBiquadCoefs& coefs() const noexcept { return f_c; }
    void clearHistory() noexcept { f_x1 = f_x2 = f_y1 = f_y2 = 0.0; }

    double tick(double x) noexcept
    {
        const double y = f_c.b0 * x + f_c.b1 * f_x1 + f_c.b2 * f_x2 + f_c.a1 * f_y1 + f_c.a2 * f_y2;
        f_x2 = f_x1;
        f_x1 = x;
        f_y2 = f_y1;
        f_y1 = y;
        return y;
    }
    // `out` may be `in`.
    void run(const float* in, float* out, intptr_t n) noexcept;

private:
    kelDspBiquadCoefs f_c;
    double f_x1 = 0.0, f_x2 = 0.0, f_y1 = 0.0, f_y2 = 0.0;
};
