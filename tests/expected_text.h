// Expected console transcript and report of a whole run, assembled line by line from the
// program's output formats and values worked out by hand, plus a few small run helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
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

// Stands for one "%12.4f" field whose exact value is zero: a product that is zero only up to
// rounding may print as 0.0000 or -0.0000, and either is right.
inline constexpr char any_zero = '\x01';

// Tells whether `actual` equals `pattern`, where each any_zero in the pattern accepts
// "      0.0000" or "     -0.0000". On a mismatch the message shows the first differing line.
inline ::testing::AssertionResult matches(const std::string &pattern, const std::string &actual) {
    std::size_t p = 0, a = 0;
    while (p < pattern.size() && a <= actual.size()) {
        if (pattern[p] == any_zero) {
            if (actual.compare(a, 12, "      0.0000") == 0 || actual.compare(a, 12, "     -0.0000") == 0) {
                ++p;
                a += 12;
                continue;
            }
        } else if (a < actual.size() && pattern[p] == actual[a]) {
            ++p;
            ++a;
            continue;
        }
        break;
    }
    if (p == pattern.size() && a == actual.size()) return ::testing::AssertionSuccess();
    // Start of the line holding the first difference, in both texts (npos + 1 is 0).
    const std::size_t from = a == 0 ? 0 : actual.rfind('\n', a - 1) + 1;
    const std::size_t pfrom = p == 0 ? 0 : pattern.rfind('\n', p - 1) + 1;
    int line_no = 1;
    for (std::size_t i = 0; i < from; ++i) line_no += actual[i] == '\n';
    auto show = [](const std::string &s, std::size_t start) {
        std::string out;
        for (std::size_t i = start; i < s.size() && i < start + 80; ++i) {
            const char c = s[i];
            if (c == '\n') { out += "\\n"; break; }
            if (c == '\t') out += "\\t";
            else if (c == any_zero) out += "<0.0000 of either sign>";
            else out += c;
        }
        return out;
    };
    return ::testing::AssertionFailure()
           << "first difference at byte " << a << " (line " << line_no << ")\n  expected: \""
           << show(pattern, pfrom) << "\"\n  actual:   \"" << show(actual, from) << "\"\n"
           << "  (expected " << pattern.size() << " pattern bytes, got " << actual.size() << " bytes)";
}

// A 2x2 matrix printed row by row with one element format; entries that are exactly zero in
// theory but not necessarily in floating point are marked in `fuzzy_zero`.
inline std::string block(const double mat[2][2], const char *element_format,
                         const bool fuzzy_zero[2][2] = nullptr) {
    std::string s;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            if (fuzzy_zero != nullptr && fuzzy_zero[i][j])
                // The marker, then whatever the format writes after its number.
                s += any_zero + std::string(std::strchr(element_format, 'f') + 1);
            else
                s += fmt(element_format, mat[i][j]);
        }
        s += "\n";
    }
    return s;
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

inline std::string banner() { return "\n\n pelmar_initial  ver 1.0 \n January 7, 2010\n"; }

inline std::string dialogue(bool english) {
    const char *mu = english ? "(lbm)" : "(kg)";
    const char *vu = english ? "(in/sec)" : "(m/sec)";
    const char *du = english ? "(in)" : "(m)";
    std::string s = "\n Select units \n";
    s += "\n 1=English  2=metric \n";
    s += "\n Assume symmetric mass and stiffness matrices. ";
    s += fmt("\n\n Enter m11 %s\n", mu);
    s += fmt("\n\n Enter m12 %s\n", mu);
    s += fmt("\n\n Enter m22 %s\n", mu);
    s += "\n\n Enter k11 \n";
    s += "\n\n Enter k12 \n";
    s += "\n\n Enter k22 \n";
    for (long r = 1; r <= 2; ++r) s += fmt("\n\n Enter modal damping ratio %ld \n", r);
    s += "\n";
    for (long r = 1; r <= 2; ++r) s += fmt("\n\n Enter initial velocity for mass %ld %s\n", r, vu);
    s += "\n";
    for (long r = 1; r <= 2; ++r) s += fmt("\n\n Enter initial displacement for mass %ld %s\n", r, du);
    s += "\n";
    return s;
}

inline std::string summary(bool english) {
    std::string s = "\n Output Files: \n\n";
    s += fmt(" %s \n", "pelmar.out");
    s += fmt(" %s  %s\n", "disp.out", english ? "(in)" : "(m)");
    s += fmt(" %s  %s\n", "velox.out", english ? "(in/sec)" : "(m/sec)");
    s += fmt(" %s  %s\n", "accel.out", english ? "(G)" : "(m/sec^2)");
    return s;
}

inline const char *key_prompt() { return "\n\n Press any key to exit.\n\n"; }

// The analysis sections. `report` selects the report file's version: it adds the QTMQ,
// scale, PTMP and PTKP checks and ends the total line with one newline less.
inline std::string analysis(const Model &md, bool report) {
    static const bool off_diagonal[2][2] = {{false, true}, {true, false}};
    std::string s;
    s += "\n\n Mass matrix \n" + block(md.m, "%12.4lf  ");
    s += "\n\n Stiffness matrix \n" + block(md.k, "%12.4lf  ");
    s += fmt("\n eig1 = %14.4f", md.eig[0]);
    s += fmt("\n eig2 = %14.4f", md.eig[1]);
    s += fmt("\n\n omega1 = %14.4f rad/sec", md.omega[0]);
    s += fmt("\n omega2 = %14.4f rad/sec\n", md.omega[1]);
    s += fmt("\n\n fn1 = %14.4f Hz", md.fn[0]);
    s += fmt("\n fn2 = %14.4f Hz\n", md.fn[1]);
    s += "\n\n Eigenvectors (column format)\n\n      1             2  \n\n" + block(md.raw, "%12.4f   ");
    if (report) {
        const double q[2][2] = {{md.qtmq[0], 0}, {0, md.qtmq[1]}};
        s += "\n\n Let Q = eigenvector matrix. \n";
        s += "\n\n QTMQ \n" + block(q, "%12.4f  ", off_diagonal);
        s += fmt("\n\n scale1 = %12.4f ", md.scale[0]);
        s += fmt("\n scale2 = %12.4f \n", md.scale[1]);
    }
    s += "\n\n Normalized Eigenvectors (column format)\n\n      1             2  \n\n" +
         block(md.modes, "%12.4f   ");
    if (report) {
        const double identity[2][2] = {{1, 0}, {0, 1}};
        const double ptkp[2][2] = {{md.ptkp[0], 0}, {0, md.ptkp[1]}};
        s += "\n Let P = normalized eigenvector matrix. \n";
        s += "\n\n Verify PTMP \n" + block(identity, "%12.4f  ", off_diagonal);
        s += "\n\n Verify PTKP \n" + block(ptkp, "%12.4f  ", off_diagonal);
    }
    s += "\n\n Particpation Factors \n\n";
    s += fmt("%12.4f   \n", md.gamma[0]);
    s += fmt("%12.4f   \n\n", md.gamma[1]);
    s += "\n\n Effective Modal Mass \n\n";
    s += fmt("%12.4f   \n", md.effective[0]);
    s += fmt("%12.4f   \n\n", md.effective[1]);
    if (md.english)
        s += fmt(report ? "\n\n Total Modal Mass = %12.4f  lbf sec^2/in \n"
                        : "\n\n Total Modal Mass = %12.4f  lbf sec^2/in \n\n",
                 md.total);
    else
        s += fmt(report ? "\n\n Total Modal Mass = %12.4f kg\n" : "\n\n Total Modal Mass = %12.4f kg\n\n",
                 md.total);
    return s;
}

inline std::string report(const Model &md) { return banner() + analysis(md, true); }

// The report up to its closing "Run Summary" section, which holds the run's own inputs and
// peaks and is checked against the response files instead; "" when the section is missing.
inline std::string before_summary(const std::string &report_text) {
    const std::size_t at = report_text.find("\n\n Run Summary \n");
    return at == std::string::npos ? std::string() : report_text.substr(0, at);
}

inline std::string transcript(const Model &md) {
    std::string s = banner();
    s += "\n\n This program finds the eigenvalues and eigenvectors for a ";
    s += "\n two-degree-of-freedom system.";
    s += "\n\n The equation of motion is:  \n M (d^2x/dt^2) + K x = 0 \n\n";
    s += dialogue(md.english);
    s += analysis(md, false);
    s += summary(md.english);
    s += key_prompt();
    return s;
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

// A single line of text, newline included, as a one-line message on stderr should be.
inline bool is_one_line(const std::string &s) {
    return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}


}  // namespace expected
