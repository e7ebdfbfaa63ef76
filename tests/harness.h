// Test helpers: run the real program in a fresh directory, and run the stages in-process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Outcome of one run of the program.
struct RunResult {
    int status = -1;      // exit status, or 128 + signal number if it was killed
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
    std::string dir;      // the working directory it ran in (holds the four output files)
    std::string file(const std::string &name) const;  // contents of a file in dir ("" if none)
};

// A new empty directory under the system's temporary directory.
std::string make_temp_dir();

// Runs the program in `dir` (a fresh temporary directory when empty) with `answers` piped to
// standard input, no terminal, and a time limit of `seconds` after which it is killed.
// `exe` may name the reference build whose response lines are written by plain fprintf.
RunResult run_program(const std::string &answers, std::string dir = "", int seconds = 60,
                      const char *exe = PELMAR_EXE);

// What a run under a fault, or with arguments, changes about the plain run above.
struct RunSetup {
    std::vector<std::string> args = {};  // command-line arguments
    long file_size_limit = 0;            // bytes a file may grow to, SIGXFSZ ignored; 0: none
    const char *stdout_path = nullptr;   // standard output goes there, uncaptured
    // SIGINT while the dialogue waits for more answers: the input stays open, and the signal
    // comes once the run has opened its four files.
    bool interrupt = false;
    // The answers come through a pipe whose writing end stays open until the run has ended.
    bool input_stays_open = false;
    // This signal once a file the run writes has passed 1 MB (the history is being written).
    int signal_in_history = 0;
    // Runs in the child, in the run's folder, just before the program starts (e.g. closes
    // stderr or takes another user id); it ends the child with _exit(126) if it cannot.
    void (*in_child)() = nullptr;
    // Runs in the test's process once the run waits for answers, with the run's folder: before
    // the signal with `interrupt`, else before the rest of the answers, `then_typed`, arrive.
    void (*while_asking)(const std::string &dir) = nullptr;
    const char *then_typed = nullptr;
};
RunResult run_program(const std::string &answers, const std::string &dir, const RunSetup &setup,
                      int seconds = 60, const char *exe = PELMAR_EXE);

std::string read_file(const std::string &path);

// The answers held by one of the shipped example files in examples/, e.g. "english_two_mass.txt":
// the tests run the same sample the README and the installed examples show.
std::string example_answers(const std::string &file);
// The English two-mass example, 1 386 0 772 200 -100 100 0.05 0.05 0 0 1 0: the run most tests
// start from or compare with.
const std::string &english_answers();

// out = X^T A X, written out element by element rather than with the program's kernels. With
// X the mode matrix (one mode per column) and A = M or K it gives the modal masses or
// stiffnesses; with X = L^-T it reduces K to L^-1 K L^-T.
void congruence(const double x[2][2], const double a[2][2], double out[2][2]);

// The generalised eigenproblem K phi = lambda M phi solved another way than the program does,
// in long double: the eigenvalues from det(K - lambda M) = 0 with the discriminant written
// without cancellation, (m11 k22 - m22 k11)^2 + 4 (m11 k12 - m12 k11)(m22 k12 - m12 k22), the
// lower root from the product of the roots; each mode as the null vector of the larger row of
// K - lambda M, written out in the same terms, mass-normalised, second component positive (or
// zero with a positive first).
// `gap` is (lambda2 - lambda1) / lambda2; below about 1e-15 the typed data do not fix the modes.
struct Reference {
    long double lambda[2];
    long double phi[2][2];  // one mode per column
    long double gap;
};
Reference reference_solution(const double m[2][2], const double k[2][2]);

// Models the closed form gets wrong, as a table for the modal and the response tests: nearly
// equal frequencies (coupled, and uncoupled with either mass the stiffer) for relative gaps
// from 1e-4 down to 1e-13, strong mass coupling of either sign, and masses and springs near
// 1e-120 and 1e+120. Masses in kg, metric units.
struct PencilCase {
    const char *family;
    double m[2][2], k[2][2];
};
std::vector<PencilCase> hard_pencils();

// The 13 answers in dialogue order as one line of text.
std::string answers(int units, double m11, double m12, double m22, double k11, double k12,
                    double k22, double z1, double z2, double v1, double v2, double d1, double d2);

// Runs the stages in this process on a fresh record filled with the model given, the console
// and the four output files silenced (sent to /dev/null). Afterwards `rec` holds the results;
// time_history runs only when `with_time_history` is set.
void run_stages(int units, const double m[2][2], const double k[2][2], const double damp[2],
                const double vi[2], const double di[2], bool with_time_history = false);

// splitmix64 with a fixed seed: the same values on every run and every machine, unlike the
// standard library's distributions.
struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    long in(long lo, long hi) { return lo + long(next() % std::uint64_t(hi - lo + 1)); }
    bool one_in(unsigned n) { return next() % n == 0; }
    double unit() { return double(next() >> 11) * 0x1p-53; }
};
