// Modal analysis: matrix echo, eigenvalues, mass-normalised mode shapes, participation factors.
#pragma once

#include <cstdio>

// Stages, in the order the driver runs them.
void printmat();       // echoes M and K to the console and the report
void eigenvalues();    // roots of det(K - lambda M) = 0, circular and cyclic frequencies
void eigenvectors();   // mode shapes, normalised to unit modal mass, with QTMQ/PTMP/PTKP checks
void participation();  // participation factors and effective modal masses for a uniform push

// Called by eigenvalues once the roots are known: sets rec.physical and, for a model that is
// not physical, rec.fault; for a physical one, a stderr line per damping ratio above 1 or
// below 0 (overdamped, or growing).
void model_check();

// Called by eigenvalues: the backward-stable eigenvalues, mode shapes and their unit-mass
// factors into rec.lambda, rec.phi and rec.phi_scale. Meaningful only for a positive-definite
// M and a positive semi-definite K.
void stable_eigensolution();
// Whether a closed-form value stands beside the stable one: `difference` between the two
// against the `size` of the stable value. False for a nan difference.
bool closed_form_agrees(double difference, double size);

// 2x2 kernels.
// Matrix block: each row's elements in the element format, then a newline.
void matrix_block(std::FILE *f, const double mat[2][2], const char *element_format);
// The block to the console, then to the report file.
void matrix_block_both(const double mat[2][2], const char *element_format);
// c = a * b, with c cleared first and summed over kk innermost.
void product(double c[2][2], const double a[2][2], const double b[2][2]);
// vectorT = transpose of vector.
void transpose();
