// Whole runs of the real program: the values the console and report print, and the response files.
#include "expected_text.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using expected::lines_of;
using expected::response_line;

namespace {

// The two-mass English example: 386 and 772 lbm are 1 and 2 lbf sec^2/in once divided by 386.
// det(K - lambda M) = 2 lambda^2 - 500 lambda + 10000, so lambda = 125 -/+ 25 sqrt(17), and the
// first row of (K - lambda M) phi = 0 with phi2 = 1 gives phi1 = 100 / (200 - lambda), that is
// 4 / (3 +/- sqrt(17)).
struct EnglishShapes {
    long double lambda[2], u[2], modal_mass[2], scale[2];
    EnglishShapes() {
        const long double r17 = std::sqrt(17.0L);
        lambda[0] = 125.0L - 25.0L * r17;
        lambda[1] = 125.0L + 25.0L * r17;
        u[0] = 4.0L / (3.0L + r17);
        u[1] = 4.0L / (3.0L - r17);
        for (int r = 0; r < 2; ++r) {
            modal_mass[r] = u[r] * u[r] * 1.0L + 1.0L * 2.0L;  // (u, 1) M (u, 1)
            scale[r] = 1.0L / std::sqrt(modal_mass[r]);
        }
    }
};

expected::Model english_model() {
    const EnglishShapes e;
    expected::Model md;
    md.english = true;
    const double m[2][2] = {{1, 0}, {0, 2}}, k[2][2] = {{200, -100}, {-100, 100}};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            md.m[i][j] = m[i][j];
            md.k[i][j] = k[i][j];
        }
    for (int r = 0; r < 2; ++r) {
        md.eig[r] = static_cast<double>(e.lambda[r]);
        md.omega[r] = std::sqrt(md.eig[r]);
        md.fn[r] = md.omega[r] / (2.0 * std::acos(-1.0));
        md.raw[0][r] = static_cast<double>(e.u[r]);
        md.raw[1][r] = 1.0;
        md.qtmq[r] = static_cast<double>(e.modal_mass[r]);
        md.scale[r] = static_cast<double>(e.scale[r]);
        md.modes[0][r] = static_cast<double>(e.u[r] * e.scale[r]);
        md.modes[1][r] = static_cast<double>(e.scale[r]);
    }
    md.ptkp[0] = md.eig[0], md.ptkp[1] = md.eig[1];
    for (int r = 0; r < 2; ++r) {  // Gamma = phi^T M {1} with M = diag(1, 2)
        md.gamma[r] = md.modes[0][r] + 2.0 * md.modes[1][r];
        md.effective[r] = md.gamma[r] * md.gamma[r];
    }
    md.total = 3.0;
    return md;
}

// M = I, K = [[2, -1], [-1, 2]]: eigenvalues 1 and 3, modes (1, 1) and (-1, 1) before and
// (1, 1)/sqrt(2) and (-1, 1)/sqrt(2) after normalisation.
expected::Model identity_model() {
    expected::Model md;
    const double m[2][2] = {{1, 0}, {0, 1}}, k[2][2] = {{2, -1}, {-1, 2}};
    const double raw[2][2] = {{1, -1}, {1, 1}};
    const double h = 1.0 / std::sqrt(2.0);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            md.m[i][j] = m[i][j];
            md.k[i][j] = k[i][j];
            md.raw[i][j] = raw[i][j];
            md.modes[i][j] = raw[i][j] * h;
        }
    md.eig[0] = 1, md.eig[1] = 3;
    md.omega[0] = 1.0, md.omega[1] = 1.7321;
    md.fn[0] = 0.1592, md.fn[1] = 0.2757;
    md.qtmq[0] = md.qtmq[1] = 2.0;
    md.scale[0] = md.scale[1] = 0.7071;
    md.ptkp[0] = 1, md.ptkp[1] = 3;
    md.gamma[0] = 1.4142, md.gamma[1] = 0.0;
    md.effective[0] = 2.0, md.effective[1] = 0.0;
    md.total = 2.0;
    return md;
}

const char *const identity_answers = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n";

// One English run shared by the tests that only look at its results.
class EnglishExample : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        run_ = new RunResult(run_program(english_answers()));
    }
    static void TearDownTestSuite() {
        delete run_;
        run_ = nullptr;
    }
    static const RunResult &run() { return *run_; }

private:
    static RunResult *run_;
};
RunResult *EnglishExample::run_ = nullptr;

TEST_F(EnglishExample, CompletesCleanly) {
    EXPECT_EQ(run().status, 0);
    EXPECT_EQ(run().err, "");
}

TEST_F(EnglishExample, ConsoleAndReportPrintTheClosedFormValues) {
    EXPECT_TRUE(expected::prints_values(english_model(), false, run().out));
    EXPECT_TRUE(expected::prints_values(english_model(), true, run().file("pelmar.out")));
}

// The response files of the English run.
class EnglishResponse : public EnglishExample {
protected:
    static std::vector<std::string> lines(const char *name) { return lines_of(run().file(name)); }

    // The value printed in field `field` (1 or 2) of a response line.
    static double field_value(const std::string &line, int field) {
        double t = 0, x1 = 0, x2 = 0;
        EXPECT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf", &t, &x1, &x2), 3) << line;
        return field == 1 ? x1 : x2;
    }
};

// The last line (step 1237) worked out from the closed-form modal solution for release from
// rest, x = A e^(-zeta w t) (cos wd t + zeta w / wd sin wd t), v = -A e^(-zeta w t) w^2/wd sin wd t,
// a = -2 zeta w v - w^2 x, mapped back through the mass-normalised modes.
TEST_F(EnglishResponse, LastLineMatchesTheClosedFormSolution) {
    const EnglishShapes e;
    const long double pi = std::acos(-1.0L), zeta = 0.05L;
    const long double w[2] = {std::sqrt(e.lambda[0]), std::sqrt(e.lambda[1])};
    const long double dt = 2.0L * pi / w[1] / 32.0L;
    const long double t = 1237.0L * dt;
    long double disp[2] = {}, velo[2] = {}, accel[2] = {};
    for (int r = 0; r < 2; ++r) {
        const long double phi[2] = {e.u[r] * e.scale[r], e.scale[r]};
        const long double A = phi[0] * 1.0L;  // phi^T M di with M = diag(1, 2), di = (1, 0)
        const long double wd = w[r] * std::sqrt(1.0L - zeta * zeta);
        const long double decay = std::exp(-zeta * w[r] * t);
        const long double x = A * decay * (std::cos(wd * t) + zeta * w[r] / wd * std::sin(wd * t));
        const long double v = -A * decay * w[r] * w[r] / wd * std::sin(wd * t);
        const long double a = -2.0L * zeta * w[r] * v - w[r] * w[r] * x;
        for (int i = 0; i < 2; ++i) {
            disp[i] += phi[i] * x;
            velo[i] += phi[i] * v;
            accel[i] += phi[i] * a / 386.0L;
        }
    }
    auto line = [&](const long double x[2]) {
        return response_line(static_cast<double>(t), static_cast<double>(x[0]), static_cast<double>(x[1]));
    };
    const auto d = lines("disp.out"), v = lines("velox.out"), a = lines("accel.out");
    ASSERT_EQ(d.size(), 1238u);
    ASSERT_FALSE(v.empty() || a.empty());  // their length is the time-column test's
    EXPECT_EQ(d.back(), line(disp));
    EXPECT_EQ(v.back(), line(velo));
    EXPECT_EQ(a.back(), line(accel));
}

// The report's closing summary against the files themselves: each peak is the largest |value|
// of its column as printed, found on the line whose time the summary gives; the time grid is
// the files' own; the effective masses add up to 100 % of the total.
TEST_F(EnglishResponse, RunSummaryAgreesWithTheFiles) {
    const std::string rep = run().file("pelmar.out");
    const std::string summary = rep.substr(expected::before_summary(rep).size());
    ASSERT_FALSE(summary.empty());
    EXPECT_NE(summary.find("\n Units = English"), std::string::npos) << summary;
    EXPECT_NE(summary.find(" Damping ratio 2 =       0.0500 \n"), std::string::npos) << summary;
    EXPECT_NE(summary.find(" Initial displacement 1 (in) =   1.0000e+00 \n"), std::string::npos) << summary;
    EXPECT_NE(summary.find(" Time step =  1.30014e-02 sec"), std::string::npos) << summary;
    EXPECT_NE(summary.find(" Number of steps = 1238 \n"), std::string::npos) << summary;

    const auto summary_lines = lines_of(summary);
    const char *const files[3][2] = {{"disp.out", " Displacement (in) "}, {"velox.out", " Velocity (in/sec) "},
                                     {"accel.out", " Acceleration (G) "}};
    for (const auto &f : files) {
        std::string row;
        for (const std::string &l : summary_lines)
            if (l.rfind(f[1], 0) == 0) row = l;
        char peak[2][32] = {}, at[2][32] = {};
        ASSERT_EQ(std::sscanf(row.c_str() + std::strlen(f[1]), "%31s at %31s %31s at %31s", peak[0], at[0],
                              peak[1], at[1]), 4) << f[1] << "in\n" << summary;
        const auto file_lines = lines(f[0]);
        for (int mass = 1; mass <= 2; ++mass) {
            SCOPED_TRACE(std::string(f[0]) + " mass " + std::to_string(mass));
            double largest = 0;
            std::string at_peak;
            for (const std::string &l : file_lines) {
                const double v = std::fabs(field_value(l, mass));
                const std::string t = l.substr(1, l.find("  \t") - 1);
                if (v > largest) largest = v, at_peak = t.substr(t.find_first_not_of(' '));
            }
            EXPECT_EQ(std::strtod(peak[mass - 1], nullptr), largest);
            EXPECT_EQ(at[mass - 1], at_peak);
        }
    }
    double shares[2];
    const char *const heading = "Effective Modal Mass, % of total \n";
    const std::size_t at = summary.find(heading);
    ASSERT_NE(at, std::string::npos) << summary;
    ASSERT_EQ(std::sscanf(summary.c_str() + at + std::strlen(heading), "%lf %lf", &shares[0], &shares[1]), 2);
    EXPECT_NEAR(shares[0] + shares[1], 100.0, 1e-4);
    EXPECT_NEAR(shares[0], 100.0 * english_model().effective[0] / 3.0, 1e-4);
}

TEST(MetricIdentity, ConsoleTranscriptAndReport) {
    const RunResult r = run_program(identity_answers);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(expected::prints_values(identity_model(), false, r.out));
    EXPECT_TRUE(expected::prints_values(identity_model(), true, r.file("pelmar.out")));
}

// A second run in the same directory leaves exactly what a run in a fresh directory leaves:
// the longer files of the first run are truncated, nothing is appended.
TEST(RepeatedRun, ReplacesAllFourFiles) {
    const RunResult first = run_program(english_answers());
    ASSERT_EQ(first.status, 0);
    const RunResult again = run_program(identity_answers, first.dir);
    const RunResult fresh = run_program(identity_answers);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, fresh.out);
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"}) {
        ASSERT_FALSE(fresh.file(name).empty()) << name;
        EXPECT_EQ(again.file(name), fresh.file(name)) << name;
    }
}

}  // namespace
