// Damped free vibration of both masses by modal superposition, written step by step.
#include "response/response.h"

#include "frame/frame.h"

#include <chrono>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

// The time grid. Thirty-two steps per period of the higher mode draw its sine smoothly and
// catch each peak to within 0.5 % (a sample is at most half a step, pi/32 rad, from the crest:
// 1 - cos(pi/32) = 0.0048). Twelve periods of the lower mode show the beating of the two
// modes and the decay of the damped motion. The record therefore has 32 * 12 = 384 steps per
// unit of frequency ratio omega2/omega1.
static constexpr long double steps_per_higher_period = 32.0L;
static constexpr long double lower_periods_shown = 12.0L;

// One writer per response file, fixed in size, so memory does not depend on the step count.
static ResponseWriter writers[3];

// Number of whole steps in the quotient dur/dt, or 0 with rec.fault set when the quotient is
// not a finite number that fits a 32-bit count (frequencies about 1e8 apart and beyond):
// converting such a value to an integer would be undefined behaviour.
static std::int32_t step_count(long double quotient) {
    if (std::isfinite(quotient) && quotient > -2147483649.0L && quotient < 2147483648.0L)
        return static_cast<std::int32_t>(quotient);
    static char why[160];
    std::snprintf(why, sizeof why, "the natural frequencies are too far apart: %.3Le steps exceed a 32-bit "
                                   "step count, so no time history can be written", quotient);
    rec.fault = why;
    return 0;
}

// Free space on the file system of the current folder in bytes, or -1 when it cannot be told.
static double free_space_here() {
#ifdef _WIN32
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExA(".", &avail, nullptr, nullptr)) return -1.0;
    return static_cast<double>(avail.QuadPart);
#else
    struct statvfs fs;
    if (statvfs(".", &fs) != 0) return -1.0;
    return static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
#endif
}

// A size for people: "517 MB", "5.1 GB".
static void size_text(char (&out)[32], double bytes) {
    if (bytes >= 1e10) std::snprintf(out, sizeof out, "%.0f GB", bytes / 1e9);
    else if (bytes >= 1e9) std::snprintf(out, sizeof out, "%.1f GB", bytes / 1e9);
    else if (bytes >= 1e7) std::snprintf(out, sizeof out, "%.0f MB", bytes / 1e6);
    else std::snprintf(out, sizeof out, "%.1f MB", bytes / 1e6);
}

// Bytes of the three response files. A line is the time field, two value fields and the
// separators; a value takes one byte more when negative, which a vibration is about half the
// time, so each line is counted with one minus sign. Lines end in CR LF on Windows.
static double response_bytes(std::int32_t steps, int time_decimals) {
    const int time_field = time_decimals + 6 > 12 ? time_decimals + 6 : 12;
#ifdef _WIN32
    const int line_end = 3;
#else
    const int line_end = 2;
#endif
    const int line = 1 + time_field + 4 + 10 + 4 + 10 + line_end + 1;
    return 3.0 * static_cast<double>(steps) * line;
}

// Progress of a long history on a terminal: one line on stderr, rewritten in place.
struct Progress {
    bool terminal = false;
    bool shown = false;
    int width = 0;  // characters of the line last shown
    std::chrono::steady_clock::time_point start;
};

// Columns of the terminal on stderr, 80 when it does not say. The line stays one column short
// of it: a line that fills or wraps the last column leaves rows that \r cannot rewrite.
static int terminal_columns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize size {};
    if (ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return 80;
}

static void show_progress(Progress &p, std::int32_t s, std::int32_t steps) {
    if (!p.shown && std::chrono::steady_clock::now() - p.start < std::chrono::seconds(1)) return;
    p.shown = true;
    std::uint64_t bytes = 0;
    for (const ResponseWriter &w : writers) bytes += w.written + w.used;
    char size[32];
    size_text(size, static_cast<double>(bytes));
    char line[128];
    const int percent = static_cast<int>(100.0 * s / steps);
    const int room = terminal_columns() - 1;
    int width = std::snprintf(line, sizeof line, " pelmar_initial: writing the time history: %3d %%, %s written",
                              percent, size);
    // A narrow terminal gets the figures alone, cut if even they do not fit.
    if (width > room) width = std::snprintf(line, sizeof line, " writing: %3d %%, %s", percent, size);
    if (width > room) width = room > 0 ? room : 0;
    // Spaces over what a longer earlier line left.
    std::fprintf(stderr, "\r%.*s%*s", width, line, p.width > width ? p.width - width : 0, "");
    p.width = width;
    std::fflush(stderr);
}

void time_history() {
    // 1. Time grid. Each expression is carried in extended precision and rounded when stored.
    // That gives 384 r steps for most whole frequency ratios r where doubles would give one
    // fewer (ratio 4: 1536, not 1535), but not for all: r = 11, 17, 21, 22, 25, 27, 29 and 34
    // (frequencies exactly 1 and r) still give 384 r - 1. The count is the truncated quotient
    // either way, so the last step always lies within twelve lower periods.
    // A rigid-body mode (zero frequency: a free mass, or two masses joined only to each other)
    // has no period: the record then spans twelve periods of the elastic mode instead. A
    // duration asked for on the command line replaces either; the step stays, so the record's
    // first lines are those of the default one.
    const bool rigid = rec.omega[0] == 0.0, asked = rec.duration > 0.0;
    rec.dt = static_cast<double>((1.0L / (static_cast<long double>(rec.omega[1]) / rec.tpi)) /
                                 steps_per_higher_period);
    rec.dur = asked ? rec.duration
                    : static_cast<double>(lower_periods_shown /
                                          (static_cast<long double>(rec.omega[rigid ? 1 : 0]) / rec.tpi));
    std::int32_t steps = step_count(static_cast<long double>(rec.dur) / rec.dt);
    if (rec.fault != nullptr) return;
    if (steps == 0) steps = 1;  // a duration asked for shorter than one step: the release state
    rec.steps = steps;
    if (rigid)
        std::fprintf(stderr, "pelmar_initial: mode 1 is a rigid-body motion (zero frequency): it drifts at its "
                             "initial modal velocity, undamped%s\n",
                     asked ? "" : ", and the record spans twelve periods of mode 2");
    // Six significant digits of time, unless consecutive steps would then print the same time.
    rec.time_decimals = response_time_decimals(rec.dt, steps);

    // A long record is announced, and refused when the disk cannot hold it: better now, with
    // the earlier files intact, than after filling the disk.
    if (steps > 1000000) {
        const double bytes = response_bytes(steps, rec.time_decimals);
        char size[32];
        size_text(size, bytes);
        std::fprintf(stderr, "pelmar_initial: the time history has %ld steps; the three response files "
                             "take about %s\n", static_cast<long>(steps), size);
        const double free_bytes = free_space_here();
        if (free_bytes >= 0.0 && free_bytes < bytes) {
            char room[32];
            size_text(room, free_bytes);
            std::fprintf(stderr, "pelmar_initial: the response files need about %s but only %s is free "
                                 "here; nothing was written and the earlier results are kept\n", size, room);
            abandon_output_files();
            rec.output_abandoned = true;
            return;
        }
    }

    // 2-5. Each mass-normalised mode is a unit-mass oscillator with its own damping. Because
    // P^T M P = I, the modal initial state is exactly P^T M di and P^T M vi.
    // Below critical damping: damped frequency wd, decay rate sigma, and their squares.
    double wd[2] = {}, sigma[2] = {}, sigma_sq[2] = {}, wd_sq[2] = {}, A[2] = {}, B[2] = {};
    double mdi[2], mvi[2];
    // A mode damped at or above critical does not oscillate: x = c1 e^(s1 t) + c2 e^(s2 t) with
    // the real roots s1 = -sigma + mu (slow) and s2 = -sigma - mu (fast), mu = omega sqrt(zeta^2 - 1).
    // Written as x = e^(s1 t) (A + B g(t)), B = V - s1 A, g = (1 - e^(-2 mu t)) / (2 mu): both
    // exponentials decay, so nothing overflows at zeta = 20, and g comes from expm1, so near
    // zeta = 1, where c1 and c2 grow without bound and cancel, nothing is lost. At zeta = 1,
    // g = t: the critically damped (A + B t) e^(-omega t). A ratio at or below -1 (a mode fed
    // energy faster than critical) has two positive roots; the same form holds with s1 the
    // larger, s1 = omega (|zeta| + root), s2 = omega / (|zeta| + root).
    // A rigid-body mode (omega = 0) drifts: q = A + V t, undamped whatever ratio was typed,
    // since modal damping 2 zeta omega vanishes with omega. Its V is kept in B.
    bool aperiodic[2] = {false, false}, drifts[2] = {false, false};
    double s1[2] = {}, s2[2] = {}, two_mu[2] = {};
    for (int i = 0; i < 2; ++i) {
        mdi[i] = rec.m[i][0] * rec.di[0] + rec.m[i][1] * rec.di[1];
        mvi[i] = rec.m[i][0] * rec.vi[0] + rec.m[i][1] * rec.vi[1];
    }
    for (int r = 0; r < 2; ++r) {
        A[r] = rec.vectorT[r][0] * mdi[0] + rec.vectorT[r][1] * mdi[1];
        const double V = rec.vectorT[r][0] * mvi[0] + rec.vectorT[r][1] * mvi[1];
        drifts[r] = rec.omega[r] == 0.0;
        aperiodic[r] = rec.physical && std::fabs(rec.damp[r]) >= 1.0;
        if (drifts[r]) {
            B[r] = V;
        } else if (aperiodic[r]) {
            const double zeta = std::fabs(rec.damp[r]), w = rec.omega[r];
            const double root = std::sqrt(zeta - 1.0) * std::sqrt(zeta + 1.0);  // sqrt(zeta^2 - 1), no cancellation
            // -sigma + mu and -sigma - mu without subtracting nearly equal numbers.
            s1[r] = rec.damp[r] > 0.0 ? -w / (zeta + root) : w * (zeta + root);
            s2[r] = rec.damp[r] > 0.0 ? -w * (zeta + root) : w / (zeta + root);
            two_mu[r] = 2.0 * w * root;
            B[r] = V - s1[r] * A[r];
        } else {
            wd[r] = rec.omega[r] * std::sqrt(1.0 - std::pow(rec.damp[r], 2.0));
            sigma[r] = rec.damp[r] * rec.omega[r];
            sigma_sq[r] = std::pow(sigma[r], 2.0);
            wd_sq[r] = std::pow(wd[r], 2.0);
            B[r] = (sigma[r] * A[r] + V) / wd[r];
        }
    }

    for (int f = 0; f < 3; ++f) writer_open(writers[f], rec.pFile[f + 1], rec.time_decimals);
    // The largest |value| of each file and mass, from the very doubles written: the report's
    // peaks then agree with the files to the last printed digit. A nan never counts.
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 2; ++i) {
            rec.peak[f][i] = -1.0;
            rec.peak_step[f][i] = 0;
        }
    Progress progress;
#ifdef _WIN32
    progress.terminal = _isatty(_fileno(stderr)) != 0;
#else
    progress.terminal = isatty(fileno(stderr)) != 0;
#endif
    progress.start = std::chrono::steady_clock::now();

    // 6. Each step in closed form at t = s dt: no running sum, so no drift over long records.
    for (std::int32_t s = 0; s < steps; ++s) {
        const double t = static_cast<double>(s) * rec.dt;
        double x[2], v[2], acc[2];
        for (int r = 0; r < 2; ++r) {
            if (drifts[r]) {
                x[r] = A[r] + B[r] * t;
                v[r] = B[r];
                acc[r] = 0.0;
                continue;
            }
            if (aperiodic[r]) {
                const double E1 = std::exp(s1[r] * t), BE2 = B[r] * std::exp(s2[r] * t);
                const double g = two_mu[r] > 0.0 ? -std::expm1(-two_mu[r] * t) / two_mu[r] : t;
                x[r] = E1 * (A[r] + B[r] * g);
                v[r] = s1[r] * x[r] + BE2;
                acc[r] = s1[r] * v[r] + s2[r] * BE2;
                continue;
            }
            const double C = std::cos(wd[r] * t);
            const double S = std::sin(wd[r] * t);
            const double E = std::exp(-sigma[r] * t);
            x[r] = (A[r] * C + B[r] * S) * E;
            const double W = wd[r] * E * (-A[r] * S + B[r] * C);
            v[r] = -sigma[r] * x[r] + W;
            // Second derivative of x: each mode obeys x'' + 2 zeta omega x' + omega^2 x = 0.
            acc[r] = sigma_sq[r] * x[r] - 2.0 * sigma[r] * W - wd_sq[r] * x[r];
        }
        // Back to the masses: x = P q. English accelerations in G: in/sec^2 divided by 386.
        const double(&P)[2][2] = rec.vector;
        const double lines[3][2] = {
            {P[0][0] * x[0] + P[0][1] * x[1], P[1][0] * x[0] + P[1][1] * x[1]},
            {P[0][0] * v[0] + P[0][1] * v[1], P[1][0] * v[0] + P[1][1] * v[1]},
            {(P[0][0] * acc[0] + P[0][1] * acc[1]) / rec.mscale,
             (P[1][0] * acc[0] + P[1][1] * acc[1]) / rec.mscale}};
        // A growing mode (negative damping) may leave double range: the files would then hold
        // inf and nan, which no result may. The record stops there and the run writes nothing.
        bool finite = true;
        for (int f = 0; f < 3; ++f)
            for (int i = 0; i < 2; ++i) {
                const double size = std::fabs(lines[f][i]);
                finite &= size <= DBL_MAX;  // false for inf and nan
                if (size > rec.peak[f][i]) {
                    rec.peak[f][i] = size;
                    rec.peak_step[f][i] = s;
                }
            }
        if (!finite) {
            static char why[160];
            std::snprintf(why, sizeof why, "the response grows beyond double range at t = %.6g sec (a negative "
                                           "damping ratio), so its history cannot be written", t);
            rec.fault = why;
            break;
        }
        writer_step(writers, t, lines);
        // The clock is read once per 65536 steps, and only when someone may be watching.
        if ((s & 0xffff) == 0xffff && progress.terminal) show_progress(progress, s, steps);
    }
    if (progress.shown) {
        std::fprintf(stderr, "\r%*s\r", progress.width, "");
        std::fflush(stderr);
    }

    for (int f = 0; f < 3; ++f) {
        writer_flush(writers[f]);
        if (writers[f].error != 0) note_write_error(f + 1, writers[f].error);
    }
}
