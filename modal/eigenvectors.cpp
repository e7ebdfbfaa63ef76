// Mode shapes, normalised to unit modal mass, with the orthogonality checks in the report.
#include "modal/modal.h"

#include "frame/frame.h"

#include <cmath>

// First row of (K - lambda M) phi = 0 with the second component fixed at 1. A mode whose true
// second component is zero (uncoupled input) cannot be represented and comes out as nan.
static void raw_mode(double lambda, int column) {
    rec.a11 = rec.k[0][0] - rec.m[0][0] * lambda;
    rec.a12 = rec.k[0][1] - rec.m[0][1] * lambda;
    rec.vector[0][column] = -rec.a12 / rec.a11;
    rec.vector[1][column] = 1.0;
}

static const char *const mode_caption = "\n\n      1             2  \n\n";

void eigenvectors() {
    // 1-2. Raw shapes Q, one column per mode.
    raw_mode(rec.ev1, 0);
    raw_mode(rec.ev2, 1);
    both("\n\n Eigenvectors (column format)%s", mode_caption);
    matrix_block_both(rec.vector, "%12.4f   ");

    // 3-5. Modal masses of the raw shapes: QTMQ is diagonal up to rounding.
    transpose();
    product(rec.temp, rec.m, rec.vector);
    product(rec.QTMQ, rec.vectorT, rec.temp);
    report("\n\n Let Q = eigenvector matrix. \n");
    report("\n\n QTMQ \n");
    matrix_block(rec.pFile[0], rec.QTMQ, "%12.4f  ");

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
    product(rec.temp, rec.m, rec.vector);
    product(rec.QTMQ, rec.vectorT, rec.temp);
    report("\n Let P = normalized eigenvector matrix. \n");
    report("\n\n Verify PTMP \n");
    matrix_block(rec.pFile[0], rec.QTMQ, "%12.4f  ");

    // 11. P^T K P: diag(ev1, ev2) up to rounding.
    product(rec.temp, rec.k, rec.vector);
    product(rec.QTMQ, rec.vectorT, rec.temp);
    report("\n\n Verify PTKP \n");
    matrix_block(rec.pFile[0], rec.QTMQ, "%12.4f  ");
}
