// Reduction to the nearest quarter turn, then Taylor series in double precision (to the r^17 and
// r^16 terms) on at most an eighth of a turn: far more accurate than the float result, so that
// rounding gives the nearest float except for values within a double's error of half a float step.
#include "imaging/sine_cosine.h"

namespace {

// A quarter turn in two parts: the first with 33 significant bits, so that k times it is exact
// for every k the reduction meets.
constexpr double kQuarterTurnHigh = 1.57079632673412561417e+00;
constexpr double kQuarterTurnLow = 6.07710050650619224932e-11;
constexpr double kTwoOverPi = 6.36619772367581382433e-01;

// Every factorial up to 18! is exact in a double.
constexpr double Factorial(int n) {
    return n <= 1 ? 1.0 : n * Factorial(n - 1);
}

constexpr int kTerms = 9;

struct Series {
    double c[kTerms];
};

// (-1)^j / (first + 2j)!: the coefficients in r^2 of sin r / r (first 1) and cos r (first 0).
constexpr Series TaylorSeries(int first) {
    Series series{};
    double sign = 1.0;
    for (int j = 0; j < kTerms; ++j) {
        series.c[j] = sign / Factorial(first + 2 * j);
        sign = -sign;
    }
    return series;
}

constexpr Series kSineSeries = TaylorSeries(1);
constexpr Series kCosineSeries = TaylorSeries(0);

double Evaluate(const Series& series, double r2) {
    double sum = series.c[kTerms - 1];
    for (int j = kTerms - 2; j >= 0; --j)
        sum = sum * r2 + series.c[j];
    return sum;
}

}  // namespace

VOID SineCosine(float angle, float* sine, float* cosine) {
    const double x = angle;
    const double q = x * kTwoOverPi;
    const LONG k = (LONG)(q >= 0 ? q + 0.5 : q - 0.5);
    const double r = (x - k * kQuarterTurnHigh) - k * kQuarterTurnLow;
    const double s = r * Evaluate(kSineSeries, r * r);
    const double c = Evaluate(kCosineSeries, r * r);
    switch (k & 3) {
        case 0:
            *sine = (float)s;
            *cosine = (float)c;
            break;
        case 1:
            *sine = (float)c;
            *cosine = (float)-s;
            break;
        case 2:
            *sine = (float)-s;
            *cosine = (float)-c;
            break;
        default:
            *sine = (float)-c;
            *cosine = (float)s;
            break;
    }
}
