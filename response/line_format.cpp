// Fast writer of one response-file line, byte for byte what snprintf gives for response_line_format.
#include "response/response.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

// The line is " %12.5e  \t %10.4e \t  %10.4e \n" (response_line_format): the time with 6
// significant digits in a 12-wide field, then the two masses with 5 significant digits in
// 10-wide fields. printf rounds the exact binary value of each double to nearest, ties to
// even (in the default rounding mode, which this program never changes), so every value
// has exactly one right answer; this writer must give it without calling printf, because
// the time-history stage writes three such lines per step for about a million steps.
//
// Method, for a finite nonzero |x| = m * 2^q with m a 64-bit integer in [2^63, 2^64):
//   1. e10 = floor(log10 |x|) from the binary exponent and one comparison with 10^(e10+1).
//   2. S = |x| * 10^(P-1-e10) lies in [10^(P-1), 10^P). With 10^s stored as a 64-bit
//      mantissa c and a binary exponent, N = m * c is formed exactly in 128 bits, and
//      S = N / 2^sh: the integer part and the fraction are bit fields of N.
//   3. The P digits are round(S); S rounding up to 10^P carries into the exponent.
//
// Error bound. m is exact. Each c is 10^s correctly rounded to 64 bits, so c = 10^s (1 + eta)
// with |eta| <= 2^-64 (eta = 0 for 0 <= s <= 27, where 10^s fits). The product is exact, so
// the S we hold differs from the true S by at most S * 2^-64 < 10^6 * 2^-64 < 5.5e-14; the
// fraction is read as 64 bits, truncating at most another 2^-64. Rounding to nearest only
// changes its answer where the fraction crosses 1/2, so whenever our fraction is more than
// 2^-41 (about 4.5e-13, eight times the error) away from 1/2 the rounding is the exact one.
// Inside that band we do not guess: the value goes to std::to_chars, which converts the
// exact binary value and rounds ties to even just as printf does. The band holds the exact
// decimal ties (t = 12345.75 has to be rounded to 6 digits as a tie) and doubles within a
// few ulps of one, such as the double nearest 1234.565; a double drawn at random lands in it
// about once in a trillion times. The band is kept narrow because a time column stepping by
// a decimal dt meets such near-ties regularly once t needs more than six digits.
//
// Near a power of ten the comparison in step 1 can be wrong only for |x| within a relative
// 2^-64 of 10^(e10+1); then the S we hold is within 1e-13 of 10^P or of 10^(P-1), and both choices of
// e10 give the same digits "1.000..e(e10+1)", since such an S is far from any half.

namespace {

__extension__ typedef unsigned __int128 u128;

// 10^k ~= mant * 2^exp2 with mant in [2^63, 2^64), rounded to nearest.
struct Pow10 {
    std::uint64_t mant;
    int exp2;
};

constexpr int pow10_min = -330;  // below 10^-324, the smallest double (4.9e-324), with room
constexpr int pow10_max = 330;   // above 10^(6-1+324), the largest multiplier a subnormal needs
constexpr int pow10_count = pow10_max - pow10_min + 1;

struct Pow10Table {
    Pow10 p[pow10_count] = {};
    int carries = 0;  // roundings that carried into the next binade (checked to be none)
};

// Little-endian natural number of 32-bit limbs; only what the table build needs.
struct Big {
    static constexpr int limbs = 32;  // 1024 bits, room for 2^900
    std::uint32_t w[limbs] = {};

    constexpr int bit_length() const {
        for (int i = limbs - 1; i >= 0; --i)
            if (w[i] != 0) {
                int n = 32;
                while ((w[i] >> (n - 1)) == 0) --n;
                return 32 * i + n;
            }
        return 0;
    }
    constexpr bool bit(int i) const { return (w[i / 32] >> (i % 32)) & 1u; }
    constexpr bool any_below(int i) const {
        for (int j = 0; j < i; ++j)
            if (bit(j)) return true;
        return false;
    }
    constexpr std::uint64_t bits64(int lo) const {  // bits [lo, lo+64)
        std::uint64_t r = 0;
        for (int j = 63; j >= 0; --j) r = (r << 1) | std::uint64_t(bit(lo + j));
        return r;
    }
    constexpr void mul5() {
        std::uint64_t carry = 0;
        for (auto &x : w) {
            const std::uint64_t t = std::uint64_t(x) * 5 + carry;
            x = std::uint32_t(t);
            carry = t >> 32;
        }
    }
    constexpr void div5() {  // floor division; floor(floor(a/5)/5) = floor(a/25), so exact
        std::uint64_t rem = 0;
        for (int i = limbs - 1; i >= 0; --i) {
            const std::uint64_t cur = (rem << 32) | w[i];
            w[i] = std::uint32_t(cur / 5);
            rem = cur % 5;
        }
    }
};

// Rounds v * 2^scale to a 64-bit mantissa, to nearest even. inexact_tail says that v itself
// is already a truncation of the true value (true value strictly above v).
constexpr Pow10 round64(const Big &v, int scale, bool inexact_tail, int &carries) {
    const int len = v.bit_length();
    if (len <= 64) {
        std::uint64_t m = 0;
        for (int j = len - 1; j >= 0; --j) m = (m << 1) | std::uint64_t(v.bit(j));
        return {m << (64 - len), scale - (64 - len)};
    }
    std::uint64_t m = v.bits64(len - 64);
    const bool half = v.bit(len - 65);
    const bool sticky = inexact_tail || v.any_below(len - 65);
    int e = scale + len - 64;
    if (half && (sticky || (m & 1))) {
        if (++m == 0) {
            m = std::uint64_t(1) << 63;
            ++e;
            ++carries;
        }
    }
    return {m, e};
}

constexpr Pow10Table make_pow10_table() {
    Pow10Table t;
    Big five_k;  // 5^k exactly: 10^k = 5^k * 2^k
    five_k.w[0] = 1;
    for (int k = 0; k <= pow10_max; ++k) {
        t.p[k - pow10_min] = round64(five_k, k, false, t.carries);
        five_k.mul5();
    }
    constexpr int g = 900;  // 2^900 / 5^330 still has 130+ bits, far more than the 65 needed
    Big q;                  // floor(2^g / 5^k): 10^-k = 2^-k * (2^g / 5^k) * 2^-g
    q.w[g / 32] = std::uint32_t(1) << (g % 32);
    for (int k = 1; k <= -pow10_min; ++k) {
        q.div5();
        t.p[-k - pow10_min] = round64(q, -k - g, true, t.carries);
    }
    return t;
}

constexpr Pow10Table pow10_table = make_pow10_table();

constexpr const Pow10 &pow10(int k) { return pow10_table.p[k - pow10_min]; }

// floor(b * log10 2) for the binary exponents of doubles, by a fixed-point multiply
// (78913 / 2^18 just above log10 2). Right shift of a negative int is arithmetic in g++.
constexpr int floor_log10_pow2(int b) { return (b * 78913) >> 18; }

// What the formatter relies on, proven for the whole double range at compile time: the
// estimate from the leading bit 2^b is floor(log10 |x|) or one less, for every |x| in
// [2^b, 2^(b+1)), and 10^(estimate+1) and 10^(P-1-e10) are in the table. leading(k) is the
// exact leading-bit exponent of 10^k because no rounding carried into the next binade.
constexpr int leading(int k) { return pow10(k).exp2 + 63; }
constexpr bool exponent_estimate_holds() {
    for (int b = -1074; b <= 1023; ++b) {
        const int e = floor_log10_pow2(b);
        const bool low_ok = leading(e) < b || (e == 0 && b == 0);  // 10^e <= 2^b
        const bool high_ok = leading(e + 2) > b;                   // 2^(b+1) <= 10^(e+2)
        if (!low_ok || !high_ok || e + 1 > pow10_max || 5 - e > pow10_max || 4 - (e + 1) < pow10_min)
            return false;
    }
    return true;
}
static_assert(pow10_table.carries == 0, "a power of ten rounded into the next binade");
static_assert(pow10(0).mant == std::uint64_t(1) << 63 && pow10(0).exp2 == -63, "10^0");
static_assert(pow10(1).mant == 0xA000000000000000u && pow10(1).exp2 == -60, "10^1");
static_assert(pow10(-1).mant == 0xCCCCCCCCCCCCCCCDu && pow10(-1).exp2 == -67, "10^-1");
static_assert(pow10(22).mant == std::uint64_t(2384185791015625) << 12 && pow10(22).exp2 == 10,
              "10^22 = 5^22 * 2^22 exactly");
static_assert(exponent_estimate_holds(), "decimal exponent estimate");

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char *put2(char *p, unsigned v) {  // v < 100
    std::memcpy(p, digit_pairs + 2 * v, 2);
    return p + 2;
}

// Right-aligns len bytes of text in a field of width w (printf pads with spaces on the left
// and never truncates).
inline char *put_padded(char *p, int w, const char *text, int len) {
    for (int i = len; i < w; ++i) *p++ = ' ';
    std::memcpy(p, text, std::size_t(len));
    return p + len;
}

// The exact conversion, %W.(P-1)e, for values whose rounding is too close to call (see the
// bound above) and whatever else the fast routes leave out.
[[gnu::noinline, gnu::cold]] char *put_exact(char *p, double v, int P, int W) {
    char tmp[40];
    const std::to_chars_result r =
        std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::scientific, P - 1);
    return put_padded(p, W, tmp, int(r.ptr - tmp));
}

// inf and nan, as printf spells them: lower case, "-" for a set sign bit (also on a nan).
[[gnu::noinline]] char *put_special(char *p, int w, bool neg, bool nan) {
    const char *text = nan ? (neg ? "-nan" : "nan") : (neg ? "-inf" : "inf");
    return put_padded(p, w, text, neg ? 4 : 3);
}

// Steps 1 and 2 of a conversion to P significant digits, for |v| = m 2^q with m in
// [2^63, 2^64): the decimal exponent e10 and S = |v| 10^(P-1-e10), in about [10^(P-1), 10^P),
// as its integer part and its fraction times 2^64 (truncated).
struct Scaled {
    std::uint64_t ipart, frac64;
    int e10;
};
inline Scaled scale_to_digits(std::uint64_t m, int q, int P) {
    // Step 1: 10^est <= |v| < 10^(est+2); one comparison with 10^(est+1) settles e10. Both
    // candidate multipliers are loaded before the comparison is known.
    const int b = q + 63;
    const int est = floor_log10_pow2(b);
    const Pow10 up = pow10(est + 1);
    const Pow10 c_lo = pow10(P - 1 - est), c_hi = pow10(P - 2 - est);
    const int lead_up = up.exp2 + 63;
    const bool ge = (b > lead_up) | ((b == lead_up) & (m >= up.mant));
    const std::uint64_t c_mant = ge ? c_hi.mant : c_lo.mant;
    const int c_exp2 = ge ? c_hi.exp2 : c_lo.exp2;

    // Step 2: S * 2^sh = m * 10^(P-1-e10). N lies in [2^126, 2^128) and S in about
    // [10^(P-1), 10^P), so sh = 64 + s with s from 42 to 50 for 6 and 5 digits (27 to 47 for
    // 11 down to 7): the integer part is the high word shifted right by s, the 64-bit fraction
    // the bits below it.
    const u128 n = u128(m) * c_mant;
    const std::uint64_t hi = std::uint64_t(n >> 64), lo = std::uint64_t(n);
    const int s = -(q + c_exp2) - 64;
    return {hi >> s, (hi << (64 - s)) | (lo >> s), est + int(ge)};
}

// Whether a fraction (times 2^64) lies within 2^(band_log2 - 64) of one half, where the
// truncated S cannot tell which way printf rounds.
inline bool near_half(std::uint64_t frac64, int band_log2) {
    const std::uint64_t band = std::uint64_t(1) << band_log2;
    return frac64 - ((std::uint64_t(1) << 63) - band) <= 2 * band;
}

// "e+NN", or "e+NNN" from 10^100 on, as printf writes the exponent.
inline char *put_exponent(char *p, int e10) {
    p[0] = 'e';
    p[1] = e10 < 0 ? '-' : '+';
    p += 2;
    const unsigned ae = unsigned(e10 < 0 ? -e10 : e10);
    if (ae >= 100) *p++ = char('0' + ae / 100);
    return put2(p, ae % 100);
}

// One %W.(P-1)e field.
template <int P, int W>
inline char *put_number(char *p, double v) {
    static_assert(P == 5 || P == 6, "digit writer handles 5 or 6 significant digits");
    static_assert(W >= P + 5 && W <= P + 6, "at most one pad blank for finite values");
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool neg = (bits >> 63) != 0;
    const unsigned biased = unsigned(bits >> 52) & 0x7ffu;
    const std::uint64_t frac = bits & 0x000fffffffffffffu;
    if (__builtin_expect(biased == 0x7ff, 0)) return put_special(p, W, neg, frac != 0);

    std::uint64_t m;  // |v| = m * 2^q, m in [2^63, 2^64)
    int q;
    if (__builtin_expect(biased != 0, 1)) {
        m = (frac | (std::uint64_t(1) << 52)) << 11;
        q = int(biased) - 1075 - 11;
    } else if (frac != 0) {  // subnormal: normalise the mantissa
        const int lz = __builtin_clzll(frac);
        m = frac << lz;
        q = -1074 - lz;
    } else {
        const char *text = P == 6 ? "-0.00000e+00" : "-0.0000e+00";
        return put_padded(p, W, text + !neg, P + 5 + neg);
    }

    Scaled sc = scale_to_digits(m, q, P);
    int e10 = sc.e10;

    // Within 2^-41 of one half: hand over to the exact conversion.
    if (__builtin_expect(near_half(sc.frac64, 23), 0)) return put_exact(p, v, P, W);

    // Step 3: round, carrying 10^P into the exponent.
    constexpr unsigned lead_unit = P == 6 ? 100000u : 10000u;
    unsigned d = unsigned(sc.ipart) + unsigned(sc.frac64 >> 63);
    if (__builtin_expect(d == 10 * lead_unit, 0)) {
        d = lead_unit;
        ++e10;
    }

    const unsigned ae = unsigned(e10 < 0 ? -e10 : e10);
    const bool wide = ae >= 100;
    if constexpr (W > P + 5) {  // the single pad blank, dropped for a sign or a 3-digit exponent
        *p = ' ';
        p += int(!(neg | wide));
    }
    *p = '-';
    p += int(neg);

    // Digits by fixed point: y = d / 10^(P-1) with 40 fraction bits, the multiplier rounded
    // up, then digits peeled off the top (fraction times 100 or 10, integer part out). The
    // excess of y is below d * 2^-40 < 10^6 * 2^-40 < 1e-6 of the leading digit; peeling
    // scales it by 10^(P-1) <= 1e5, so at the last digit it is still under 0.1 of a unit and
    // never reaches the next integer: every digit is exact.
    constexpr std::uint64_t mask40 = (std::uint64_t(1) << 40) - 1;
    constexpr std::uint64_t scale = ((std::uint64_t(1) << 40) + lead_unit - 1) / lead_unit;
    std::uint64_t y = std::uint64_t(d) * scale;
    p[0] = char('0' + (y >> 40));
    p[1] = '.';
    y = (y & mask40) * 100;
    std::memcpy(p + 2, digit_pairs + 2 * (y >> 40), 2);
    y = (y & mask40) * 100;
    std::memcpy(p + 4, digit_pairs + 2 * (y >> 40), 2);
    if constexpr (P == 6) {
        y = (y & mask40) * 10;
        p[6] = char('0' + (y >> 40));
    }
    return put_exponent(p + P + 1, e10);
}

// A time with more than six significant digits, %12.(P-1)e, for a record whose steps six
// digits cannot tell apart. Finite nonzero values from 1e-290 to 1e290 with P up to 11 take
// the same exact-integer route as above, with the band widened to the larger error: S is
// below 10^11, so the S we hold is within 10^11 * 2^-63 < 2^-26 of the true S, and a
// fraction within 2^-23 of one half goes to std::to_chars. Anything else (zero, inf, nan,
// more digits, the far ends of the range) goes there directly: exact, only slower. With at
// least 7 digits the text is 12 characters or more, so the field never pads.
[[gnu::noinline]] char *put_wide_time(char *p, double v, int P) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool neg = (bits >> 63) != 0;
    const unsigned biased = unsigned(bits >> 52) & 0x7ffu;
    if (biased == 0x7ff) return put_special(p, 12, neg, (bits & 0x000fffffffffffffu) != 0);
    const double a = neg ? -v : v;
    if (P > 11 || !(a >= 1e-290 && a <= 1e290)) return put_exact(p, v, P, 12);
    const std::uint64_t m = ((bits & 0x000fffffffffffffu) | (std::uint64_t(1) << 52)) << 11;
    const Scaled sc = scale_to_digits(m, int(biased) - 1075 - 11, P);
    if (near_half(sc.frac64, 41)) return put_exact(p, v, P, 12);
    std::uint64_t top = 1;
    for (int i = 1; i < P; ++i) top *= 10;  // 10^(P-1)
    std::uint64_t d = sc.ipart + (sc.frac64 >> 63);
    int e10 = sc.e10;
    if (d == 10 * top) {
        d = top;
        ++e10;
    }
    *p = '-';
    p += int(neg);
    char digits[12];
    for (int i = P - 1; i >= 0; --i, d /= 10) digits[i] = char('0' + d % 10);
    p[0] = digits[0];
    p[1] = '.';
    std::memcpy(p + 2, digits + 1, std::size_t(P - 1));
    return put_exponent(p + P + 1, e10);
}

}  // namespace

// " %12.5e  \t " : the time field and the separator after it, the same in all three files.
char *format_response_time(char *out, double t) {
    char *p = out;
    *p++ = ' ';
    p = put_number<6, 12>(p, t);
    std::memcpy(p, "  \t ", 4);
    return p + 4;
}

// " %12.*e  \t " with `decimals` digits after the point; 5 is the line above.
char *format_response_time(char *out, double t, int decimals) {
    if (decimals == 5) return format_response_time(out, t);
    char *p = out;
    *p++ = ' ';
    p = put_wide_time(p, t, decimals + 1);
    std::memcpy(p, "  \t ", 4);
    return p + 4;
}

// Whether consecutive times s dt print differently with `decimals` digits after the point.
// Printed times are spaced 10^(e - decimals) in the decade [10^e, 10^(e+1)); where that is
// below dt by more than rounding can reach (the doubles s dt and (s+1) dt are at least
// dt - ulp apart), no two steps meet. Only the decades at and above the first where the spacing reaches dt need a look,
// and there each pair of neighbours is formatted and compared, starting two steps early for
// a time that rounds up into that decade. A clash, if any, comes within a few steps unless
// dt lies a hair below the spacing.
static bool times_distinct(double dt, std::int32_t steps, int decimals) {
    // An ulp of a time in a safe decade is below 2^-52 10^(decimals+1) dt.
    const double safe = dt * (1.0 - 1e-15 * std::pow(10.0, decimals + 1));
    int e = 0;
    while (std::pow(10.0, e - decimals) < safe) ++e;
    while (e > -330 && std::pow(10.0, e - 1 - decimals) >= safe) --e;
    const double first = std::pow(10.0, e) / dt - 2.0;
    if (!(first < static_cast<double>(steps) - 1.0)) return true;
    std::int32_t s = first > 0.0 ? static_cast<std::int32_t>(first) : 0;
    char a[response_line_max], b[response_line_max];
    char *prev = a, *next = b;
    std::size_t prev_len =
        static_cast<std::size_t>(format_response_time(prev, static_cast<double>(s) * dt, decimals) - prev);
    for (++s; s < steps; ++s) {
        const std::size_t len =
            static_cast<std::size_t>(format_response_time(next, static_cast<double>(s) * dt, decimals) - next);
        if (len == prev_len && std::memcmp(prev, next, len) == 0) return false;
        std::swap(prev, next);
        prev_len = len;
    }
    return true;
}

int response_time_decimals(double dt, std::int32_t steps) {
    if (steps < 2 || !(dt > 0.0) || !std::isfinite(dt)) return 5;
    int decimals = 5;
    // 17 significant digits tell any two doubles apart, and s dt grows with s.
    while (decimals < 16 && !times_distinct(dt, steps, decimals)) ++decimals;
    return decimals;
}

// "%10.4e \t  %10.4e \n" : the two masses and the line end.
char *format_response_values(char *out, double x1, double x2) {
    char *p = put_number<5, 10>(out, x1);
    std::memcpy(p, " \t  ", 4);
    p = put_number<5, 10>(p + 4, x2);
    std::memcpy(p, " \n", 2);
    return p + 2;
}

char *format_response_line(char *out, double t, double x1, double x2) {
    // " %12.5e  \t %10.4e \t  %10.4e \n"
    return format_response_values(format_response_time(out, t), x1, x2);
}
