// The 2x2 kernels the modal stages share: printed matrix block, cleared product, transpose.
#include "modal/modal.h"

#include "frame/frame.h"

void matrix_block(std::FILE *f, const double mat[2][2], const char *element_format) {
    for (int i = 0; i < rec.n; ++i) {
        for (int j = 0; j < rec.n; ++j) emit(f, element_format, mat[i][j]);
        emit(f, "\n");
    }
}

void matrix_block_both(const double mat[2][2], const char *element_format) {
    matrix_block(stdout, mat, element_format);
    matrix_block(rec.pFile[0], mat, element_format);
}

void product(double c[2][2], const double a[2][2], const double b[2][2]) {
    for (int i = 0; i < rec.n; ++i)
        for (int j = 0; j < rec.n; ++j) c[i][j] = 0.0;
    for (int i = 0; i < rec.n; ++i)
        for (int j = 0; j < rec.n; ++j)
            for (int kk = 0; kk < rec.n; ++kk) c[i][j] += a[i][kk] * b[kk][j];
}

void transpose() {
    rec.vectorT[0][0] = rec.vector[0][0];
    rec.vectorT[1][1] = rec.vector[1][1];
    rec.vectorT[0][1] = rec.vector[1][0];
    rec.vectorT[1][0] = rec.vector[0][1];
}
