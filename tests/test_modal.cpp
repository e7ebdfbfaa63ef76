// Modal analysis: eigenvalues, mass-normalised mode shapes and effective modal masses, checked
// against the generalised eigenproblem itself rather than against the closed-form formulas.
#include "harness.h"

#include "frame/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Mat = double[2][2];

// Uniform number in [lo, hi) from the raw generator output, so that the sequence of models
// does not depend on how the standard library implements its distributions.
double uniform(std::mt19937 &gen, double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(gen()) / 4294967296.0);
}

// A symmetric positive-definite 2x2 matrix with a coupling term of random sign whose
// correlation |rho| lies in [0.05, rho_max]; with rho_max below 0.05, |rho| is drawn from
// [rho_max * 1e-9, rho_max] on a log scale (weak coupling), and with 0 there is none.
void random_spd(std::mt19937 &gen, double lo, double hi, double rho_max, double out[2][2]) {
    const double p = uniform(gen, lo, hi), r = uniform(gen, lo, hi);
    const double size = rho_max >= 0.05 ? uniform(gen, 0.05, rho_max) : rho_max * std::pow(10.0, uniform(gen, -9.0, 0.0));
    const double rho = size * (gen() & 1u ? 1.0 : -1.0);
    out[0][0] = p;
    out[1][1] = r;
    out[0][1] = out[1][0] = rho * std::sqrt(p * r);
}

// det(K - lambda M) straight from the matrices, and the size of the terms it is made of, so
// that "zero" can be judged relative to the cancellation that produced it.
double char_det(const Mat &m, const Mat &k, double lambda) {
    return (k[0][0] - lambda * m[0][0]) * (k[1][1] - lambda * m[1][1]) -
           (k[0][1] - lambda * m[0][1]) * (k[1][0] - lambda * m[1][0]);
}
double char_det_scale(const Mat &m, const Mat &k, double lambda) {
    const double l = std::fabs(lambda);
    return (std::fabs(k[0][0]) + l * std::fabs(m[0][0])) * (std::fabs(k[1][1]) + l * std::fabs(m[1][1])) +
           (std::fabs(k[0][1]) + l * std::fabs(m[0][1])) * (std::fabs(k[1][0]) + l * std::fabs(m[1][0]));
}

// The console line that starts with `prefix` (leading spaces included), or "" if none.
std::string line_starting(const std::string &text, const std::string &prefix) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return line;
    return "";
}


// A model that is not physical shows its eigenvalues, then stops with exit status 4 and one
// stderr line naming the cause (a sanitizer report or a crash would show there too); the key
// prompt still comes, and no file is created.
RunResult run_degenerate(const std::string &typed, const char *cause) {
    RunResult r = run_program(typed);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err.rfind("pelmar_initial: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; nothing was written and the earlier results are kept\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(" fn2 ="), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Eigenvectors"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Press any key to exit."), std::string::npos);
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"})
        EXPECT_FALSE(std::ifstream(r.dir + "/" + name).good()) << name;
    return r;
}

const char *const mass_fault = "the mass matrix is not positive definite";

}  // namespace

// Coupled positive-definite models in both unit systems, then weakly coupled, uncoupled and
// proportional (K = c M) ones: the eigenpairs in the record must solve K phi = lambda M phi, the modes must be
// M-orthonormal and K-orthogonal, and the two effective modal masses must add up to the
// whole mass of the system.
TEST(ModalRandomModels, EigenpairsSolveTheGeneralisedProblem) {
    std::mt19937 gen(20100107u);
    const double zero[2] = {0, 0}, damp[2] = {0.05, 0.05};
    for (int model = 0; model < 110; ++model) {
        const int units = model % 2 == 0 ? 2 : 1;
        const double coupling = model < 40 || model >= 100 ? 1.0 : model < 80 ? 1e-3 : 0.0;
        double m[2][2], k[2][2];
        random_spd(gen, 0.5, 5.0, 0.7 * coupling, m);
        random_spd(gen, 10.0, 1000.0, 0.9 * coupling, k);
        const double kscale = std::pow(10.0, uniform(gen, -1.0, 3.0));
        for (auto &row : k)
            for (double &v : row) v *= kscale;
        if (model >= 100)  // K proportional to M: equal frequencies, any M-orthonormal pair
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) k[i][j] = kscale * m[i][j];
        if (units == 1)  // typed in lbm
            for (auto &row : m)
                for (double &v : row) v *= 386.0;

        std::ostringstream what;
        what.precision(17);
        what << "model " << model << " units " << units << " m=[" << m[0][0] << "," << m[0][1] << ","
             << m[1][1] << "] k=[" << k[0][0] << "," << k[0][1] << "," << k[1][1] << "]";
        SCOPED_TRACE(what.str());
        run_stages(units, m, k, damp, zero, zero);

        const Mat &sm = rec.m;  // as stored: English masses in lbf sec^2/in
        if (units == 1) {
            EXPECT_NEAR(sm[0][1], m[0][1] / 386.0, 1e-15 * std::fabs(m[0][1]));
        }

        ASSERT_TRUE(std::isfinite(rec.ev1) && std::isfinite(rec.ev2));
        EXPECT_GT(rec.ev1, 0.0);
        EXPECT_LE(rec.ev1, rec.ev2);
        for (double lambda : {rec.ev1, rec.ev2})
            EXPECT_LE(std::fabs(char_det(sm, rec.k, lambda)), 1e-10 * char_det_scale(sm, rec.k, lambda))
                << "lambda " << lambda;
        EXPECT_NEAR(rec.omega[0] * rec.omega[0], rec.ev1, 1e-12 * rec.ev1);
        EXPECT_NEAR(rec.omega[1] * rec.omega[1], rec.ev2, 1e-12 * rec.ev2);

        // Sign convention: the second component of each mode is positive, or zero with a
        // positive first one.
        for (int r = 0; r < 2; ++r)
            EXPECT_TRUE(rec.vector[1][r] > 0.0 || (rec.vector[1][r] == 0.0 && rec.vector[0][r] > 0.0)) << r;

        double ptmp[2][2], ptkp[2][2];
        congruence(rec.vector, sm, ptmp);
        congruence(rec.vector, rec.k, ptkp);
        EXPECT_NEAR(ptmp[0][0], 1.0, 1e-9);
        EXPECT_NEAR(ptmp[1][1], 1.0, 1e-9);
        EXPECT_NEAR(ptmp[0][1], 0.0, 1e-9);
        // A double root of the quadratic is only known to about sqrt(epsilon).
        const double root_tol = model >= 100 ? 1e-7 : 1e-9;
        EXPECT_NEAR(ptkp[0][0], rec.ev1, root_tol * rec.ev1);
        EXPECT_NEAR(ptkp[1][1], rec.ev2, root_tol * rec.ev2);
        EXPECT_NEAR(ptkp[0][1], 0.0, 1e-9 * rec.ev2);

        const double total_mass = sm[0][0] + sm[0][1] + sm[1][0] + sm[1][1];
        EXPECT_GE(rec.part1, 0.0);
        EXPECT_GE(rec.part2, 0.0);
        EXPECT_NEAR(rec.part1 + rec.part2, total_mass, 1e-9 * total_mass);
    }
}

// A soft mass weakly tied to a stiff one, the stiff spring 1e4 to 1e12 times the soft: the
// plain quadratic formula would lose about log10 of that ratio in digits of the lower root to
// cancellation. Both roots against the product and sum of the roots evaluated in long double,
// where nothing cancels.
TEST(ModalKnownValues, StiffSoftPairKeepsTheLowerRoot) {
    const double zero[2] = {0, 0};
    for (double k22 : {1.234567e4, 1.234567e8, 1.234567e10, 1.234567e12}) {
        const double m[2][2] = {{1.3, 0.02}, {0.02, 0.7}}, k[2][2] = {{1.37, -0.0011}, {-0.0011, k22}};
        run_stages(2, m, k, zero, zero, zero);
        const long double a = 1.3L * 0.7L - 0.02L * 0.02L;
        const long double b = -(1.3L * k22 + 0.7L * 1.37L) - 2 * 0.02L * 0.0011L;
        const long double c = 1.37L * k22 - 0.0011L * 0.0011L;
        const long double big = (-b + std::sqrt(b * b - 4 * a * c)) / (2 * a);
        const double ev2 = static_cast<double>(big), ev1 = static_cast<double>(c / (a * big));
        EXPECT_NEAR(rec.ev1, ev1, 1e-12 * ev1) << "k22 " << k22;
        EXPECT_NEAR(rec.ev2, ev2, 1e-12 * ev2) << "k22 " << k22;
    }
}

// Unequal masses: eigenvalues 0.5 and 2, raw modes (0.5, 1) and (-1, 1) with modal masses
// 1.5 and 3, so the normalising factors are 1/sqrt(1.5) and 1/sqrt(3).
TEST(ModalKnownValues, UnequalMassesRawModesAndScaleFactors) {
    const double m[2][2] = {{2, 0}, {0, 1}}, k[2][2] = {{3, -1}, {-1, 1}};
    const double zero[2] = {0, 0};
    run_stages(2, m, k, zero, zero, zero);
    EXPECT_NEAR(rec.ev1, 0.5, 1e-15);
    EXPECT_NEAR(rec.ev2, 2.0, 1e-15);
    const double s1 = 1.0 / std::sqrt(1.5), s2 = 1.0 / std::sqrt(3.0);
    EXPECT_NEAR(rec.scale1, s1, 1e-15);
    EXPECT_NEAR(rec.scale2, s2, 1e-15);
    EXPECT_NEAR(rec.vector[0][0], 0.5 * s1, 1e-15);
    EXPECT_NEAR(rec.vector[1][0], s1, 1e-15);
    EXPECT_NEAR(rec.vector[0][1], -s2, 1e-15);
    EXPECT_NEAR(rec.vector[1][1], s2, 1e-15);
}

// Models that are not physical, each with its cause and what its eigenvalue lines show: a
// singular M (a = det M = 0, so one root is 0/0 and the other finite/0), an indefinite M (a
// negative discriminant: no real root), an indefinite K (a negative eigenvalue, whose
// frequency is the root of a negative), a zero or coupled-away mass, entries whose
// eigenvalue overflows, no spring at all, and nothing typed but zeros.
TEST(ModalDegenerateInput, EachNonPhysicalModelIsNamedAndStops) {
    const struct {
        std::string typed;
        const char *cause;
        std::vector<std::pair<const char *, const char *>> lines;  // a line's start, a text it holds
    } cases[] = {
        {answers(2, 1, 1, 1, 2, -1, 2, 0, 0, 0, 0, 1, 1), mass_fault,
         {{" eig1 =", "nan"}, {" eig2 =", "inf"}, {" omega2 =", "inf"}}},
        {answers(2, 1, 0, -1, 1, 2, 1, 0, 0, 0, 0, 1, 1), mass_fault,
         {{" eig1 =", "nan"}, {" eig2 =", "nan"}, {" omega1 =", "nan"}, {" fn2 =", "nan"}}},
        {answers(2, 1, 0, 1, 1, 2, 1, 0, 0, 0, 0, 1, 1), "the stiffness matrix is not positive semi-definite",
         {{" eig1 =", "-1.0000"}, {" eig2 =", "3.0000"}, {" omega1 =", "nan"}, {" fn1 =", "nan"},
          {" omega2 =", "1.7321 rad/sec"}}},
        {answers(2, 1, 2, 1, 2, -1, 2, 0, 0, 0, 0, 1, 1), mass_fault, {}},
        {answers(2, 0, 0, 1, 2, -1, 2, 0, 0, 0, 0, 1, 1), mass_fault, {}},
        {answers(2, 1e-200, 0, 1e-200, 2e200, -1e200, 2e200, 0.05, 0.05, 0, 0, 1, 0), "an eigenvalue overflows", {}},
        {answers(2, 1, 0.5, 2, 0, 0, 0, 0.05, 0.05, 1, 0, 1, 0), "the stiffness matrix is zero",
         {{" eig2 =", "0.0000"}, {" omega2 =", "0.0000"}}},
        {answers(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), mass_fault,
         {{" eig1 =", "nan"}, {" eig2 =", "nan"}, {" omega1 =", "nan"}, {" omega2 =", "nan"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        const RunResult r = run_degenerate(c.typed, c.cause);
        for (const auto &[start, holds] : c.lines)
            EXPECT_NE(line_starting(r.out, start).find(holds), std::string::npos) << start << " in\n" << r.out;
    }
}

// Nearly equal frequencies, strongly coupled masses and entries near 1e+-120, where the closed
// form cancels, checked against the independent long-double solution. The stable eigenvalues
// must match it to a few roundings; the printed ones, which may be the closed form's where the
// two agree, to the nine digits of that agreement. The printed modes must solve the problem:
// small residual K P - M P Lambda against (|K| + lambda2 |M|) |P|, and P^T M P = I
// against the norms of M and P (a strongly coupled M makes P large); and they must be the
// reference modes, as far as a gap g between the frequencies lets the data fix them (about
// epsilon / g). The effective modal masses add up to the whole mass.
TEST(ModalStableSolution, HardPencilsAgainstTheIndependentSolution) {
    const double zero[2] = {0, 0};
    for (const PencilCase &pc : hard_pencils()) {
        std::ostringstream what;
        what.precision(17);
        what << pc.family << " m=[" << pc.m[0][0] << "," << pc.m[0][1] << "," << pc.m[1][1] << "] k=["
             << pc.k[0][0] << "," << pc.k[0][1] << "," << pc.k[1][1] << "]";
        SCOPED_TRACE(what.str());
        run_stages(2, pc.m, pc.k, zero, zero, zero);
        ASSERT_TRUE(rec.physical);
        const Reference ref = reference_solution(pc.m, pc.k);
        const double ev[2] = {rec.ev1, rec.ev2};
        for (int r = 0; r < 2; ++r) {
            const long double lr = ref.lambda[r];
            EXPECT_LE(std::fabs(rec.lambda[r] - lr), 1e-14L * lr) << "stable eigenvalue " << r;
            EXPECT_LE(std::fabs(ev[r] - lr), 2e-9L * lr) << "printed eigenvalue " << r;
        }

        using L = long double;
        const double(&P)[2][2] = rec.vector;
        L norm_k = 0, norm_m = 0, norm_p = 0, residual = 0, ortho = 0;
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
                norm_k = std::max(norm_k, std::fabs(L(pc.k[i][j])));
                norm_m = std::max(norm_m, std::fabs(L(pc.m[i][j])));
                norm_p = std::max(norm_p, std::fabs(L(P[i][j])));
                L kp = 0, mpl = 0, ptmp = 0;
                for (int n = 0; n < 2; ++n) {
                    kp += L(pc.k[i][n]) * P[n][j];
                    mpl += L(pc.m[i][n]) * P[n][j] * ev[j];
                    for (int q = 0; q < 2; ++q) ptmp += L(P[n][i]) * pc.m[n][q] * P[q][j];
                }
                residual = std::max(residual, std::fabs(kp - mpl));
                ortho = std::max(ortho, std::fabs(ptmp - (i == j ? 1 : 0)));
            }
        const L conditioning = norm_m * norm_p * norm_p;
        EXPECT_LE(residual, 2e-9L * (norm_k + rec.ev2 * norm_m) * norm_p);
        EXPECT_LE(ortho, 1e-13L * conditioning);

        const L mode_tol = 1e-9L + 1e-15L / ref.gap;
        for (int r = 0; r < 2; ++r)
            for (int i = 0; i < 2; ++i)
                EXPECT_LE(std::fabs(P[i][r] - ref.phi[i][r]), mode_tol * std::sqrt(conditioning / norm_m))
                    << "mode " << r << " component " << i;
        const L total = L(pc.m[0][0]) + 2 * L(pc.m[0][1]) + pc.m[1][1];
        for (int r = 0; r < 2; ++r) {
            const L gamma = (L(pc.m[0][0]) + pc.m[0][1]) * ref.phi[0][r] + (L(pc.m[1][0]) + pc.m[1][1]) * ref.phi[1][r];
            const double part = r == 0 ? rec.part1 : rec.part2;
            EXPECT_LE(std::fabs(part - gamma * gamma), mode_tol * 4 * total) << "effective mass " << r;
        }
        EXPECT_LE(std::fabs(rec.part1 + rec.part2 - total), 1e-12L * total);
    }
}
