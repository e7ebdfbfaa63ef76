// Mode shapes, normalised to unit modal mass, with the orthogonality checks in the report.
#include "modal/modal.h"

#include "frame/frame.h"

#include <cmath>

// Mode shape for eigenvalue lambda into one column of vector. For a real eigenvalue K - lambda M
// is singular, so its first row, a11 phi1 + a12 phi2 = 0 with phi2 = 1, gives the mode. It
// cannot where a11 is itself a rounding residue: uncoupled masses (0/0), a mode close to
// (1, 0), nearly equal frequencies. A physical model therefore prints the first row's mode
// where it agrees with the stable solution's, as the one rule in eigenvalues.cpp decides, and
// the stable mode elsewhere (phi2 = 1 wherever phi2 is not zero; otherwise (1, 0)). A model
// that is not physical keeps the first row alone, inf and nan included.
static void raw_mode(double lambda, int column) {
    const double(&k)[2][2] = rec.k;
    const double(&m)[2][2] = rec.m;
    rec.a11 = k[0][0] - m[0][0] * lambda;
    rec.a12 = k[0][1] - m[0][1] * lambda;
    double phi1 = -rec.a12 / rec.a11, phi2 = 1.0;
    if (rec.physical) {
        // A mass that does not move in this mode is printed 0.0000, not -0.0000: + 0.0 turns
        // a negative zero positive and leaves all else as is.
        phi1 += 0.0;
        // The printed value is phi1, phi2 being 1 in both layouts unless the stable mode is
        // (1, 0), which the first row cannot give. Compared relative to itself: in a weakly
        // coupled mode the small component matters as much as the large one, since it carries
        // the whole motion of its mass once the other mode has died out.
        const double s1 = rec.phi[0][column], s2 = rec.phi[1][column];
        if (s2 != 1.0 || !closed_form_agrees(std::fabs(phi1 - s1), std::fabs(s1))) phi1 = s1, phi2 = s2;
    }
    rec.vector[0][column] = phi1;
    rec.vector[1][column] = phi2;
}

// Factor that brings raw mode `column` to unit modal mass: 1 / sqrt of its modal mass in QTMQ,
// or for a physical model, where that disagrees with the stable solution's own factor (the
// modal mass of strongly coupled masses, summed from the raw shape, cancels to a few digits),
// the stable factor.
static double unit_mass_factor(int column) {
    const double summed = 1.0 / std::sqrt(rec.QTMQ[column][column]), stable = rec.phi_scale[column];
    if (!rec.physical || closed_form_agrees(std::fabs(summed - stable), stable)) return summed;
    return stable;
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
    rec.scale1 = unit_mass_factor(0);
    rec.scale2 = unit_mass_factor(1);
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
