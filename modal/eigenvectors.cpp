// Mode shapes, normalised to unit modal mass, with the orthogonality checks in the report.
#include "modal/modal.h"

#include "frame/frame.h"

#include <cmath>
#include <limits>

static const double eps = std::numeric_limits<double>::epsilon();

// Rounding error to expect in either computed root of det(K - lambda M) = 0. The quadratic
// formula loses digits where -b and sqrt(D) nearly cancel (a stiff-soft pair) and where D is
// itself a difference of nearly equal terms (nearly equal frequencies); with D = 0 the roots
// are equal and the error bound is unlimited.
static double root_noise() {
    const double sd = std::sqrt(std::fabs(std::pow(rec.b, 2.0) - 4.0 * rec.a * rec.c));
    if (!(sd > 0.0)) return HUGE_VAL;
    const double terms = std::fabs(rec.b) + sd + (rec.b * rec.b + 4.0 * std::fabs(rec.a * rec.c)) / sd;
    return 8.0 * eps * terms / (2.0 * std::fabs(rec.a));
}

// Rounding noise of the entry k - lambda m of K - lambda M: that of its two terms and that
// of lambda itself. An entry within its noise of zero says nothing about the mode.
static double entry_noise(double k, double m, double lambda, double lambda_noise) {
    const double from_lambda = m == 0.0 ? 0.0 : std::fabs(m) * lambda_noise;  // may be unlimited
    return 8.0 * eps * (std::fabs(k) + std::fabs(m * lambda)) + from_lambda;
}

// Mode shape for eigenvalue lambda into one column of vector. For a real eigenvalue K - lambda M
// is singular, so either of its rows fixes the ratio of the two components.
// The first row, a11 phi1 + a12 phi2 = 0 with phi2 = 1, gives the mode wherever a11 is known
// to six digits or better. It cannot where the true mode is close to (1, 0): with uncoupled
// masses a11 is then exactly zero (0/0, or a12/0) or a rounding residue that gives a finite
// but meaningless ratio, and in a weakly coupled mode a11 is of the size of the eigenvalue's
// own rounding. There the second row, a21 phi1 + a22 phi2 = 0, is taken if its a22 is known
// better. Where both rows vanish the two eigenvalues are equal and every vector is a mode:
// mode 1 is taken along mass 1 and mode 2 M-orthogonal to it, so the modes still decouple.
// A mode keeps phi2 = 1 wherever phi2 is not zero; otherwise it is written as (1, 0).
// A model that is not physical keeps the first row alone, inf and nan included.
static void raw_mode(double lambda, int column) {
    const double(&k)[2][2] = rec.k;
    const double(&m)[2][2] = rec.m;
    rec.a11 = k[0][0] - m[0][0] * lambda;
    rec.a12 = k[0][1] - m[0][1] * lambda;
    double phi1 = -rec.a12 / rec.a11, phi2 = 1.0;
    if (rec.physical) {
        // A mass that does not move in this mode (a12 = 0 with uncoupled masses) is printed
        // 0.0000, not -0.0000: + 0.0 turns a negative zero positive and leaves all else as is.
        phi1 += 0.0;
        const double noise = root_noise();
        const double a21 = k[1][0] - m[1][0] * lambda, a22 = k[1][1] - m[1][1] * lambda;
        const double n11 = entry_noise(k[0][0], m[0][0], lambda, noise);
        const double n21 = entry_noise(k[1][0], m[1][0], lambda, noise);
        const double n22 = entry_noise(k[1][1], m[1][1], lambda, noise);
        const double q11 = std::fabs(rec.a11) / n11, q22 = std::fabs(a22) / n22;  // in noise widths
        const bool first_row = std::isfinite(phi1 * phi1) && q11 > 1.0 && (q11 > 1e6 || q11 >= q22);
        if (!first_row) {
            double p = -a22, q = a21;  // (p, q) solves the second row
            if (std::fabs(a21) <= n21 && std::fabs(a22) <= n22) {
                if (column == 0) {
                    p = 1.0, q = 0.0;
                } else {  // w with (M v)^T w = 0, v = mode 1 as already stored
                    p = -(m[1][0] * rec.vector[0][0] + m[1][1] * rec.vector[1][0]);
                    q = m[0][0] * rec.vector[0][0] + m[0][1] * rec.vector[1][0];
                }
            }
            phi1 = p / q + 0.0;
            // phi2 = 0, or so small against phi1 that the modal mass would overflow.
            if (!std::isfinite(phi1 * phi1)) phi1 = 1.0, phi2 = 0.0;
        }
    }
    rec.vector[0][column] = phi1;
    rec.vector[1][column] = phi2;
}

static const char *const mode_caption = "\n\n      1             2  \n\n";

// QTMQ = vector^T * mat * vector, with temp = mat * vector on the way, printed in the report
// under `heading`. With mat = M it holds the modal masses, with mat = K the modal stiffnesses;
// both are diagonal up to rounding when the modes are right.
static void triple_product(const double mat[2][2], const char *heading) {
    product(rec.temp, mat, rec.vector);
    product(rec.QTMQ, rec.vectorT, rec.temp);
    report("%s", heading);
    matrix_block(rec.pFile[0], rec.QTMQ, "%12.4f  ");
}

void eigenvectors() {
    // 1-2. Raw shapes Q, one column per mode.
    raw_mode(rec.ev1, 0);
    raw_mode(rec.ev2, 1);
    both("\n\n Eigenvectors (column format)%s", mode_caption);
    matrix_block_both(rec.vector, "%12.4f   ");

    // 3-5. Modal masses of the raw shapes: QTMQ is diagonal up to rounding.
    transpose();
    triple_product(rec.m, "\n\n Let Q = eigenvector matrix. \n\n\n QTMQ \n");

    // 6-8. Scale each column to unit modal mass, so that P^T M P = I and the modal equations
    // decouple into single-degree-of-freedom oscillators with unit mass and stiffness lambda.
    rec.scale1 = 1.0 / std::sqrt(rec.QTMQ[0][0]);
    rec.scale2 = 1.0 / std::sqrt(rec.QTMQ[1][1]);
    report("\n\n scale1 = %12.4f ", rec.scale1);
    report("\n scale2 = %12.4f \n", rec.scale2);
    rec.vector[0][0] *= rec.scale1;
    rec.vector[1][0] *= rec.scale1;
    rec.vector[0][1] *= rec.scale2;
    rec.vector[1][1] *= rec.scale2;
    transpose();

    // 9. The normalised shapes P.
    both("\n\n Normalized Eigenvectors (column format)%s", mode_caption);
    matrix_block_both(rec.vector, "%12.4f   ");

    // 10. P^T M P: the identity up to rounding.
    triple_product(rec.m, "\n Let P = normalized eigenvector matrix. \n\n\n Verify PTMP \n");

    // 11. P^T K P: diag(ev1, ev2) up to rounding.
    triple_product(rec.k, "\n\n Verify PTKP \n");
}
