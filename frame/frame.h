// The analysis record that every stage shares, and the driver's services around it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "output/output.h"

// Everything one stage hands to another, and the state of the four output files. Stages take
// no arguments and return nothing: each reads what the earlier stages left here and writes its
// own results back. Matrices are 2x2, row-major, [row][column]; index 0 and 1 stand for mass
// (or mode) 1 and 2.
//
// A few pieces of run state live beside the stage or service that alone uses them, not here:
// the dialogue's input buffer and its place in the thirteen answers (input/data_input.cpp),
// the three 128 KiB response buffers (response/time_history.cpp), the temporaries' states and
// names (output/) and the terminal settings saved during the final key wait (frame/key_wait.cpp).
struct AnalysisRecord {
    // Run-wide constants and settings. pi and tpi exist before main's first statement.
    double pi = std::atan2(0.0, -1.0);
    double tpi = 2.0 * pi;  // rad/sec divided by tpi gives Hz
    std::int32_t n = 0;       // degrees of freedom, set to 2 by the driver
    std::int32_t iunit = 0;   // 1 = English units, 2 = metric (0 before the answer)
    double mscale = 1.0;      // 386 in English units: lbm -> lbf sec^2/in, in/sec^2 -> G

    // Unit labels shown in prompts and in the closing summary.
    char mu[10] = {};
    char vu[10] = {};
    char du[10] = {};
    char au[10] = {};

    // Model: symmetric mass (lbf sec^2/in or kg) and stiffness (lbf/in or N/m) matrices,
    // modal damping ratios and the initial state of both masses.
    double m[2][2] = {};
    double k[2][2] = {};
    double damp[2] = {};
    double vi[2] = {};
    double di[2] = {};
    // Set by the dialogue when all thirteen answers were numbers. Without them there is no
    // model: the run ends there, and the earlier files are kept.
    bool answers_complete = false;

    // Eigen-solution: a*lambda^2 + b*lambda + c = det(K - lambda M), its roots, the circular
    // frequencies and the mode shapes (mass-normalised once the mode stage has run).
    double a = 0, b = 0, c = 0;
    double ev1 = 0, ev2 = 0;
    double omega[2] = {};
    double a11 = 0, a12 = 0;
    double vector[2][2] = {};
    double vectorT[2][2] = {};
    double temp[2][2] = {};
    double QTMQ[2][2] = {};
    double scale1 = 0, scale2 = 0;
    double part1 = 0, part2 = 0;  // participation factors, then effective modal masses
    double gamma[2] = {};         // the participation factors, kept for the run summary
    // The same eigen-solution by the backward-stable method (Cholesky factor of M, one plane
    // rotation): the eigenvalues in ascending order and the mode shapes in the layout of the
    // raw modes above (second component 1, or (1, 0) for a mode that leaves mass 2 at rest).
    // For a physical model each printed eigenvalue and mode is the closed-form one where the
    // two agree, this one elsewhere.
    // phi_scale[r] times column r of phi is the mode with unit modal mass.
    double lambda[2] = {};
    double phi[2][2] = {};
    double phi_scale[2] = {};
    // Set by the model check: M positive definite, K positive semi-definite and not zero,
    // every answer and both eigenvalues finite. Only such a model gets the stable solution
    // where the closed form misses, and only such a model goes on past its eigenvalues.
    bool physical = false;
    // Why this model gives no results, in engineering terms, or nullptr: set by the model
    // check, or by the time history when its step count cannot be held or its response leaves
    // double range. The run then ends with exit status 4 and writes no file.
    const char *fault = nullptr;

    // Time grid of the response: step, duration, number of steps, and the digits after the
    // point that the time column needs to tell every step from the next.
    double dt = 0;
    double dur = 0;
    double duration = 0;  // the record's length asked for with --duration; 0: twelve periods of mode 1
    std::int32_t steps = 0;
    int time_decimals = 5;
    // Largest |value| written to each response file (displacement, velocity, acceleration)
    // for each mass, and the first step where it occurs; -1 when no number was written.
    double peak[3][2] = {};
    std::int32_t peak_step[3][2] = {};
    // The response files would not fit on the disk: the run stopped before writing them and
    // its temporaries are gone, the earlier files untouched.
    bool output_abandoned = false;

    // Loop counters of the dialogue, which sets each to 0 before its loop. The 2x2 kernels and
    // the time history count with local variables instead; kk is the record's inner-product
    // counter, but the product kernel keeps its own, so no loop uses it.
    std::int32_t i = 0, j = 0, kk = 0;

    // Output: report, displacement, velocity and acceleration files, in that order. The streams
    // write to temporaries (output/); only a run whose four files are complete puts them in
    // place of the earlier ones, so a run that stops early leaves the earlier results as they were.
    char filename[4][260] = {};
    std::FILE *pFile[4] = {};
    // errno of the first failed write to each file, by slot (0 while none failed): a full disk
    // is reported when the files are closed, not lost.
    int write_error[4] = {};
};

// The one instance, with static lifetime.
extern AnalysisRecord rec;

// Formatted write to the console or to one of the output files. A failed write to an output
// file is remembered (its errno) so that a full disk is reported at the end, not lost.
void emit(std::FILE *f, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same text to the console first, then to the report file.
void both(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The text to the report file only.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Remembers a failure of output slot `slot` unless an earlier one is already remembered.
void note_write_error(int slot, int err);

// The command line (frame/command_line.cpp): answers --help and --version, takes the answers
// file as standard input, moves to the output folder and notes the duration asked for.
// Returns the exit status of a run that ends here (0 after --help or --version, 2 for a
// wrong argument or an answers file or folder that cannot be used), -1 when the run goes on.
int answer_arguments(int argc, char **argv);
// Flushes the console; false after one stderr line if any write to it failed, a closed pipe
// included (SIGPIPE is ignored from the first flush, or from the opening of the files, on).
bool console_written();
// The output files, the ending signals and the key wait are declared in output/output.h.
