// Closed-form eigenvalues of K phi = lambda M phi and the natural frequencies.
#include "modal/modal.h"

#include "frame/frame.h"

#include <cmath>

void eigenvalues() {
    // det(K - lambda M) = a lambda^2 + b lambda + c, with all four entries of each matrix.
    const double(&m)[2][2] = rec.m;
    const double(&k)[2][2] = rec.k;
    rec.a = m[0][0] * m[1][1] - m[0][1] * m[1][0];
    rec.b = -m[0][0] * k[1][1] - m[1][1] * k[0][0] + m[0][1] * k[1][0] + m[1][0] * k[0][1];
    rec.c = k[0][0] * k[1][1] - k[0][1] * k[1][0];

    // The plain quadratic formula, roots kept as they come: ev1 carries the minus sign, so it
    // is the lower mode for a positive-definite pair. A singular M or a truly negative
    // discriminant is not caught here: inf and nan flow on into the modes and the time history,
    // as printed, and the model check names the cause on stderr.
    double d = std::pow(rec.b, 2.0) - 4.0 * rec.a * rec.c;
    // With M positive definite and K without negative springs on the diagonal the roots are
    // real, so a negative discriminant is rounding: with K proportional to M (equal
    // frequencies) b^2 and 4ac are equal and their difference may come out a hair below zero.
    if (d < 0.0 && m[0][0] > 0.0 && rec.a > 0.0 && k[0][0] >= 0.0 && k[1][1] >= 0.0) d = 0.0;
    rec.ev1 = (-rec.b - std::sqrt(d)) / (2.0 * rec.a);
    rec.ev2 = (std::sqrt(d) - rec.b) / (2.0 * rec.a);
    // For a stiff-soft pair the minus sign subtracts two nearly equal numbers: the lower root
    // keeps about log10(ev2/ev1) digits fewer than the upper one (a spring ratio of 1e12 would
    // leave it three digits). Where that loss passes six digits, the lower root is taken from
    // the product of the roots, ev1 ev2 = c/a, in which nothing cancels. Closer frequencies
    // keep the plain formula and its bits.
    if (rec.a > 0.0 && rec.b < 0.0 && rec.c >= 0.0 && std::isfinite(rec.ev2) &&
        std::fabs(rec.ev1) < 1e-6 * rec.ev2)
        rec.ev1 = rec.c / (rec.a * rec.ev2);

    rec.omega[0] = std::sqrt(rec.ev1);
    rec.omega[1] = std::sqrt(rec.ev2);
    const double fn1 = rec.omega[0] / rec.tpi;
    const double fn2 = rec.omega[1] / rec.tpi;

    both("\n eig1 = %14.4f", rec.ev1);
    both("\n eig2 = %14.4f", rec.ev2);
    both("\n\n omega1 = %14.4f rad/sec", rec.omega[0]);
    both("\n omega2 = %14.4f rad/sec\n", rec.omega[1]);
    both("\n\n fn1 = %14.4f Hz", fn1);
    both("\n fn2 = %14.4f Hz\n", fn2);
    model_check();
}
