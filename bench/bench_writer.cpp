// Benchmark: the response-file writer against plain fprintf, alone and inside the whole program.
#include "response/response.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string temp_dir() {
    std::string templ = "/tmp/pelmar_bench_XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) std::exit(2);
    return templ;
}

long file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

void remove_run(const std::string &dir) {
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out", "answers"})
        std::remove((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

// Seven values per step, the time and two masses for each of the three files, shaped like a
// real record: two decaying modes superposed.
struct Steps {
    std::vector<double> v;
    explicit Steps(long n) : v(static_cast<std::size_t>(n) * 7) {
        const double dt = 1.2e-4;
        for (long s = 0; s < n; ++s) {
            const double t = static_cast<double>(s) * dt;
            const double x1 = std::exp(-0.02 * t) * std::cos(1.0 * t);
            const double x2 = std::exp(-0.5 * t) * std::cos(2600.0 * t) * 1e-3;
            double *p = &v[static_cast<std::size_t>(s) * 7];
            p[0] = t;
            p[1] = x1 + x2, p[2] = x1 - x2;
            p[3] = -x1 * 0.7 + x2 * 2600, p[4] = x1 * 0.3 - x2 * 2600;
            p[5] = -x1 - x2 * 6.76e6, p[6] = -x1 + x2 * 6.76e6;
        }
    }
};

// Writes the steps to three files in dir, with the project's writer or with fprintf.
// `time_decimals` above 5 is the wider time column of a record that six digits cannot resolve.
double write_steps(const Steps &st, long n, const std::string &dir, bool fast, int time_decimals = 5) {
    const char *names[3] = {"/disp.out", "/velox.out", "/accel.out"};
    std::FILE *f[3];
    for (int i = 0; i < 3; ++i) f[i] = std::fopen((dir + names[i]).c_str(), "w");
    static ResponseWriter w[3];
    const Clock::time_point start = Clock::now();
    if (fast) {
        for (int i = 0; i < 3; ++i) writer_open(w[i], f[i], time_decimals);
        for (long s = 0; s < n; ++s) {
            // The program's own path: one call a step, the time formatted once for three lines.
            const double *p = &st.v[static_cast<std::size_t>(s) * 7];
            const double values[3][2] = {{p[1], p[2]}, {p[3], p[4]}, {p[5], p[6]}};
            writer_step(w, p[0], values);
        }
        for (int i = 0; i < 3; ++i) writer_flush(w[i]);
    } else {
        for (long s = 0; s < n; ++s) {
            const double *p = &st.v[static_cast<std::size_t>(s) * 7];
            std::fprintf(f[0], response_line_format, p[0], p[1], p[2]);
            std::fprintf(f[1], response_line_format, p[0], p[3], p[4]);
            std::fprintf(f[2], response_line_format, p[0], p[5], p[6]);
        }
    }
    for (int i = 0; i < 3; ++i) std::fclose(f[i]);
    return seconds_since(start);
}

struct Run {
    double seconds = 0;
    long peak_kib = 0;
    long bytes = 0;
    long lines = 0;
    long letters_n = 0;  // 'n' appears in a response line only as part of nan or inf
};

// Adds the lines and the letters 'n' of one response file to r.
void scan(const std::string &path, Run &r, bool count_lines) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    static char buf[1 << 16];
    std::size_t got;
    while (f && (got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (count_lines) r.lines += std::count(buf, buf + got, '\n');
        r.letters_n += std::count(buf, buf + got, 'n');
    }
    if (f) std::fclose(f);
}

// Runs a program on the given answers in a fresh directory, timing it and reading its peak
// resident memory from the kernel's accounting of the finished child.
Run run_program(const char *exe, const std::string &typed) {
    const std::string dir = temp_dir();
    {
        std::FILE *a = std::fopen((dir + "/answers").c_str(), "w");
        std::fputs(typed.c_str(), a);
        std::fclose(a);
    }
    Run r;
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        const int in = open("answers", O_RDONLY), out = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        execl(exe, exe, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    r.seconds = seconds_since(start);
    r.peak_kib = ru.ru_maxrss;
    r.bytes = file_size(dir + "/disp.out") + file_size(dir + "/velox.out") + file_size(dir + "/accel.out");
    for (const char *name : {"/disp.out", "/velox.out", "/accel.out"})
        scan(dir + name, r, name[1] == 'd');
    remove_run(dir);
    return r;
}

Run best_of(int repeats, const char *exe, const std::string &typed) {
    Run best;
    for (int i = 0; i < repeats; ++i) {
        const Run r = run_program(exe, typed);
        if (i == 0 || r.seconds < best.seconds) best = r;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 3;

    // 1. The whole program on M = I, K = [[1, -0.001], [-0.001, k22]], damping 0.02 in both
    // modes, released from di = (1, 1): a soft mass weakly tied to a stiff one, frequencies 1
    // and about sqrt(k22) rad/sec. The step count is 384 times the frequency ratio, 99,840 and
    // 998,400 lines; every value must be a finite number, or the figures would time the
    // writing of nan.
    // Run first, while this process is small: a child's peak resident memory includes the
    // pages it shared with this process before exec.
    std::printf("Whole program, best of %d (wall time including the dialogue and the report):\n", repeats);
    std::printf("  %9s %9s | %9s %11s %8s %9s | %9s %9s | %6s\n", "steps", "MB", "project s", "steps/s",
                "MB/s", "peak KiB", "fprintf s", "peak KiB", "ratio");
    for (const char *k22 : {"67600", "6.76e6"}) {
        const std::string typed = std::string("2 1 0 1 1 -0.001 ") + k22 + " 0.02 0.02 0 0 1 1\n";
        const Run a = best_of(repeats, PELMAR_EXE, typed);
        const Run b = best_of(repeats, PELMAR_FPRINTF_EXE, typed);
        const double mbytes = static_cast<double>(a.bytes) / 1e6;
        std::printf("  %9ld %9.1f | %9.3f %11.0f %8.1f %9ld | %9.3f %9ld | %6.2f\n", a.lines, mbytes,
                    a.seconds, a.lines / a.seconds, mbytes / a.seconds, a.peak_kib, b.seconds,
                    b.peak_kib, b.seconds / a.seconds);
        if (a.bytes != b.bytes) std::printf("  (the two programs wrote different sizes: %ld vs %ld bytes)\n", a.bytes, b.bytes);
        const long expected_lines = std::string(k22) == "67600" ? 99840 : 998400;
        if (a.lines != expected_lines || a.letters_n != 0 || b.letters_n != 0)
            std::printf("  (NOT A VALID MEASUREMENT: %ld lines where %ld belong, nan or inf in %s)\n", a.lines,
                        expected_lines, a.letters_n + b.letters_n != 0 ? "the files" : "no file");
    }
    const Run floor = run_program("/bin/true", "");
    std::printf("  (peak KiB of /bin/true launched the same way, the floor of that column: %ld)\n\n",
                floor.peak_kib);

    // 2. The writer alone on the same precomputed steps.
    const long n = 1000000;
    const Steps st(n);
    const std::string dir = temp_dir();
    double fast = 1e300, plain = 1e300, wide = 1e300;
    for (int i = 0; i < repeats; ++i) {
        fast = std::fmin(fast, write_steps(st, n, dir, true));
        plain = std::fmin(plain, write_steps(st, n, dir, false));
        wide = std::fmin(wide, write_steps(st, n, dir, true, 6));
    }
    const double mb = static_cast<double>(file_size(dir + "/disp.out") + file_size(dir + "/velox.out") +
                                          file_size(dir + "/accel.out")) / 1e6;
    remove_run(dir);
    std::printf("Writer alone, %ld steps (3 lines each, %.1f MB), best of %d:\n", n, mb, repeats);
    std::printf("  project writer: %8.3f s  %10.0f steps/s  %7.1f MB/s\n", fast, n / fast, mb / fast);
    std::printf("  fprintf writer: %8.3f s  %10.0f steps/s  %7.1f MB/s\n", plain, n / plain, mb / plain);
    std::printf("  project writer, times with 7 digits: %8.3f s  %10.0f steps/s\n", wide, n / wide);
    std::printf("  ratio fprintf/project: %.2f\n", plain / fast);

    return 0;
}
