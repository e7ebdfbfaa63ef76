// Golden outputs: the bytes of recorded runs, so that any change of console, stderr, exit status
// or files is seen, named by case and output, and either mended or re-recorded on purpose.
//
// tests/golden/cases.txt holds one run per line: name, exit status, one digest per output and
// the answers typed. The two shipped examples are stored whole as well, in tests/golden/<name>/,
// so that a change there shows its first differing line. With PELMAR_GOLDEN_RECORD=1 in the
// environment (tools/record_golden.sh) the test instead runs the cases from the seeded
// generator below, writes the set anew and lists the cases that changed.
#include "harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string golden_dir = PELMAR_GOLDEN;

// What a run shows, in a fixed order: the console, stderr and the four files.
const char *const output_names[6] = {"console.txt", "stderr.txt", "pelmar.out",
                                     "disp.out",    "velox.out",  "accel.out"};

struct Outputs {
    int status = -1;
    std::string text[6];
};

// 64-bit FNV-1a: small, portable, and any changed byte changes it.
std::string digest(const std::string &bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

// The sign of a not-a-number depends on how the compiler ordered the arithmetic (the optimised
// and the sanitizer builds differ), so "-nan" counts as " nan": the same width, no sign.
std::string unsigned_nan(std::string text) {
    for (std::size_t at = text.find("-nan"); at != std::string::npos; at = text.find("-nan", at))
        text[at] = ' ';
    return text;
}

Outputs run_case(const std::string &answers) {
    const RunResult r = run_program(answers);
    Outputs o;
    o.status = r.status;
    o.text[0] = unsigned_nan(r.out);
    o.text[1] = unsigned_nan(r.err);
    for (int f = 2; f < 6; ++f) o.text[f] = unsigned_nan(r.file(output_names[f]));
    std::error_code ec;
    std::filesystem::remove_all(r.dir, ec);  // a long record is megabytes: not kept to the end
    return o;
}

// Answers on one line of cases.txt: backslash, tab, CR, LF and other control bytes escaped.
std::string escape(const std::string &s) {
    std::string e;
    for (unsigned char c : s) {
        if (c == '\\') e += "\\\\";
        else if (c == '\n') e += "\\n";
        else if (c == '\r') e += "\\r";
        else if (c == '\t') e += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            e += hex;
        } else e += static_cast<char>(c);
    }
    return e;
}

std::string unescape(const std::string &e) {
    std::string s;
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i] != '\\' || i + 1 == e.size()) {
            s += e[i];
            continue;
        }
        const char c = e[++i];
        if (c == 'n') s += '\n';
        else if (c == 'r') s += '\r';
        else if (c == 't') s += '\t';
        else if (c == 'x' && i + 2 < e.size()) {
            s += static_cast<char>(std::stoi(e.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else s += c;
    }
    return s;
}

struct Case {
    std::string name, answers;
    bool whole = false;  // outputs stored whole in tests/golden/<name>/
    int status = -1;
    std::string digests[6];
};

// ---- The seeded generator of the recorded runs ----------------------------------------------

// Draws from the seeded sequence, so that the same cases come on every platform.
struct Draw {
    Rng r;
    double uniform(double lo, double hi) { return lo + (hi - lo) * r.unit(); }
    double decades(double lo, double hi) { return std::pow(10.0, uniform(lo, hi)); }
    bool chance(double p) { return uniform(0, 1) < p; }
};

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

// One physical model: masses and springs over several decades, coupled or not, damping from
// none to above critical, initial conditions of either sign. Frequency ratios are kept below
// 60 so that no record passes 23,040 lines and the set runs in seconds.
std::string random_answers(Draw &g) {
    for (;;) {
        const bool english = g.chance(0.5);
        const double lo = english ? 1.0 : -1.0, hi = english ? 4.0 : 3.0;  // lbm or kg
        const double m11 = g.decades(lo, hi), m22 = g.decades(lo, hi);
        const double m12 = g.chance(0.6) ? 0.0 : g.uniform(-0.9, 0.9) * std::sqrt(m11 * m22);
        // Springs to ground at each mass and between them, so that K is physical.
        const double k1 = g.decades(0, 5), k3 = g.chance(0.3) ? 0.0 : g.decades(0, 5);
        const double k2 = g.chance(0.2) ? 0.0 : g.decades(0, 5);
        double z[2];
        for (double &zr : z) {
            const double pick = g.uniform(0, 1);
            zr = pick < 0.15 ? 0.0 : pick < 0.75 ? g.uniform(0, 0.3) : pick < 0.85 ? 1.0 : g.uniform(1, 3);
        }
        double init[4];
        for (double &x : init) x = g.chance(0.3) ? 0.0 : g.uniform(-2, 2);
        const std::string t[13] = {english ? "1" : "2", num(m11), num(m12), num(m22),
                                   num(k1 + k2), num(0.0 - k2), num(k2 + k3), num(z[0]), num(z[1]),
                                   num(init[0]), num(init[1]), num(init[2]), num(init[3])};
        // The frequency ratio of the numbers as typed, in long double.
        const long double s = english ? 386.0L : 1.0L;
        const long double M[3] = {std::strtold(t[1].c_str(), nullptr) / s,
                                  std::strtold(t[2].c_str(), nullptr) / s,
                                  std::strtold(t[3].c_str(), nullptr) / s};
        const long double K[3] = {std::strtold(t[4].c_str(), nullptr), std::strtold(t[5].c_str(), nullptr),
                                  std::strtold(t[6].c_str(), nullptr)};
        const long double a = M[0] * M[2] - M[1] * M[1];
        const long double b = -(M[0] * K[2] + M[2] * K[0] - 2 * M[1] * K[1]);
        const long double c = K[0] * K[2] - K[1] * K[1];
        const long double d = std::sqrt(std::fmax(b * b - 4 * a * c, 0.0L));
        const long double ev2 = (-b + d) / (2 * a), ev1 = c / (a * ev2);
        if (!(ev1 > 0 && ev2 / ev1 < 3600)) continue;
        std::string line = t[0];
        for (int i = 1; i < 13; ++i) line += " " + t[i];
        return line + "\n";
    }
}

// Inputs at the edges: models that are not physical or awkward. Answers that are not numbers
// or not all there, and other spellings of the same numbers, are the fault table's and the
// dialogue's cases.
const std::pair<const char *, const char *> edge_cases[] = {
    {"free_mass", "2 1 0 1 1 -1 1 0.05 0.05 0 0 1 0\n"},
    {"negative_mass", "2 -1 0 1 2 -1 2 0.05 0.05 0 0 1 0\n"},
    {"zero_input", "2 0 0 0 0 0 0 0 0 0 0 0 0\n"},
    {"singular_mass", "2 1 1 1 2 -1 2 0.05 0.05 0 0 1 0\n"},
    {"indefinite_stiffness", "2 1 0 1 1 2 1 0.05 0.05 0 0 1 0\n"},
    {"negative_damping", "2 1 0 1 2 -1 2 0.05 -0.05 0 0 1 0\n"},
    {"critical_damping", "2 1 0 1 2 -1 2 1 1 0.5 0 1 0\n"},
    {"overdamped", "1 386 0 772 200 -100 100 2.5 1.5 0 3 1 0\n"},
    {"equal_frequencies", "2 1 0 1 4 0 4 0.02 0.1 0 0 1 0.5\n"},
    {"stiff_soft", "2 1 0 1 1 -0.001 10000 0.02 0.02 0 0 1 1\n"},
    {"nearly_equal_coupled", "2 1 0 1 10 1e-8 10 0.02 0.1 0 0 1 0.5\n"},
    {"nearly_equal_uncoupled", "2 1 0 2 1.00000001 0 2 0.02 0.1 0.2 -0.1 1 0.3\n"},
    {"strong_mass_coupling", "2 1 0.9999999999 1 1 0.9999999998 1 0.02 0.1 0 0 1 0\n"},
    {"tiny_scale", "2 1e-120 0 1e-120 2e-120 -1e-120 2e-120 0.02 0.1 0 0 1 0\n"},
    {"huge_entries", "2 1e200 0 1e200 1e300 -1e300 1e300 0.05 0.05 0 0 1 0\n"},
    {"det_k_rounds_nonzero", "2 1 0 1 0.1 -0.3 0.9 0.05 0.05 0 0 1 0\n"},
    {"det_k_rounds_below_zero", "2 1 0 1 1.21 -0.33 0.09 0.05 0.05 0 0 1 0\n"},
    {"no_spring", "2 1 0.5 2 0 0 0 0.05 0.05 1 0 1 0\n"},
    {"free_mass_english", "1 386 0 772 0 0 100 0.05 0.05 2 0 1 0.5\n"},
    {"damping_as_percent", "1 386 0 772 200 -100 100 5 5 0 0 1 0\n"},
    {"growth_leaves_double_range", "2 1 0 1 2 -1 1e6 0.05 -20 0 0 1 1\n"},
    {"fourteen_answers", "1 386 0 0 772 200 -100 100 0.05 0.05 0 0 1 0\n"},
    // Each at the edge of one rule of the eigen-solution: det K rounding a hair off zero is
    // still a free mass; equal diagonals keep symmetric modes however close the frequencies;
    // a gap within the rounding of the data; K proportional to M, whose discriminant rounds
    // below zero; a lower root that must not pass the upper; a mode that leaves mass 2 at rest.
    {"det_k_rounds_sqrt2", "2 1 0 1 1 -1.4142135623730938 2 0.05 0.05 0 0 1 0\n"},
    {"symmetric_pair_close", "2 1.1 0 1.1 7 1e-13 7 0.05 0.05 0 0 1 0\n"},
    {"gap_within_rounding", "2 1 0 1 1 1e-14 1 0.05 0.05 0 0 1 0\n"},
    {"proportional_coupled", "2 1.53 0.32 4.75 3.825 0.8 11.875 -0.05 0.05 0 0 1 0\n"},
    {"lower_root_capped", "2 4.81 -0.69 1.18 57.72 -8.28 14.16 0.05 0.05 0 0 1 0\n"},
    {"mode_leaves_mass_2", "2 2.45 -2.45 3.5 73.5 -73.5 105 0.05 0.05 0 0 1 0\n"},
    // Uncoupled masses, either the softer: each mode moves one mass, the other printed 0.0000.
    {"uncoupled_mass_1_softer", "2 1 0 1 1 0 4 0 0 0 0 1 1\n"},
    {"uncoupled_mass_2_softer", "2 1 0 1 4 0 1 0 0 0 0 1 1\n"},
};

const char *const whole_examples[] = {"english_two_mass", "metric_identity"};
constexpr int random_count = 200;
constexpr std::uint64_t seed = 20261209;

std::vector<Case> generated_cases() {
    std::vector<Case> cases;
    for (const char *name : whole_examples) {
        Case c;
        c.name = name;
        c.answers = example_answers(std::string(name) + ".txt");
        c.whole = true;
        cases.push_back(c);
    }
    for (const auto &[name, text] : edge_cases) {
        Case c;
        c.name = name;
        c.answers = text;
        cases.push_back(c);
    }
    Draw g{{seed}};
    for (int i = 0; i < random_count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "random_%03d", i);
        Case c;
        c.name = name;
        c.answers = random_answers(g);
        cases.push_back(c);
    }
    return cases;
}

// ---- The stored set --------------------------------------------------------------------------

const std::string cases_path = golden_dir + "/cases.txt";

// cases.txt: comment lines start with '#'; a case line is tab-separated:
// name, whole (0 or 1), exit status, six digests separated by spaces, escaped answers.
std::vector<Case> stored_cases() {
    std::vector<Case> cases;
    std::istringstream in(read_file(cases_path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> field;
        std::size_t from = 0;
        for (int f = 0; f < 4; ++f) {
            const std::size_t tab = line.find('\t', from);
            field.push_back(line.substr(from, tab - from));
            from = tab == std::string::npos ? line.size() : tab + 1;
        }
        field.push_back(line.substr(from));
        Case c;
        c.name = field[0];
        c.whole = field[1] == "1";
        c.status = std::atoi(field[2].c_str());
        std::istringstream d(field[3]);
        for (std::string &x : c.digests) d >> x;
        c.answers = unescape(field[4]);
        cases.push_back(c);
    }
    return cases;
}

void write_set(const std::vector<Case> &cases, const std::vector<Outputs> &outs) {
    std::ofstream f(cases_path, std::ios::binary);
    f << "# Recorded runs: name, stored whole (1) or as digests (0), exit status, FNV-1a 64 digests\n"
         "# of console, stderr, pelmar.out, disp.out, velox.out, accel.out, then the answers typed.\n"
         "# Re-record with tools/record_golden.sh; never edit by hand.\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        f << cases[i].name << '\t' << (cases[i].whole ? 1 : 0) << '\t' << outs[i].status << '\t';
        for (int o = 0; o < 6; ++o) f << (o ? " " : "") << digest(outs[i].text[o]);
        f << '\t' << escape(cases[i].answers) << '\n';
        if (!cases[i].whole) continue;
        const std::string dir = golden_dir + "/" + cases[i].name;
        std::filesystem::create_directories(dir);
        for (int o = 0; o < 6; ++o) std::ofstream(dir + "/" + output_names[o], std::ios::binary) << outs[i].text[o];
    }
}

// Where two texts part: "line N: got '...', recorded '...'".
std::string first_difference(const std::string &got, const std::string &want) {
    std::istringstream g(got), w(want);
    std::string gl, wl;
    for (int line = 1;; ++line) {
        const bool more_g = static_cast<bool>(std::getline(g, gl));
        const bool more_w = static_cast<bool>(std::getline(w, wl));
        if (!more_g && !more_w) return "differs only in its last line end";
        if (!more_g || !more_w || gl != wl)
            return "line " + std::to_string(line) + ": got '" + (more_g ? gl : "<end>") + "', recorded '" +
                   (more_w ? wl : "<end>") + "'";
    }
}

TEST(Golden, EveryRecordedRunGivesTheSameBytes) {
    const bool recording = std::getenv("PELMAR_GOLDEN_RECORD") != nullptr;
    const std::vector<Case> stored = stored_cases();
    const std::vector<Case> cases = recording ? generated_cases() : stored;
    ASSERT_GE(cases.size(), 200u) << "no golden set at " << cases_path;

    std::vector<Outputs> outs;
    int changed = 0;
    for (const Case &c : cases) {
        outs.push_back(run_case(c.answers));
        const Outputs &o = outs.back();
        const Case *was = nullptr;
        for (const Case &s : stored)
            if (s.name == c.name && s.answers == c.answers) was = &s;
        std::vector<std::string> differs;
        if (was == nullptr) {
            differs.push_back("new or changed answers");
        } else {
            if (o.status != was->status)
                differs.push_back("exit status " + std::to_string(o.status) + ", recorded " +
                                  std::to_string(was->status));
            for (int f = 0; f < 6; ++f) {
                if (digest(o.text[f]) == was->digests[f]) continue;
                std::string why = std::string(output_names[f]) + " differs";
                if (was->whole)
                    why += ", " + first_difference(o.text[f], read_file(golden_dir + "/" + c.name + "/" + output_names[f]));
                differs.push_back(why);
            }
        }
        if (differs.empty()) continue;
        ++changed;
        std::string msg = c.name + " (answers '" + escape(c.answers) + "'):";
        for (const std::string &d : differs) msg += "\n    " + d;
        if (recording) std::printf("changed: %s\n", msg.c_str());
        else ADD_FAILURE() << msg;
    }
    if (recording) {
        write_set(cases, outs);
        std::printf("recorded %zu cases into %s; %d changed against the stored set\n", cases.size(),
                    cases_path.c_str(), changed);
    }
}

}  // namespace
