// The response-line writer against snprintf with response_line_format, byte for byte, on the
// values where decimal rounding is hard: ties, near-ties, powers of ten, extremes, all bit patterns.
#include "response/response.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Lines compared per test below; each line checks three values, one per field. The checks
// for the lone power-of-ten and extreme values come on top of this.
constexpr long random_lines = 1'200'000;
constexpr long boundary_lines = 1'200'000;
constexpr long tie_lines = 400'000;
constexpr long typical_lines = 600'000;
static_assert(3 * (random_lines + boundary_lines + tie_lines + typical_lines) >= 10'000'000,
              "at least ten million values are compared on every run");

double from_bits(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

double random_sign(Rng &r, double x) { return r.one_in(2) ? -x : x; }

// %a, and for a NaN also the bits, so that its payload shows.
std::string hexfloat(double x) {
    char b[64];
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    if (std::isnan(x)) std::snprintf(b, sizeof b, "%a (0x%016llx)", x, static_cast<unsigned long long>(u));
    else std::snprintf(b, sizeof b, "%a", x);
    return b;
}

std::string visible(const char *s, std::size_t n) {
    std::string o;
    for (std::size_t i = 0; i < n; ++i) o += s[i] == '\t' ? "\\t" : s[i] == '\n' ? "\\n" : std::string(1, s[i]);
    return o;
}

// Formats each line both ways and counts the differences; the first few are shown in full.
// It also checks that nothing is written past the returned end, and no NUL.
class Oracle {
public:
    void line(double t, double x1, double x2) {
        char want[128];
        const int n = std::snprintf(want, sizeof want, response_line_format, t, x1, x2);
        char got[response_line_max + 16];
        std::memset(got, '#', sizeof got);
        const char *end = format_response_line(got, t, x1, x2);
        bool ok = n > 0 && end - got == n && std::memcmp(got, want, std::size_t(n)) == 0;
        for (const char *p = end; ok && p < got + sizeof got; ++p) ok = *p == '#';
        if (ok) return;
        if (++mismatches_ <= 10)
            ADD_FAILURE() << "values " << hexfloat(t) << " " << hexfloat(x1) << " " << hexfloat(x2)
                          << "\n  snprintf: \"" << visible(want, std::size_t(n)) << "\""
                          << "\n  ours:     \"" << visible(got, std::size_t(end - got)) << "\"";
    }
    long mismatches() const { return mismatches_; }

private:
    long mismatches_ = 0;
};

// Nearest double to d.ddd..5 * 10^e10 with P digits before the 5: a rounding boundary of
// P significant digits (glibc's strtod rounds correctly). 0 or inf if outside the range.
double boundary(long digits, int p, int e10) {
    char s[48];
    std::snprintf(s, sizeof s, "%ld5e%d", digits, e10 - p);
    return std::strtod(s, nullptr);
}

// Random P-digit significand, the two ends (which carry into the exponent or sit on a power
// of ten) more often than their share.
long digits_for(Rng &r, int p) {
    const long lo = p == 6 ? 100000 : 10000;
    if (r.one_in(16)) return 10 * lo - 1;
    if (r.one_in(16)) return lo;
    return r.in(lo, 10 * lo - 1);
}

// Decimal exponents: the whole double range, and half of the time the working range of
// response values where a double's spacing is finest relative to the boundaries.
int exponent_for(Rng &r) { return r.one_in(2) ? int(r.in(-324, 308)) : int(r.in(-20, 20)); }

// Values at or beside a rounding boundary of P digits: the nearest double and its two
// neighbours on either side, handed out one at a time.
class BoundaryStream {
public:
    BoundaryStream(Rng &r, int p) : r_(r), p_(p) {}
    double next() {
        if (left_ == 0) refill();
        --left_;
        return random_sign(r_, buf_[left_]);
    }

private:
    void refill() {
        double c;
        do c = boundary(digits_for(r_, p_), p_, exponent_for(r_));
        while (c == 0 || std::isinf(c));
        buf_[0] = c;
        buf_[1] = std::nextafter(c, 0.0);
        buf_[2] = std::nextafter(buf_[1], 0.0);
        buf_[3] = std::nextafter(c, HUGE_VAL);
        buf_[4] = std::nextafter(buf_[3], HUGE_VAL);
        left_ = 5;
    }
    Rng &r_;
    int p_;
    double buf_[5] = {};
    int left_ = 0;
};

// A double that is exactly d.ddd..5 * 10^k at P digits, or one ulp beside it. Every such tie
// is (10D+5) * 10^j: for j >= 0 it is the integer (2D+1) 5^(j+1) times 2^j, representable
// while that odd factor stays below 2^53; for j < 0 it is odd / 2^i with odd * 5^i of P+1 digits.
double exact_tie(Rng &r, int p) {
    const long lo = p == 6 ? 100000 : 10000;
    double x = 0;
    while (x == 0) {
        if (r.one_in(2)) {
            const long d = digits_for(r, p);
            const int j = int(r.in(0, 16));
            std::uint64_t odd = std::uint64_t(2 * d + 1);
            bool fits = true;
            for (int i = 0; i <= j && fits; ++i) fits = (odd *= 5) < (std::uint64_t(1) << 53);
            if (fits) x = std::ldexp(double(odd), j);
        } else {
            const int i = int(r.in(1, 11));
            const std::uint64_t five_i = std::uint64_t(std::llround(std::pow(5.0, i)));
            const std::uint64_t first = (std::uint64_t(lo) * 10 + five_i - 1) / five_i;
            const std::uint64_t last = (std::uint64_t(lo) * 100 - 1) / five_i;
            if (last < first) continue;
            std::uint64_t odd = (first + r.next() % (last - first + 1)) | 1;
            if (odd > last) odd -= 2;
            if (odd >= first) x = std::ldexp(double(odd), -i);
        }
    }
    switch (r.next() % 4) {
        case 0: x = std::nextafter(x, 0.0); break;
        case 1: x = std::nextafter(x, HUGE_VAL); break;
        default: break;
    }
    return random_sign(r, x);
}

// The first field has 6 significant digits, the others 5; most values aimed at a field are
// made for its digit count, the rest for the other count.
int digits_aimed_at(Rng &r, int field) { return (field == 0) != r.one_in(4) ? 6 : 5; }

}  // namespace

// A few lines spelled out, so that the layout and the rounding rule are pinned down
// independently of the snprintf comparisons below.
TEST(ResponseLine, KnownLines) {
    const auto line = [](double t, double x1, double x2) {
        char b[response_line_max];
        return std::string(b, format_response_line(b, t, x1, x2));
    };
    EXPECT_EQ(line(0.0, -0.0, 1.5), "  0.00000e+00  \t -0.0000e+00 \t  1.5000e+00 \n");
    EXPECT_EQ(line(-0.125, 2.0 / 3.0, -1e-5), " -1.25000e-01  \t 6.6667e-01 \t  -1.0000e-05 \n");
    EXPECT_EQ(line(HUGE_VAL, std::nan(""), -std::nan("")),
              "          inf  \t        nan \t        -nan \n");
    EXPECT_EQ(line(-HUGE_VAL, DBL_TRUE_MIN, -DBL_MAX),
              "         -inf  \t 4.9407e-324 \t  -1.7977e+308 \n");
    EXPECT_EQ(line(DBL_TRUE_MIN, DBL_MIN, 1e300),
              " 4.94066e-324  \t 2.2251e-308 \t  1.0000e+300 \n");
    // Exact ties go to the even digit: 1.03125 -> 1.0312, 1.09375 -> 1.0938, 123455 -> 1.2346e5.
    EXPECT_EQ(line(1234565, 1.03125, 1.09375), "  1.23456e+06  \t 1.0312e+00 \t  1.0938e+00 \n");
    EXPECT_EQ(line(1234575, 123455, 123445), "  1.23458e+06  \t 1.2346e+05 \t  1.2344e+05 \n");
    // Rounding up into the next power of ten.
    EXPECT_EQ(line(999999.5, 99999.5, -9.99996e-100),
              "  1.00000e+06  \t 1.0000e+05 \t  -1.0000e-99 \n");
}

// Zeros, infinities, NaNs of either sign and with payloads, the ends of the subnormal and
// normal ranges, 3-digit exponents, in every combination of the three fields.
TEST(ResponseLine, ExtremesInEveryField) {
    const std::vector<double> v = {
        0.0, -0.0, HUGE_VAL, -HUGE_VAL, std::nan(""), -std::nan(""),
        from_bits(0x7ff0000000000001u), from_bits(0xfff0000000000001u),  // signalling NaNs
        from_bits(0x7ff8dead0000beefu), from_bits(0xffffffffffffffffu),
        DBL_TRUE_MIN, -DBL_TRUE_MIN, 2 * DBL_TRUE_MIN, 3 * DBL_TRUE_MIN, 1e-323,
        std::nextafter(DBL_MIN, 0.0), DBL_MIN, -DBL_MIN, std::nextafter(DBL_MIN, 1.0), 1e-320,
        1e-310, 1e-300, -1e-300, 1e-100, 1e-99, 1e99, 1e100, 1e300, -1e300,
        DBL_MAX, -DBL_MAX, std::nextafter(DBL_MAX, 0.0), 1.0, -1.0, 9.99995, 9.999995};
    Oracle o;
    for (double a : v)
        for (double b : v)
            for (double c : v) o.line(a, b, c);
    EXPECT_EQ(o.mismatches(), 0);
}

// Every power of ten a double can come near, with three neighbours on each side.
TEST(ResponseLine, PowersOfTenAndNeighbours) {
    Oracle o;
    for (int e = -325; e <= 309; ++e) {
        char s[16];
        std::snprintf(s, sizeof s, "1e%d", e);
        double x = std::strtod(s, nullptr);
        for (double dir : {0.0, HUGE_VAL}) {
            double y = x;
            for (int k = 0; k < 4; ++k, y = std::nextafter(y, dir)) {
                o.line(y, y, -y);
                o.line(-y, -y, y);
            }
        }
    }
    EXPECT_EQ(o.mismatches(), 0);
}

// `lines` lines whose fields are drawn by value(field), field 0 (time) to 2, in that order,
// each compared with snprintf.
template <class Draw>
void expect_drawn_lines_match(long lines, Draw value) {
    Oracle o;
    for (long i = 0; i < lines; ++i) {
        const double a = value(0), b = value(1);
        o.line(a, b, value(2));
    }
    EXPECT_EQ(o.mismatches(), 0);
}

// Raw 64-bit patterns: every exponent, NaN payloads, subnormals of every length.
TEST(ResponseLine, RandomBitPatterns) {
    Rng r{0x5eed0001};
    const auto value = [&r] {
        std::uint64_t u = r.next();
        switch (u & 15) {
            case 0:  // subnormal (of any length) or zero
                u = (u & 0x8000000000000000u) | ((u & 0x000fffffffffffffu) >> (u >> 56) % 53);
                break;
            case 1: u |= 0x7ff0000000000000u; break;                       // inf or NaN
            case 2: u = (u & 0x800fffffffffffffu) | (std::uint64_t((u >> 4) % 4) << 52); break;
            case 3: u = (u & 0x800fffffffffffffu) | (std::uint64_t(0x7fe - (u >> 4) % 4) << 52); break;
            default: break;
        }
        return from_bits(u);
    };
    expect_drawn_lines_match(random_lines, [&](int) { return value(); });
}

// Doubles nearest to a rounding boundary of 5 or 6 digits and their neighbours: here the
// true value sits within about 1e-10 of a half, where an approximate scaling goes wrong.
TEST(ResponseLine, NearDecimalRoundingBoundaries) {
    Rng r{0x5eed0002};
    BoundaryStream six(r, 6), five(r, 5);
    const auto value = [&](int field) { return digits_aimed_at(r, field) == 6 ? six.next() : five.next(); };
    expect_drawn_lines_match(boundary_lines, value);
}

// Exact decimal ties (rounded half to even on the exact binary value) and the doubles just
// beside them (rounded away from the tie).
TEST(ResponseLine, ExactTiesAndTheirNeighbours) {
    Rng r{0x5eed0003};
    const auto value = [&](int field) { return exact_tie(r, digits_aimed_at(r, field)); };
    expect_drawn_lines_match(tie_lines, value);
}

// What the program writes: a time column stepping by dt (multiplied out or summed) and two
// damped two-mode responses that decay through many decades down to about 1e-19.
TEST(ResponseLine, DecayingResponses) {
    Rng r{0x5eed0004};
    const double steps_of_dt[] = {1e-4, 2.5e-4, 5e-4, 1e-3, 2e-3, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25};
    Oracle o;
    constexpr long steps = 20'000;
    for (long run = 0; run < typical_lines / steps; ++run) {
        const double dt = r.one_in(4) ? r.unit() * 0.1 : steps_of_dt[r.next() % 11];
        const bool summed = r.one_in(2);
        double w[2], decay[2], amp[2][2], phase[2];
        for (int m = 0; m < 2; ++m) {
            w[m] = std::pow(10.0, -1 + 4 * r.unit());
            // Undamped now and then; otherwise down by 1e16..1e19 at the end of the run.
            decay[m] = r.one_in(5) ? 0.0 : std::log(10.0) * (16 + 3 * r.unit()) / (steps * dt);
            phase[m] = 6.283185307179586 * r.unit();
            for (int k = 0; k < 2; ++k) amp[m][k] = random_sign(r, std::pow(10.0, -6 + 9 * r.unit()));
        }
        double t = 0;
        for (long i = 0; i < steps; ++i) {
            if (!summed) t = double(i) * dt;
            double x[2] = {0, 0};
            for (int m = 0; m < 2; ++m) {
                const double q = std::exp(-decay[m] * t) * std::cos(w[m] * t + phase[m]);
                for (int k = 0; k < 2; ++k) x[k] += amp[m][k] * q;
            }
            o.line(t, x[0], x[1]);
            if (summed) t += dt;
        }
    }
    EXPECT_EQ(o.mismatches(), 0);
}

// The time field widened to 7 to 17 significant digits for records that six cannot resolve:
// random values over the whole range, the ends of the fast route (1e-290, 1e290), rounding
// boundaries of each digit count and their neighbours, and the special values.
TEST(ResponseLine, WiderTimeFieldsMatchPrintf) {
    Rng r{0x5eed0005};
    long mismatches = 0;
    const auto check = [&](double t, int decimals) {
        char want[64], got[response_line_max + 8];
        const int n = std::snprintf(want, sizeof want, " %12.*e  \t ", decimals, t);
        const char *end = format_response_time(got, t, decimals);
        if (end - got == n && std::memcmp(got, want, std::size_t(n)) == 0) return;
        if (++mismatches <= 10)
            ADD_FAILURE() << hexfloat(t) << " with " << decimals << " decimals\n  snprintf: \""
                          << visible(want, std::size_t(n)) << "\"\n  ours:     \""
                          << visible(got, std::size_t(end - got)) << "\"";
    };
    for (int decimals = 6; decimals <= 16; ++decimals) {
        for (double t : {0.0, -0.0, HUGE_VAL, std::nan(""), DBL_TRUE_MIN, DBL_MIN, DBL_MAX, 1e-290,
                         std::nextafter(1e-290, 0.0), 1e290, std::nextafter(1e290, HUGE_VAL), 9.9999999999995})
            check(t, decimals);
        for (long i = 0; i < 40'000; ++i) {
            if (r.one_in(2)) {
                check(std::pow(10.0, r.one_in(8) ? -320 + 628 * r.unit() : -6 + 12 * r.unit()), decimals);
                continue;
            }
            // d.ddd..5 with decimals + 1 digits before the 5, and one ulp to either side.
            char text[48];
            std::snprintf(text, sizeof text, "%d.%015llu5e%d", int(r.in(1, 9)),
                          static_cast<unsigned long long>(r.next() % 1000000000000000u), int(r.in(-8, 8)));
            text[2 + decimals] = '5';
            std::snprintf(text + 3 + decimals, sizeof text - 3 - std::size_t(decimals), "e%d", int(r.in(-8, 8)));
            const double b = std::strtod(text, nullptr);
            check(b, decimals);
            check(std::nextafter(b, 0.0), decimals);
            check(std::nextafter(b, HUGE_VAL), decimals);
            // Exact ties up to exponent 20: (10 D + 5) 10^j with D of decimals + 1 digits is
            // (2 D + 1) 5^(j+1) 2^j, a double while the odd factor stays below 2^53.
            std::uint64_t low = 1;
            for (int k = 0; k < decimals; ++k) low *= 10;
            std::uint64_t odd = 2 * (low + r.next() % (9 * low)) + 1;
            const int j = int(r.in(0, 6));
            bool fits = true;
            for (int k = 0; k <= j && fits; ++k) fits = (odd *= 5) < (std::uint64_t(1) << 53);
            if (!fits) continue;
            const double tie = std::ldexp(double(odd), j);
            check(tie, decimals);
            check(std::nextafter(tie, 0.0), decimals);
            check(std::nextafter(tie, HUGE_VAL), decimals);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// Whole runs of the program against the same program writing its lines with fprintf: the
// same steps, so all four files and the console must agree byte for byte. The models cover
// both unit systems, damped, undamped and growing motion.
TEST(ResponseFiles, SameBytesAsTheFprintfBuild) {
    const std::string models[] = {
        english_answers(),             // English, damped
        "1 500 -60 300 900 -350 420 0.02 0.15 3 -1 0.2 0.1\n", // English, coupled masses
        "2 1 0 1 2 -1 2 0 0 0 0 1 1\n",                        // metric, undamped cosine
        "2 2 0.3 1 3 -1 1 0.01 0.3 0.5 -0.25 0.01 -0.02\n",    // metric, coupled, unequal damping
        "2 1 0 1 1 -0.001 6.76e4 0.02 0.02 0 0 1 1\n",         // metric, 99 840 steps
        "2 1 0 1 1 -0.001 4e6 0.02 0.02 0 0 1 1\n",           // 768 000 steps: 7-digit times
        "2 1 0 1 1 0 4 0.05 0.05 0 0 1 1\n",                   // uncoupled: mode 1 from the second row
        "2 1 0 1 2 -1 2 1 0.5 0.1 0 1 0\n",                    // critical damping
        "2 1 0 1 2 -1 2 20 1.000001 0.1 0 1 0\n",              // overdamped, near critical
        "2 1 0 1 2 -1 2 -2 0.05 0 0 1 0\n",                    // negative damping: growing
    };
    for (const std::string &typed : models) {
        const RunResult fast = run_program(typed);
        const RunResult plain = run_program(typed, "", 60, PELMAR_FPRINTF_EXE);
        EXPECT_EQ(fast.status, 0) << typed;
        EXPECT_EQ(fast.out, plain.out) << typed;
        for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"}) {
            const std::string f = fast.file(name), p = plain.file(name);
            EXPECT_FALSE(p.empty()) << typed << name;
            EXPECT_TRUE(f == p) << typed << name << ": " << f.size() << " vs " << p.size() << " bytes";
        }
    }
}
