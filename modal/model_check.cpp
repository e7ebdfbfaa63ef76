// Whether the model describes a real structure (if not, why); notes on likely slips in damping.
#include "modal/modal.h"

#include "frame/frame.h"

#include <algorithm>
#include <cmath>
#include <limits>

// The first fault found, in engineering terms, or nullptr for a physical model.
static const char *model_fault() {
    const double(&m)[2][2] = rec.m;
    const double(&k)[2][2] = rec.k;
    const double answers[] = {m[0][0], m[0][1], m[1][1], k[0][0], k[0][1], k[1][1],
                              rec.damp[0], rec.damp[1], rec.vi[0], rec.vi[1], rec.di[0], rec.di[1]};
    for (double x : answers)
        if (!std::isfinite(x)) return "an answer is infinite or not a number, so are the results built on it";
    // Kinetic energy must be positive for every motion: m11 > 0, m22 > 0 and det M > 0, the
    // last written so that it does not underflow for tiny masses.
    if (!(m[0][0] > 0.0 && m[1][1] > 0.0 && m[0][1] / m[0][0] * m[0][1] < m[1][1]))
        return "the mass matrix is not positive definite (a zero or negative mass, or m12*m12 >= m11*m22), "
               "so the natural frequencies are not real numbers";
    // Strain energy must never be negative. det K of a singular K may round a hair below zero.
    // K is scaled by a power of two first (exact), so that det K neither under- nor overflows.
    const double eps = std::numeric_limits<double>::epsilon();
    int e = 0;
    std::frexp(std::max({std::fabs(k[0][0]), std::fabs(k[0][1]), std::fabs(k[1][1])}), &e);
    const double k11 = std::ldexp(k[0][0], -e), k12 = std::ldexp(k[0][1], -e), k22 = std::ldexp(k[1][1], -e);
    if (!(k11 >= 0.0 && k22 >= 0.0 && k11 * k22 - k12 * k12 >= -8.0 * eps * (std::fabs(k11 * k22) + k12 * k12)))
        return "the stiffness matrix is not positive semi-definite (a negative spring, or k12*k12 > k11*k22), "
               "so a natural frequency is not a real number";
    // Only an eigenvalue itself beyond double range is a fault, not a product on the way to it.
    if (!std::isfinite(rec.lambda[0]) || !std::isfinite(rec.lambda[1]))
        return "the entries are too large or too small for double precision, so an eigenvalue overflows";
    // With M positive definite the upper eigenvalue is zero only for K = 0: no spring at all.
    if (rec.lambda[1] == 0.0)
        return "the stiffness matrix is zero (no spring), so neither mode has a period to time the record by";
    return nullptr;
}

// A damping ratio outside 0..1 is a real model, but far more often a slip: 5 typed for 5 %, or
// a sign dropped. Each mode that vibrates is named once; a rigid-body mode has no damping.
static void note_unusual_damping() {
    for (int r = 0; r < 2; ++r) {
        const double zeta = rec.damp[r];
        if (rec.lambda[r] == 0.0) continue;
        if (zeta > 1.0)
            std::fprintf(stderr, "pelmar_initial: damping ratio %d is %.15g, %.15g %% of critical: mode %d is overdamped "
                                 "(a ratio of 0.05 is 5 %%)\n", r + 1, zeta, 100.0 * zeta, r + 1);
        else if (zeta < 0.0)
            std::fprintf(stderr, "pelmar_initial: damping ratio %d is %.15g: mode %d gains energy and its response "
                                 "grows (a self-excited mode; or a sign slip?)\n", r + 1, zeta, r + 1);
    }
}

void model_check() {
    rec.fault = model_fault();
    rec.physical = rec.fault == nullptr;
    if (rec.physical) note_unusual_damping();
}
