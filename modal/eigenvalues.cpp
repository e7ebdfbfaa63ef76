// Eigenvalues and modes of K phi = lambda M phi, closed form and backward-stable; natural frequencies.
#include "modal/modal.h"

#include "frame/frame.h"

#include <algorithm>
#include <cmath>
#include <limits>

static const double eps = std::numeric_limits<double>::epsilon();

// The one rule that chooses, value by value, between the closed form (quadratic formula, first
// row of K - lambda M) and the stable solution: the closed-form value is printed where it lies
// within nine digits of the stable one, the stable value elsewhere. Nine digits is far beyond the
// four decimals of the report and the five significant digits of the response files, so a value
// that passes prints as the stable one would (a rounding tie aside); and the closed form reaches
// it on every model it is fit for (plain coupled models to about fifteen digits), so those
// models print the bytes they always printed. Where the closed form cancels away more than six
// digits (nearly equal frequencies, strongly coupled masses, the lower root of a stiff-soft
// pair, products that under- or overflow) or has no answer at all (0/0), the stable value is
// printed. A nan difference never passes.
static constexpr double agreement = 1e-9;

bool closed_form_agrees(double difference, double size) { return difference <= agreement * size; }

// a*b - c*d with about one rounding, whatever cancels (Kahan's difference of products: the
// rounding error of c*d is recovered exactly with a fused multiply-add).
static double product_difference(double a, double b, double c, double d) {
    const double cd = c * d;
    const double error = std::fma(-c, d, cd);
    return std::fma(a, b, -cd) + error;
}

// Binary exponent of the largest magnitude of three entries (0 when all are zero).
static int exponent_of_largest(double x, double y, double z) {
    int e = 0;
    std::frexp(std::max({std::fabs(x), std::fabs(y), std::fabs(z)}), &e);
    return e;
}

// A mode (phi1, phi2), with unit modal mass once multiplied by `norm`, stored in the layout of
// the raw modes: (ratio, 1), ratio = phi1 / phi2 as the caller best forms it, or (1, 0) where
// phi2 is zero or so small against phi1 that the ratio's square (a modal mass) would overflow;
// phi_scale brings it back to unit modal mass. + 0.0 turns a negative zero positive.
static void store_mode(double ratio, double phi1, double phi2, double norm, int column) {
    const bool upright = phi2 != 0.0 && std::isfinite(ratio * ratio);
    rec.phi[0][column] = upright ? ratio + 0.0 : 1.0;
    rec.phi[1][column] = upright ? 1.0 : 0.0;
    rec.phi_scale[column] = norm * std::fabs(upright ? phi2 : phi1);
}

// K phi = lambda M phi as a numerical library solves a symmetric-definite pencil, in closed
// form for 2x2. M = L L^T (Cholesky) turns it into the symmetric standard problem
// C y = lambda y, C = L^-1 K L^-T, phi = L^-T y, which one plane rotation diagonalises.
// - M and K are first scaled by powers of two (exact) so that their largest entries are near
//   one: no product below under- or overflows, whatever the units. The eigenvalues scale back by
//   2^(ek - em); the mode shapes, kept as ratios, do not change.
// - det M, det K and the numerators of C are differences of products, each taken with one
//   rounding: strongly coupled masses (m12^2 near m11 m22) and nearly equal frequencies cancel
//   there and nowhere else.
// - The rotation's angle comes from c11 - c22 and c12, never from the difference of the two
//   eigenvalues, and the eigenvector is formed from sums without cancellation. The larger
//   eigenvalue is half the sum of trace and gap (no cancellation for a positive semi-definite
//   C), the smaller is det C over the larger: both keep their relative accuracy.
// - A det K within the rounding of its own terms (the tolerance the model check grants a
//   negative one) is a singular K: a free mass, whose lower eigenvalue is zero.
// - A gap between the eigenvalues within the rounding of the typed entries leaves every vector
//   a mode: mode 1 is taken along mass 1 and mode 2 M-orthogonal to it.
// - M and K both diagonal give the unit vectors exactly, the mass with the lower k/m first
//   (compared as k11 m22 against k22 m11, exactly); equal ratios put mass 1 first.
void stable_eigensolution() {
    const double(&m)[2][2] = rec.m;
    const double(&k)[2][2] = rec.k;
    int em = exponent_of_largest(m[0][0], m[0][1], m[1][1]);
    em += em & 1;  // even, so that the scale of M has an exact square root
    const int ek = exponent_of_largest(k[0][0], k[0][1], k[1][1]);
    const double m11 = std::ldexp(m[0][0], -em), m12 = std::ldexp(m[0][1], -em), m22 = std::ldexp(m[1][1], -em);
    const double k11 = std::ldexp(k[0][0], -ek), k12 = std::ldexp(k[0][1], -ek), k22 = std::ldexp(k[1][1], -ek);

    const double unscale = std::ldexp(1.0, -em / 2);  // mode with unit modal mass: scaled one times this
    double lo, hi;
    if (m12 == 0.0 && k12 == 0.0) {
        const double first = k11 / m11, second = k22 / m22;
        const bool mass1_first = product_difference(k11, m22, k22, m11) <= 0.0;
        lo = mass1_first ? first : second;
        hi = mass1_first ? second : first;
        const double norm1 = unscale / std::sqrt(m11), norm2 = unscale / std::sqrt(m22);
        store_mode(0.0, mass1_first ? 1.0 : 0.0, mass1_first ? 0.0 : 1.0, mass1_first ? norm1 : norm2, 0);
        store_mode(0.0, mass1_first ? 0.0 : 1.0, mass1_first ? 1.0 : 0.0, mass1_first ? norm2 : norm1, 1);
    } else {
        const double detm = product_difference(m11, m22, m12, m12);
        double detk = product_difference(k11, k22, k12, k12);
        if (std::fabs(detk) <= 8.0 * eps * (std::fabs(k11 * k22) + k12 * k12)) detk = 0.0;
        // L = [[l11, 0], [l21, l22]] with l21 / l11 = r. With M diagonal, c22 = k22 / m22 is
        // formed as c11 = k11 / m11 is, so that equal diagonals give c11 = c22 exactly and the
        // modes of a symmetric pair come out symmetric however close its frequencies.
        const bool diagonal = m12 == 0.0;
        const double l11 = std::sqrt(m11), l22 = std::sqrt(diagonal ? m22 : detm / m11), r = m12 / m11;
        const double n12 = product_difference(m11, k12, m12, k11);
        const double n22 = product_difference(m11, product_difference(m11, k22, m12, k12), m12, n12);
        const double c11 = k11 / m11, c12 = n12 / (m11 * l11 * l22), c22 = diagonal ? k22 / m22 : n22 / m11 / detm;
        const double sum = c11 + c22, df = c11 - c22, tb = 2.0 * c12, gap = std::hypot(df, tb);
        hi = 0.5 * (sum + gap);
        lo = hi > 0.0 ? std::min(detk / detm / hi, hi) : 0.0;

        // Rounding of each typed entry (half an epsilon) moves C by at most
        // |L^-1| (|dK| + lambda |dM|) |L^-T|: a gap below that is not in the data.
        const double a11 = std::fabs(k11) + hi * m11, a12 = std::fabs(k12) + hi * std::fabs(m12);
        const double a22 = std::fabs(k22) + hi * m22, ar = std::fabs(r);
        const double g11 = a11 / m11, g12 = (ar * a11 + a12) / (l11 * l22);
        const double g22 = (ar * ar * a11 + 2.0 * ar * a12 + a22) / (l22 * l22);
        if (!(gap > 4.0 * eps * (g11 + 2.0 * g12 + g22))) {
            // L^-T e1 = (1, 0) / l11 and L^-T e2 = (-r, 1) / l22.
            store_mode(0.0, 1.0, 0.0, unscale / l11, 0);
            store_mode(-m[1][0] / m[0][0], -r, 1.0, unscale / l22, 1);
        } else {
            // Unit eigenvector y of C for hi, from whichever pair of sums does not cancel; the
            // one for lo is its normal. phi = L^-T y: phi2 = y2 / l22, phi1 = y1 / l11 - r phi2.
            // The ratio phi1 / phi2 = (y1 / y2) (l22 / l11) - r, with tb = 2 n12 / (m11 l11 l22)
            // and m11 l22^2 = det M put in, needs no square root: fewer roundings.
            const double u1 = df >= 0.0 ? df + gap : tb, u2 = df >= 0.0 ? tb : gap - df;
            const double size = std::hypot(u1, u2), y1 = u1 / size, y2 = u2 / size;
            const double lo_phi2 = y1 / l22, hi_phi2 = y2 / l22;
            const double lo_ratio = df >= 0.0 ? -2.0 * (n12 / m11) / (m11 * u1) - r : -u2 * detm / (2.0 * n12) - r;
            const double hi_ratio = df >= 0.0 ? u1 * detm / (2.0 * n12) - r : 2.0 * (n12 / m11) / (m11 * u2) - r;
            store_mode(lo_ratio, -y2 / l11 - r * lo_phi2, lo_phi2, unscale, 0);
            store_mode(hi_ratio, y1 / l11 - r * hi_phi2, hi_phi2, unscale, 1);
        }
    }
    rec.lambda[0] = std::ldexp(lo, ek - em);
    rec.lambda[1] = std::ldexp(hi, ek - em);
}

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
    // leave it three digits). Such a root misses the stable solution by more than nine digits
    // and is replaced by it below.

    // A physical model prints each root where it agrees with the stable solution, the stable
    // eigenvalue elsewhere; the frequencies, the modes and the time grid follow what is printed.
    stable_eigensolution();
    model_check();
    if (rec.physical) {
        if (!closed_form_agrees(std::fabs(rec.ev1 - rec.lambda[0]), std::fabs(rec.lambda[0])))
            rec.ev1 = rec.lambda[0];
        if (!closed_form_agrees(std::fabs(rec.ev2 - rec.lambda[1]), std::fabs(rec.lambda[1])))
            rec.ev2 = rec.lambda[1];
    }

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
}
