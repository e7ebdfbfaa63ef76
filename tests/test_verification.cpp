// Published two-degree-of-freedom problems: each model of tests/verification.tsv is run once by
// the real program, and every figure its source publishes is read back from what the program
// prints and compared at the source's precision. docs/verification.md tells the story of each.
#include "harness.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double nan = std::nan("");

struct Figure {
    std::string problem, answers, quantity, source;
    double published = nan, tolerance = nan;
};

std::vector<Figure> published_figures() {
    std::istringstream table(read_file(std::string(PELMAR_GOLDEN) + "/../verification.tsv"));
    std::vector<Figure> figures;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> field;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) field.push_back(cell);
        if (field.size() != 6) {
            ADD_FAILURE() << "verification.tsv: not six fields: " << line;
            continue;
        }
        figures.push_back({field[0], field[1], field[2], field[5], std::strtod(field[3].c_str(), nullptr),
                           std::strtod(field[4].c_str(), nullptr)});
    }
    return figures;
}

// The number printed after `label` ("omega1 =", "fn2 ="), or nan.
double after(const std::string &text, const std::string &label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? nan : std::strtod(text.c_str() + at + label.size(), nullptr);
}

// The `index`-th number printed after the heading `label` (0 is the first).
double nth_after(const std::string &text, const std::string &label, int index) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return nan;
    std::istringstream in(text.substr(at + label.size()));
    double value = nan;
    for (int i = 0; i <= index; ++i)
        if (!(in >> value)) return nan;
    return value;
}

// One response file as rows of (time, mass 1, mass 2).
std::vector<std::array<double, 3>> rows(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::array<double, 3>> out;
    for (std::array<double, 3> r; in >> r[0] >> r[1] >> r[2];) out.push_back(r);
    return out;
}

// Displacement of `mass` (1 or 2) at time t: the cubic through the two lines of disp.out that
// bracket t, with the slopes velox.out prints there. With 32 steps per period of the higher mode
// its error is a few parts in a million of the amplitude, below the five digits printed.
double displacement_at(const RunResult &run, int mass, double t) {
    const auto x = rows(run.file("disp.out")), v = rows(run.file("velox.out"));
    for (std::size_t i = 0; i + 1 < x.size() && i + 1 < v.size(); ++i) {
        if (!(x[i][0] <= t && t <= x[i + 1][0])) continue;
        const double h = x[i + 1][0] - x[i][0], s = (t - x[i][0]) / h;
        return (2 * s * s * s - 3 * s * s + 1) * x[i][mass] + (s * s * s - 2 * s * s + s) * h * v[i][mass] +
               (3 * s * s - 2 * s * s * s) * x[i + 1][mass] + (s * s * s - s * s) * h * v[i + 1][mass];
    }
    return nan;
}

// The figure named by `quantity`, read from the console and the response files of `run`.
double program_figure(const RunResult &run, const std::string &quantity) {
    for (const char *label : {"omega1", "omega2", "fn1", "fn2"})
        if (quantity == label) return after(run.out, " " + quantity + " =");
    // Raw mode shapes, second component 1: after the column numbers 1 and 2 come row 1 (x1 of
    // mode 1, x1 of mode 2) and row 2. The heading starts its line, unlike the normalised one.
    if (quantity == "mode1_ratio" || quantity == "mode2_ratio")
        return nth_after(run.out, "\n Eigenvectors (column format)", quantity == "mode1_ratio" ? 2 : 3);
    if (quantity == "Gamma1" || quantity == "Gamma2")
        return nth_after(run.out, "Particpation Factors", quantity == "Gamma1" ? 0 : 1);
    if (quantity.rfind("disp", 0) == 0 && quantity.size() > 6 && quantity[5] == '@')
        return displacement_at(run, quantity[4] - '0', std::strtod(quantity.c_str() + 6, nullptr));
    return nan;
}

TEST(Verification, PublishedProblemsAreReproduced) {
    const std::vector<Figure> figures = published_figures();
    ASSERT_GE(figures.size(), 30u);
    std::map<std::string, RunResult> runs;
    for (const Figure &f : figures) {
        auto it = runs.find(f.problem);
        if (it == runs.end()) {
            it = runs.emplace(f.problem, run_program(f.answers + "\n")).first;
            EXPECT_EQ(it->second.status, 0) << f.problem << ": " << it->second.err;
            EXPECT_EQ(it->second.err, "") << f.problem;
        }
        const double got = program_figure(it->second, f.quantity);
        const double err = std::fabs(got - f.published);
        if (!(err <= f.tolerance))
            ADD_FAILURE() << std::setprecision(7) << f.problem << " " << f.quantity << ": published " << f.published << ", program "
                          << got << ", off by " << err << " > " << f.tolerance << " (" << f.source << ")";
    }
    EXPECT_EQ(runs.size(), 10u);
}

}  // namespace
