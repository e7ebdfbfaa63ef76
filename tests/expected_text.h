// What a whole run should show: the values of the analysis worked out by hand or in closed form
// (compared as printed numbers; the golden set holds the layout), and a few small text helpers.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace expected {

inline std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char *format, ...) {
    char buf[512];
    std::va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

// Everything the report and the console show for one model, as it should come out.
struct Model {
    bool english = false;
    double m[2][2] = {};  // as stored, English masses already divided by 386
    double k[2][2] = {};
    double eig[2] = {}, omega[2] = {}, fn[2] = {};
    double raw[2][2] = {};     // raw mode shapes, one per column, second component 1
    double qtmq[2] = {};       // diagonal of Q^T M Q
    double scale[2] = {};
    double modes[2][2] = {};   // mass-normalised mode shapes
    double ptkp[2] = {};       // diagonal of P^T K P
    double gamma[2] = {}, effective[2] = {}, total = 0;
};

inline const char *key_prompt() { return "\n\n Press any key to exit.\n\n"; }

// The report up to its closing run summary.
inline std::string before_summary(const std::string &report_text) {
    const std::size_t at = report_text.find("\n\n Run Summary \n");
    return at == std::string::npos ? std::string() : report_text.substr(0, at);
}

// Every white-space separated word of `text` that is a number as a whole, in order: the values
// a run printed, whatever the layout around them (the golden set holds the layout).
inline std::vector<double> numbers_in(const std::string &text) {
    std::vector<double> values;
    std::istringstream words(text);
    std::string w;
    while (words >> w) {
        char *end = nullptr;
        const double v = std::strtod(w.c_str(), &end);
        if (end != w.c_str() && *end == '\0') values.push_back(v);
    }
    return values;
}

// The values of the analysis, in the order the console shows them (`report` false: M, K,
// eigenvalues, frequencies in rad/sec and Hz, the column captions 1 2, raw and normalised
// modes, participation factors, effective masses, total) or the report file does (which adds
// Q^T M Q and the scale factors after the raw modes, P^T M P and P^T K P after the normalised
// ones).
inline std::vector<double> analysis_values(const Model &md, bool report) {
    std::vector<double> v;
    auto matrix = [&v](const double x[2][2]) { v.insert(v.end(), {x[0][0], x[0][1], x[1][0], x[1][1]}); };
    matrix(md.m);
    matrix(md.k);
    v.insert(v.end(), {md.eig[0], md.eig[1], md.omega[0], md.omega[1], md.fn[0], md.fn[1], 1, 2});
    matrix(md.raw);
    if (report) v.insert(v.end(), {md.qtmq[0], 0, 0, md.qtmq[1], md.scale[0], md.scale[1]});
    v.insert(v.end(), {1, 2});
    matrix(md.modes);
    if (report) v.insert(v.end(), {1, 0, 0, 1, md.ptkp[0], 0, 0, md.ptkp[1]});
    v.insert(v.end(), {md.gamma[0], md.gamma[1], md.effective[0], md.effective[1], md.total});
    return v;
}

// Whether the analysis in `text` (the console or the report) prints the values of `md`, each
// within half a unit of its fourth decimal, the one every analysis value is printed to.
inline ::testing::AssertionResult prints_values(const Model &md, bool report, const std::string &text) {
    const std::size_t from = text.find("\n\n Mass matrix \n");
    const std::size_t to = report ? before_summary(text).size() : text.find("\n Output Files");
    if (from == std::string::npos || to == std::string::npos || to < from)
        return ::testing::AssertionFailure() << "no analysis in\n" << text;
    const std::vector<double> got = numbers_in(text.substr(from, to - from));
    const std::vector<double> want = analysis_values(md, report);
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " values printed, " << want.size() << " expected";
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!(std::fabs(got[i] - want[i]) <= 0.5e-4 + 1e-12))
            return ::testing::AssertionFailure() << "value " << i + 1 << " printed as " << got[i] << ", expected "
                                                 << want[i];
    return ::testing::AssertionSuccess();
}

// One response-file line for (t, mass 1, mass 2).
inline std::string response_line(double t, double x1, double x2) {
    return fmt(" %12.5e  \t %10.4e \t  %10.4e \n", t, x1, x2);
}

inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));  // keeps the newline
        start = end + 1;
    }
    return lines;
}

inline bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace expected
