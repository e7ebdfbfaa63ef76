// Free-vibration time history: the time grid, the step-count guards, and the written response
// compared with a direct numerical integration of M x'' + C x' + K x = 0.
#include "harness.h"

#include "frame/frame.h"
#include "response/response.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double two_pi = 2.0 * std::acos(-1.0);

// One line of a response file: the time as printed and as a number, and the two values.
struct Row {
    std::string t_text;
    double t = 0, x1 = 0, x2 = 0;
};

// Every line of a response file. Values are read with strtod, which also takes the nan and
// inf spellings; a line that does not hold exactly three numbers fails the test.
std::vector<Row> parse(const std::string &text) {
    std::vector<Row> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        Row r;
        std::istringstream fields(line);
        std::string f[3], extra;
        fields >> f[0] >> f[1] >> f[2];
        EXPECT_FALSE(f[2].empty() || (fields >> extra)) << "line " << rows.size() << ": " << line;
        r.t_text = f[0];
        double *dst[3] = {&r.t, &r.x1, &r.x2};
        for (int i = 0; i < 3; ++i) {
            char *end = nullptr;
            *dst[i] = std::strtod(f[i].c_str(), &end);
            EXPECT_TRUE(!f[i].empty() && *end == '\0') << "line " << rows.size() << ": " << line;
        }
        rows.push_back(r);
    }
    return rows;
}

struct Files {
    RunResult run;
    std::vector<Row> disp, vel, acc;
};

// A physical model completes; on stderr it writes one note per damping ratio outside 0..1
// and one for a rigid-body mode, `notes` lines in all, and nothing else.
Files run_files(const std::string &typed, std::size_t notes = 0) {
    Files f;
    f.run = run_program(typed);
    EXPECT_EQ(f.run.status, 0) << f.run.err;
    EXPECT_EQ(static_cast<std::size_t>(std::count(f.run.err.begin(), f.run.err.end(), '\n')), notes) << f.run.err;
    for (std::size_t at = 0; at < f.run.err.size(); at = f.run.err.find('\n', at) + 1)
        EXPECT_EQ(f.run.err.compare(at, 16, "pelmar_initial: "), 0) << f.run.err;
    f.disp = parse(f.run.file("disp.out"));
    f.vel = parse(f.run.file("velox.out"));
    f.acc = parse(f.run.file("accel.out"));
    return f;
}

// A model as typed: unit choice, masses (lbm in English units), stiffness, damping and the
// initial state.
struct Model {
    int units;
    double m[2][2], k[2][2], damp[2], vi[2], di[2];
    std::string typed() const {
        return answers(units, m[0][0], m[0][1], m[1][1], k[0][0], k[0][1], k[1][1], damp[0], damp[1],
                       vi[0], vi[1], di[0], di[1]);
    }
    double mscale() const { return units == 1 ? 386.0 : 1.0; }
    // The mass matrix the equations of motion use (lbf sec^2/in in English units).
    void mass(double out[2][2]) const {
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) out[i][j] = m[i][j] / mscale();
    }
};

// Response of the model at t = s dt for s = 0..steps-1, by classical fourth-order Runge-Kutta
// with `sub` steps per output interval. Modal damping enters as C = M P diag(2 zeta w) P^T M.
struct History {
    std::vector<double> x[2], v[2], a[2];  // a in the units written (divided by mscale)
};

// The arithmetic is long double, so that a strongly coupled M (det M a hair above zero) does
// not cost the reference its digits.
History integrate(const Model &md, double dt, int steps, int sub) {
    using L = long double;
    double m[2][2];
    md.mass(m);
    const Reference modes = reference_solution(m, md.k);
    L c[2][2] = {};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
            for (int r = 0; r < 2; ++r) {
                const L mp_i = m[i][0] * modes.phi[0][r] + m[i][1] * modes.phi[1][r];
                const L mp_j = m[j][0] * modes.phi[0][r] + m[j][1] * modes.phi[1][r];
                c[i][j] += mp_i * 2 * md.damp[r] * std::sqrt(modes.lambda[r]) * mp_j;
            }
    const L det = std::fmal(m[0][0], m[1][1], -L(m[0][1]) * m[1][0]);
    const L minv[2][2] = {{m[1][1] / det, -m[0][1] / det}, {-m[1][0] / det, m[0][0] / det}};
    auto accel = [&](const L x[2], const L v[2], L out[2]) {
        L f[2];
        for (int i = 0; i < 2; ++i) f[i] = -(c[i][0] * v[0] + c[i][1] * v[1] + md.k[i][0] * x[0] + md.k[i][1] * x[1]);
        for (int i = 0; i < 2; ++i) out[i] = minv[i][0] * f[0] + minv[i][1] * f[1];
    };

    History h;
    L x[2] = {md.di[0], md.di[1]}, v[2] = {md.vi[0], md.vi[1]};
    const L step = L(dt) / sub;
    for (int s = 0; s < steps; ++s) {
        L acc[2];
        accel(x, v, acc);
        for (int i = 0; i < 2; ++i) {
            h.x[i].push_back(static_cast<double>(x[i]));
            h.v[i].push_back(static_cast<double>(v[i]));
            h.a[i].push_back(static_cast<double>(acc[i] / md.mscale()));
        }
        for (int n = 0; n < sub; ++n) {
            L k1x[2], k1v[2], k2x[2], k2v[2], k3x[2], k3v[2], k4x[2], k4v[2], tx[2], tv[2];
            for (int i = 0; i < 2; ++i) k1x[i] = v[i];
            accel(x, v, k1v);
            for (int i = 0; i < 2; ++i) tx[i] = x[i] + 0.5 * step * k1x[i], tv[i] = v[i] + 0.5 * step * k1v[i];
            for (int i = 0; i < 2; ++i) k2x[i] = tv[i];
            accel(tx, tv, k2v);
            for (int i = 0; i < 2; ++i) tx[i] = x[i] + 0.5 * step * k2x[i], tv[i] = v[i] + 0.5 * step * k2v[i];
            for (int i = 0; i < 2; ++i) k3x[i] = tv[i];
            accel(tx, tv, k3v);
            for (int i = 0; i < 2; ++i) tx[i] = x[i] + step * k3x[i], tv[i] = v[i] + step * k3v[i];
            for (int i = 0; i < 2; ++i) k4x[i] = tv[i];
            accel(tx, tv, k4v);
            for (int i = 0; i < 2; ++i) {
                x[i] += step / 6.0 * (k1x[i] + 2.0 * k2x[i] + 2.0 * k3x[i] + k4x[i]);
                v[i] += step / 6.0 * (k1v[i] + 2.0 * k2v[i] + 2.0 * k3v[i] + k4v[i]);
            }
        }
    }
    return h;
}

// Largest deviation of a written column from the reference, line by line, as a fraction of
// the reference value; values below 1e-7 of the column's peak count as that floor, so that
// late, decayed values are held to their printed digits too, but not zero crossings. A nan
// written anywhere makes the result nan (std::max would keep the earlier worst), which fails
// any bound.
double column_error(const std::vector<Row> &rows, int col, const std::vector<double> &ref, double floor_fraction) {
    double peak = 0, worst = 0;
    for (double r : ref) peak = std::max(peak, std::fabs(r));
    const double floor = peak > 0 ? floor_fraction * peak : 1.0;
    for (std::size_t s = 0; s < rows.size() && s < ref.size(); ++s) {
        const double e = std::fabs((col == 0 ? rows[s].x1 : rows[s].x2) - ref[s]) / std::max(std::fabs(ref[s]), floor);
        if (!(e <= worst)) worst = e;
    }
    return worst;
}

// The n numbers printed after the first occurrence of `heading`.
std::vector<double> numbers_after(const std::string &text, const std::string &heading, int n) {
    const std::size_t at = text.find(heading);
    std::vector<double> v;
    if (at == std::string::npos) return v;
    std::istringstream in(text.substr(at + heading.size()));
    double x;
    while (static_cast<int>(v.size()) < n && in >> x) v.push_back(x);
    return v;
}

// The console's normalised modes (up to sign), effective modal masses and total against the
// independent modes. With equal frequencies any M-orthonormal pair is right: then only that,
// and the total, are checked.
void expect_printed_modes(const std::string &out, const double m[2][2], const Reference &md) {
    const std::vector<double> p = numbers_after(out, "Normalized Eigenvectors (column format)\n\n      1             2  \n", 4);
    const std::vector<double> eff = numbers_after(out, "Effective Modal Mass", 2);
    const std::vector<double> total = numbers_after(out, "Total Modal Mass =", 1);
    ASSERT_EQ(p.size(), 4u);
    ASSERT_EQ(eff.size(), 2u);
    ASSERT_EQ(total.size(), 1u);
    const double mass = m[0][0] + m[0][1] + m[1][0] + m[1][1];
    EXPECT_NEAR(total[0], mass, 1e-4 * std::max(1.0, mass));
    const double printed[2][2] = {{p[0], p[1]}, {p[2], p[3]}};
    const bool equal = md.gap < 1e-15;
    for (int r = 0; r < 2; ++r) {
        SCOPED_TRACE(r);
        const double col[2] = {printed[0][r], printed[1][r]};
        const double phi[2] = {static_cast<double>(md.phi[0][r]), static_cast<double>(md.phi[1][r])};
        auto mdot = [&](const double x[2], const double y[2]) {
            return x[0] * (m[0][0] * y[0] + m[0][1] * y[1]) + x[1] * (m[1][0] * y[0] + m[1][1] * y[1]);
        };
        const double scale = std::sqrt(std::max(m[0][0], m[1][1]) / std::min(m[0][0], m[1][1]));
        if (equal) {
            const double other[2] = {printed[0][1 - r], printed[1][1 - r]};
            EXPECT_NEAR(mdot(col, col), 1.0, 1e-3 * scale);
            EXPECT_NEAR(mdot(col, other), 0.0, 1e-3 * scale);
            continue;
        }
        const double sign = col[0] * phi[0] + col[1] * phi[1] < 0 ? -1.0 : 1.0;
        const double tol = 6e-5 * (std::fabs(phi[0]) + std::fabs(phi[1])) + 5e-5;  // printed to 1e-4
        EXPECT_NEAR(col[0], sign * phi[0], tol);
        EXPECT_NEAR(col[1], sign * phi[1], tol);
        const double ones[2] = {1.0, 1.0}, gamma = mdot(phi, ones);
        EXPECT_NEAR(eff[r], gamma * gamma, 6e-5 * std::max(1.0, gamma * gamma) + 1e-12 * mass);
    }
}

// Fraction of the peak down to which the written values can be held to their five digits.
// That is 1e-7 for an eigen-solution exact to rounding. The program may print a closed-form
// eigenvalue or mode that agrees with the exact one only to nine digits: a frequency off by
// the fraction d shifts its mode's phase by up to d/2 of the angle it turns through in the
// record, a mode off by d moves each value by d of the peak, and values below 1e4 times that
// cannot keep five digits. The discrepancy itself must stay within those nine digits.
double value_floor(const Model &md, const Reference &ref) {
    run_stages(md.units, md.m, md.k, md.damp, md.vi, md.di);
    const double ev[2] = {rec.ev1, rec.ev2};
    const long double timed = ref.lambda[ref.lambda[0] > 0 ? 0 : 1];  // the mode the record spans
    double drift = 0, shape = 0;
    for (int r = 0; r < 2; ++r) {
        // A rigid-body mode's eigenvalue must be exactly zero.
        const long double d = ref.lambda[r] == 0 ? std::fabs(ev[r]) : std::fabs(ev[r] - ref.lambda[r]) / ref.lambda[r];
        EXPECT_LE(d, 2e-9L) << "eigenvalue " << r;
        const long double turned = 24 * std::acos(-1.0L) * std::sqrt(ref.lambda[r] / timed);
        drift = std::max(drift, static_cast<double>(d / 2 * turned));
        if (ref.gap < 1e-15) continue;  // equal frequencies: any M-orthonormal pair
        const long double size = std::fabs(ref.phi[0][r]) + std::fabs(ref.phi[1][r]);
        for (int i = 0; i < 2; ++i)
            shape = std::max(shape, static_cast<double>(std::fabs(rec.vector[i][r] - ref.phi[i][r]) / size));
    }
    EXPECT_LE(shape, 2e-9) << "mode shapes";
    return std::max(1e-7, 1e4 * std::max(drift, shape));
}

// The run summary's six-digit modal results against the independent solution: frequencies,
// mass-normalised modes (up to sign; only where the frequencies are far enough apart for the
// data to fix the modes to that precision) and participation factors Gamma = P^T M {1}, each
// to 1e-5 of its size.
void expect_precise_summary(const std::string &report, const double m[2][2], const Reference &md) {
    const std::string tail = report.substr(std::min(report.find("Six Significant Digits"), report.size()));
    const std::vector<double> w1 = numbers_after(tail, "omega1 =", 1), w2 = numbers_after(tail, "omega2 =", 1);
    const std::vector<double> p = numbers_after(tail, "(column format) \n", 4);
    const std::vector<double> g = numbers_after(tail, "Participation Factors \n", 2);
    ASSERT_EQ(w1.size() + w2.size() + p.size() + g.size(), 8u) << report;
    const double w[2] = {w1[0], w2[0]};
    for (int r = 0; r < 2; ++r) {
        const double omega = static_cast<double>(std::sqrt(md.lambda[r]));
        EXPECT_NEAR(w[r], omega, 1e-5 * omega) << "omega" << r + 1;
        if (md.gap < 1e-9) continue;
        const double sign = p[r] * static_cast<double>(md.phi[0][r]) + p[2 + r] * static_cast<double>(md.phi[1][r]) < 0 ? -1 : 1;
        const double size = static_cast<double>(std::fabs(md.phi[0][r]) + std::fabs(md.phi[1][r]));
        double gamma = 0;
        for (int i = 0; i < 2; ++i) {
            EXPECT_NEAR(sign * p[2 * i + r], static_cast<double>(md.phi[i][r]), 1e-5 * size) << "mode " << r + 1;
            gamma += static_cast<double>(md.phi[i][r]) * (m[i][0] + m[i][1]);
        }
        EXPECT_NEAR(sign * g[r], gamma, 1e-5 * size * (std::fabs(m[0][0]) + std::fabs(m[1][1]) + 2 * std::fabs(m[0][1])))
            << "participation factor " << r + 1;
    }
}

// Written response against the integrated one, line by line in all three files. The files
// carry five significant digits, so 1e-4 of each value is what printing allows.
void expect_matches_integration(const Model &md) {
    double m[2][2];
    md.mass(m);
    const Reference modes = reference_solution(m, md.k);
    const double omega[2] = {static_cast<double>(std::sqrt(modes.lambda[0])), static_cast<double>(std::sqrt(modes.lambda[1]))};
    const double dt = (two_pi / omega[1]) / 32.0;
    // Twelve periods of mode 1, or of mode 2 when mode 1 is a rigid-body motion.
    const bool rigid = modes.lambda[0] == 0;
    const double ratio = 384.0 * omega[1] / omega[rigid ? 1 : 0];
    const int steps = static_cast<int>(ratio);

    std::size_t notes = rigid ? 1 : 0;
    for (int r = rigid ? 1 : 0; r < 2; ++r) notes += md.damp[r] > 1 || md.damp[r] < 0;
    const Files f = run_files(md.typed(), notes);
    // A whole-number ratio (equal frequencies: 384) may come out one short in the last bit.
    const bool on_integer = std::fabs(ratio - std::round(ratio)) < 1e-9 * ratio;
    if (on_integer) {
        EXPECT_NEAR(static_cast<double>(f.disp.size()), std::round(ratio), 1.0);
    } else {
        ASSERT_EQ(static_cast<int>(f.disp.size()), steps);
    }
    ASSERT_EQ(f.vel.size(), f.disp.size());
    ASSERT_EQ(f.acc.size(), f.disp.size());
    const History h = integrate(md, dt, steps, 50);
    const double floor_fraction = value_floor(md, modes);
    const char *names[3] = {"displacement", "velocity", "acceleration"};
    const std::vector<Row> *files[3] = {&f.disp, &f.vel, &f.acc};
    const std::vector<double> *refs[3][2] = {{&h.x[0], &h.x[1]}, {&h.v[0], &h.v[1]}, {&h.a[0], &h.a[1]}};
    for (int q = 0; q < 3; ++q)
        for (int col = 0; col < 2; ++col)
            EXPECT_LT(column_error(*files[q], col, *refs[q][col], floor_fraction), 1e-4)
                << names[q] << " of mass " << col + 1;
    expect_printed_modes(f.run.out, m, modes);
    expect_precise_summary(f.run.file("pelmar.out"), m, modes);
}

}  // namespace

// A whole-number frequency ratio puts dur/dt on an integer, where the truncated count
// depends on the last bit of the quotient: ratio 4 (eigenvalues 3 and 48) and ratio 3
// (eigenvalues 5 and 45) must give the full 384 times the ratio.
TEST(ResponseTimeGrid, WholeNumberFrequencyRatios) {
    const Files four = run_files(answers(2, 1, 0, 1, 12, -18, 39, 0.02, 0.02, 0, 0, 1, 0));
    EXPECT_EQ(four.disp.size(), 1536u);
    EXPECT_EQ(four.acc.size(), 1536u);
    const Files three = run_files(answers(2, 1, 0, 1, 13, -16, 37, 0.02, 0.02, 0, 0, 1, 0));
    EXPECT_EQ(three.disp.size(), 1152u);
    EXPECT_EQ(three.acc.size(), 1152u);
}

// A free-free pair with M = I: the centre of mass drifts exactly, x1 + x2 = (d1 + d2) +
// (v1 + v2) t, whatever damping was typed (a rigid-body mode has none), while x1 - x2 rings as
// one damped oscillator of omega^2 = 2k. The record spans twelve periods of that mode. The
// same with a singular K whose determinant, 0.09 - 0.09, rounds to +1.4e-17 rather than to
// zero: a free mass all the same, not frequencies 1e11 steps apart.
TEST(ResponseRigidBody, CentreOfMassDriftsAndTheElasticModeRings) {
    const double k = 100, z = 0.05, v1 = 0.5, v2 = -0.2, d1 = 0.01, d2 = 0.03;
    const Files f = run_files(answers(2, 1, 0, 1, k, -k, k, 0.3, z, v1, v2, d1, d2), 1);
    ASSERT_EQ(f.disp.size(), 384u);
    const double w = std::sqrt(2 * k), wd = w * std::sqrt(1 - z * z);
    const double a = d1 - d2, b = (z * w * a + (v1 - v2)) / wd;
    double worst = 0;
    for (const Row &row : f.disp) {
        const double sum = d1 + d2 + (v1 + v2) * row.t;
        const double diff = std::exp(-z * w * row.t) * (a * std::cos(wd * row.t) + b * std::sin(wd * row.t));
        // Five significant digits of each printed value: 5e-5 of |x1| + |x2| at most.
        const double e = std::max(std::fabs(row.x1 + row.x2 - sum), std::fabs(row.x1 - row.x2 - diff)) /
                         (std::fabs(row.x1) + std::fabs(row.x2));
        if (!(e <= worst)) worst = e;
    }
    EXPECT_LT(worst, 6e-5);
    EXPECT_NE(f.run.file("pelmar.out").find("twelve periods of mode 2: mode 1 is a rigid-body motion"), std::string::npos);

    const Files rounded = run_files(answers(2, 1, 0, 1, 0.1, -0.3, 0.9, 0.05, 0.05, 0, 0, 1, 0), 1);
    EXPECT_EQ(rounded.disp.size(), 384u);
}

// The written response of plain coupled models, of models whose modes the first row of
// K - lambda M cannot give (uncoupled masses in either order, a first row left a rounding hair
// off zero, weak coupling, equal frequencies, and the shared table of nearly equal frequencies,
// strong mass coupling and extreme scales), of modes damped at and above critical (the motion
// creeps back without oscillating), of self-excited modes and of rigid-body modes, each against
// the integrator. With equal frequencies the modes are any M-orthonormal pair, so only equal
// damping ratios describe one structure.
TEST(ResponseAgainstIntegration, EveryKindOfModelAndDamping) {
    const Model models[] = {
        // Coupled masses (non-diagonal M), light damping, both masses displaced and moving; very
        // different damping in the two modes (the upper one dies out while the lower rings on,
        // so a mix-up of the ratios shows); English units, accelerations in G.
        {2, {{2.0, 0.5}, {0.5, 1.0}}, {{300, -100}, {-100, 150}}, {0.03, 0.03}, {0.1, 0.3}, {0.01, -0.02}},
        {2, {{1.5, 0.0}, {0.0, 1.0}}, {{50, -20}, {-20, 30}}, {0.01, 0.3}, {-0.5, 0.2}, {0.05, 0.1}},
        {1, {{386, 77.2}, {77.2, 772}}, {{200, -100}, {-100, 100}}, {0.05, 0.1}, {2.0, -1.0}, {1.0, 0.5}},
        {2, {{2, 0}, {0, 1}}, {{4, 0}, {0, 9}}, {0.02, 0.05}, {0.3, -0.2}, {1, 0.5}},
        {2, {{1, 0}, {0, 2}}, {{9, 0}, {0, 4}}, {0.05, 0.02}, {-0.2, 0.3}, {0.5, 1}},
        {2, {{1.1, 0}, {0, 1.3}}, {{3.7, 0}, {0, 2.9}}, {0.05, 0.05}, {0, 0}, {1, 1}},
        {1, {{386, 0}, {0, 772}}, {{200, 0}, {0, 100}}, {0.05, 0.05}, {0, 0}, {1, 1}},
        {2, {{1, 0}, {0, 2}}, {{100, -1e-6}, {-1e-6, 800}}, {0.05, 0.05}, {0, 0}, {1, 1}},
        {2, {{1, 0}, {0, 1}}, {{1, -0.001}, {-0.001, 6.76e4}}, {0.02, 0.02}, {0, 0}, {1, 1}},
        {2, {{2, 0.5}, {0.5, 1}}, {{6, 1.5}, {1.5, 3}}, {0.05, 0.05}, {0.1, 0}, {1, 1}},
        {2, {{2, 0.5}, {0.5, 1}}, {{7.4, 1.85}, {1.85, 3.7}}, {0.3, 0.3}, {0.1, 0}, {1, -1}},
        {2, {{1, 0}, {0, 2}}, {{3, 0}, {0, 6}}, {0.05, 0.05}, {0, 0.2}, {1, -1}},
        {2, {{1, 0}, {0, 1}}, {{2, -1}, {-1, 2}}, {1, 0.05}, {0, 0}, {1, 0}},
        {2, {{2.0, 0.5}, {0.5, 1.0}}, {{300, -100}, {-100, 150}}, {1.5, 0.05}, {0.1, 0.3}, {0.01, -0.02}},
        {1, {{386, 77.2}, {77.2, 772}}, {{200, -100}, {-100, 100}}, {0.05, 4}, {2.0, -1.0}, {1.0, 0.5}},
        {2, {{1.5, 0.0}, {0.0, 1.0}}, {{50, -20}, {-20, 30}}, {20, 1.000001}, {-0.5, 0.2}, {0.05, 0.1}},
        {2, {{1.5, 0.0}, {0.0, 1.0}}, {{50, -20}, {-20, 30}}, {1 + 1e-10, 20}, {0.5, 0.2}, {0, 0.1}},
        // Self-excited modes (negative damping), below, at and beyond critical: the response grows.
        {2, {{1, 0}, {0, 1}}, {{2, -1}, {-1, 2}}, {0.05, -0.05}, {0, 0}, {1, 0}},
        {2, {{1.5, 0.0}, {0.0, 1.0}}, {{50, -20}, {-20, 30}}, {-1, -1.2}, {-0.5, 0.2}, {0.05, 0.1}},
        // Rigid-body modes: a free-free pair, coupled through M, in English units, and a free mass.
        {2, {{2, 0.5}, {0.5, 1}}, {{50, -50}, {-50, 50}}, {0.3, 0.02}, {0.1, 0.3}, {0.01, -0.02}},
        {1, {{386, 0}, {0, 772}}, {{100, -100}, {-100, 100}}, {0.05, 0.1}, {1, 0}, {0, 0.5}},
        {2, {{1, 0}, {0, 2}}, {{0, 0}, {0, 4}}, {2, 0.05}, {0.2, 0}, {1, 0.5}},
    };
    for (const Model &md : models) {
        SCOPED_TRACE(md.typed());
        expect_matches_integration(md);
    }
    // Nearly equal frequencies, strongly coupled masses, extreme scales, with unequal damping,
    // so that a mode mixed up with its neighbour takes the wrong decay and shows.
    for (const PencilCase &pc : hard_pencils()) {
        const Model md = {2, {{pc.m[0][0], pc.m[0][1]}, {pc.m[1][0], pc.m[1][1]}},
                          {{pc.k[0][0], pc.k[0][1]}, {pc.k[1][0], pc.k[1][1]}}, {0.02, 0.1}, {0, 0}, {1, 0.5}};
        SCOPED_TRACE(std::string(pc.family) + ": " + md.typed());
        expect_matches_integration(md);
    }
}

// Released at rest in equilibrium, the system stays there: every value of every line is zero.
TEST(ResponseInitialState, ZeroInitialConditionsStayAtRest) {
    const Files f = run_files(answers(2, 2.0, 0.5, 1.0, 300, -100, 150, 0.03, 0.2, 0, 0, 0, 0));
    ASSERT_FALSE(f.disp.empty());
    for (const std::vector<Row> *rows : {&f.disp, &f.vel, &f.acc}) {
        EXPECT_EQ(rows->size(), f.disp.size());
        for (const Row &r : *rows) {
            EXPECT_EQ(r.x1, 0.0) << r.t_text;
            EXPECT_EQ(r.x2, 0.0) << r.t_text;
        }
    }
}

// Equal masses released with equal displacements excite only the in-phase mode (1 rad/sec);
// without damping both masses follow cos t for the whole record, with velocity -sin t.
TEST(ResponseInitialState, UndampedInPhaseReleaseIsCosine) {
    const Files f = run_files(answers(2, 1, 0, 1, 2, -1, 2, 0, 0, 0, 0, 1, 1));
    ASSERT_FALSE(f.disp.empty());
    ASSERT_EQ(f.vel.size(), f.disp.size());
    ASSERT_EQ(f.acc.size(), f.disp.size());
    const double dt = two_pi / std::sqrt(3.0) / 32.0;
    for (std::size_t s = 0; s < f.disp.size(); ++s) {
        SCOPED_TRACE(s);
        const double t = static_cast<double>(s) * dt;
        const double c = std::cos(t), sn = -std::sin(t);
        EXPECT_NEAR(f.disp[s].x1, c, 6e-5 * std::fabs(c) + 1e-12);
        EXPECT_NEAR(f.disp[s].x2, c, 6e-5 * std::fabs(c) + 1e-12);
        EXPECT_NEAR(f.vel[s].x1, sn, 6e-5 * std::fabs(sn) + 1e-12);
        EXPECT_NEAR(f.vel[s].x2, sn, 6e-5 * std::fabs(sn) + 1e-12);
        EXPECT_NEAR(f.acc[s].x1, -c, 6e-5 * std::fabs(c) + 1e-12);
        EXPECT_NEAR(f.acc[s].x2, -c, 6e-5 * std::fabs(c) + 1e-12);
    }
}

// The time column: the same in all three files, starting at zero, and on line s exactly the
// printed form of s dt. Each time is computed from the step index: a running sum t += dt gains
// about one rounding per step, too little to show in six digits over a short record, so the
// record here is long (M = I, K = [[1, -0.001], [-0.001, 3e5]]: 210 325 steps) and the test
// first makes sure that a running sum would print a different time on some line of it.
TEST(ResponseTimeColumn, IndexTimesStepInEveryFile) {
    const double m[2][2] = {{1.0, 0.0}, {0.0, 1.0}}, k[2][2] = {{1.0, -0.001}, {-0.001, 3e5}};
    const double damp[2] = {0.02, 0.02}, vi[2] = {0.0, 0.0}, di[2] = {1.0, 1.0};
    run_stages(2, m, k, damp, vi, di, true);
    const double dt = rec.dt;
    const Files f = run_files(answers(2, 1, 0, 1, 1, -0.001, 3e5, 0.02, 0.02, 0, 0, 1, 1));
    ASSERT_GE(f.disp.size(), 200000u);
    ASSERT_EQ(f.vel.size(), f.disp.size());
    ASSERT_EQ(f.acc.size(), f.disp.size());
    EXPECT_EQ(f.disp[0].t, 0.0);
    char expected[32], summed[32];
    double t = 0.0;
    bool a_sum_would_show = false;
    for (std::size_t s = 0; s < f.disp.size(); ++s, t += dt) {
        std::snprintf(expected, sizeof expected, "%.5e", static_cast<double>(s) * dt);
        std::snprintf(summed, sizeof summed, "%.5e", t);
        a_sum_would_show = a_sum_would_show || std::strcmp(expected, summed) != 0;
        ASSERT_EQ(f.disp[s].t_text, expected) << "line " << s;
        ASSERT_EQ(f.vel[s].t_text, f.disp[s].t_text) << "line " << s;
        ASSERT_EQ(f.acc[s].t_text, f.disp[s].t_text) << "line " << s;
    }
    EXPECT_TRUE(a_sum_would_show) << "this record no longer tells s dt from a running sum";
}

// Frequencies 1 and 1e4 rad/sec: 3.84 million steps of 1.96e-5 sec over 75.4 sec. From
// t = 10 on, six significant digits step by 1e-4 and would print the same time up to six
// lines running; one digit more tells every line from the next. The whole time column is
// formatted here as the writer formats it (the files themselves go to /dev/null).
TEST(ResponseTimeColumn, EveryStepOfALongRecordHasItsOwnTime) {
    const double m[2][2] = {{1.0, 0.0}, {0.0, 1.0}}, k[2][2] = {{1.0, -0.001}, {-0.001, 1e8}};
    const double damp[2] = {0.02, 0.02}, vi[2] = {0.0, 0.0}, di[2] = {1.0, 1.0};
    run_stages(2, m, k, damp, vi, di, true);
    ASSERT_EQ(rec.steps, 3840000);
    ASSERT_EQ(rec.time_decimals, 6);
    char text[2][2][response_line_max];
    std::size_t len[2][2] = {};
    long repeats[2] = {0, 0};  // with 5 and with 6 decimals
    for (std::int32_t s = 0; s < rec.steps; ++s) {
        const double t = static_cast<double>(s) * rec.dt;
        for (int d = 0; d < 2; ++d) {
            char *now = text[d][s & 1];
            len[d][s & 1] = static_cast<std::size_t>(format_response_time(now, t, 5 + d) - now);
            repeats[d] += s > 0 && len[d][0] == len[d][1] && std::memcmp(text[d][0], text[d][1], len[d][0]) == 0;
        }
        if (s % 4093 == 0 || s == rec.steps - 1) {
            char want[64];
            std::snprintf(want, sizeof want, " %12.6e  \t ", t);
            ASSERT_EQ(std::string(text[1][s & 1], len[1][s & 1]), want) << "step " << s;
        }
    }
    EXPECT_GT(repeats[0], 600000);
    EXPECT_EQ(repeats[1], 0);

    // The report gives the time of each peak as the files print it, sixth decimal and all.
    const std::string path = make_temp_dir() + "/pelmar.out";
    std::FILE *silenced = rec.pFile[0];
    rec.pFile[0] = std::fopen(path.c_str(), "w");
    run_summary();
    std::fclose(rec.pFile[0]);
    rec.pFile[0] = silenced;
    char at[64];
    std::snprintf(at, sizeof at, "at %12.6e", static_cast<double>(rec.peak_step[1][0]) * rec.dt);
    EXPECT_NE(read_file(path).find(at), std::string::npos) << at << " in\n" << read_file(path);
}
