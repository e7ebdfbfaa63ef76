// Test helpers: the program run as a child process, and the stages run in-process.
#include "harness.h"

#include "frame/frame.h"
#include "input/input.h"
#include "modal/modal.h"
#include "response/response.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <vector>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::string RunResult::file(const std::string &name) const { return read_file(dir + "/" + name); }

namespace {
// Every directory the tests made, removed with its contents when the test process ends.
struct MadeDirs {
    std::vector<std::string> paths;
    ~MadeDirs() {
        for (const std::string &p : paths) {
            std::error_code ec;
            std::filesystem::remove_all(p, ec);
        }
    }
} made_dirs;
}  // namespace

std::string make_temp_dir() {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pelmar_test_XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    made_dirs.paths.push_back(templ);
    return templ;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void congruence(const double x[2][2], const double a[2][2], double out[2][2]) {
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            double s = 0;
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) s += x[i][r] * a[i][j] * x[j][c];
            out[r][c] = s;
        }
}

// x y - z w for doubles, in long double: each product is split exactly into its rounded value and
// remainder (fused multiply-add), so that strongly coupled masses cancel nothing but rounding.
static long double product_difference(long double x, long double y, long double z, long double w) {
    const long double xy = x * y, zw = z * w;
    return (xy - zw) + (std::fmal(x, y, -xy) - std::fmal(z, w, -zw));
}

Reference reference_solution(const double m[2][2], const double k[2][2]) {
    using L = long double;
    const L m11 = m[0][0], m12 = m[0][1], m22 = m[1][1], k11 = k[0][0], k12 = k[0][1], k22 = k[1][1];
    const L a = product_difference(m11, m22, m12, m12), c = product_difference(k11, k22, k12, k12);
    const L b = -(product_difference(m11, k22, m12, k12) + product_difference(m22, k11, m12, k12));
    const L p = product_difference(m11, k22, m22, k11);
    const L n1 = product_difference(m11, k12, m12, k11), n2 = product_difference(m22, k12, m12, k22);
    const L root = std::sqrt(std::max(p * p + 4 * n1 * n2, L(0)));
    Reference ref;
    ref.lambda[1] = (-b + root) / (2 * a);
    ref.lambda[0] = ref.lambda[1] > 0 ? c / (a * ref.lambda[1]) : 0;
    ref.gap = ref.lambda[1] > 0 ? (ref.lambda[1] - ref.lambda[0]) / ref.lambda[1] : 0;
    for (int r = 0; r < 2; ++r) {
        // 2a (K - lambda M) for lambda = (-b -+ root) / 2a, multiplied out so that lambda, and
        // with it the cancellation of nearly equal roots, never appears.
        const L s = r == 0 ? 1 : -1;
        const L e11 = -m11 * p + 2 * m12 * n1 + s * m11 * root, e12 = m11 * n2 + m22 * n1 + s * m12 * root;
        const L e22 = m22 * p + 2 * m12 * n2 + s * m22 * root;
        const bool first = std::fabs(e11) + std::fabs(e12) >= std::fabs(e12) + std::fabs(e22);
        L v[2] = {first ? -e12 : -e22, first ? e11 : e12};
        if (v[0] == 0 && v[1] == 0) v[0] = r == 0 ? 1 : -m12, v[1] = r == 0 ? 0 : m11;  // equal roots
        const L size = std::sqrt(v[0] * (m11 * v[0] + m12 * v[1]) + v[1] * (m12 * v[0] + m22 * v[1]));
        const L sign = v[1] > 0 || (v[1] == 0 && v[0] > 0) ? 1 : -1;
        ref.phi[0][r] = sign * v[0] / size;
        ref.phi[1][r] = sign * v[1] / size;
    }
    return ref;
}

std::vector<PencilCase> hard_pencils() {
    std::vector<PencilCase> cases;
    for (double g = 1e-4; g > 0.5e-13; g /= 10) {
        // M = I, K = [[10, c], [c, 10]]: modes (1, +-1) / sqrt 2 for every c, gap 2c / (10 + c).
        for (double sign : {1.0, -1.0})
            cases.push_back({"coupled", {{1, 0}, {0, 1}}, {{10, sign * 5 * g}, {sign * 5 * g, 10}}});
        // Uncoupled, mass 1 or mass 2 the stiffer by the fraction g.
        cases.push_back({"uncoupled", {{1, 0}, {0, 2}}, {{1 + g, 0}, {0, 2}}});
        cases.push_back({"uncoupled", {{2, 0}, {0, 1}}, {{2, 0}, {0, 1 + g}}});
    }
    // m12^2 = (1 - d)^2 m11 m22, K as strongly coupled along the same direction, so that the
    // frequencies stay within a factor of two: modes (1, +-1) and, for the second, (sqrt 3, -+sqrt 2).
    for (double d : {1e-4, 1e-7, 1e-10}) {
        for (double sign : {1.0, -1.0}) {
            const double mc = sign * (1 - d), kc = sign * (1 - 2 * d), r6 = std::sqrt(6.0);
            cases.push_back({"mass coupling", {{1, mc}, {mc, 1}}, {{1, kc}, {kc, 1}}});
            cases.push_back({"mass coupling", {{2, mc * r6}, {mc * r6, 3}}, {{4, 2 * kc * r6}, {2 * kc * r6, 6}}});
        }
    }
    for (double s : {1e-120, 1e120})
        for (double t : {1e-120, 1.0, 1e120}) {
            cases.push_back({"scale", {{s, 0}, {0, s}}, {{2 * t, -t}, {-t, 2 * t}}});
            cases.push_back({"scale", {{2 * s, 0.5 * s}, {0.5 * s, s}}, {{300 * t, -100 * t}, {-100 * t, 150 * t}}});
        }
    return cases;
}

std::string example_answers(const std::string &file) {
    const std::string text = read_file(std::string(PELMAR_EXAMPLES) + "/" + file);
    if (text.empty()) throw std::runtime_error("missing example " + file);
    return text;
}

const std::string &english_answers() {
    static const std::string text = example_answers("english_two_mass.txt");
    return text;
}

RunResult run_program(const std::string &answers, std::string dir, int seconds, const char *exe) {
    return run_program(answers, dir, RunSetup{}, seconds, exe);
}

RunResult run_program(const std::string &answers, const std::string &dir, const RunSetup &setup,
                      int seconds, const char *exe) {
    RunResult r;
    r.dir = dir.empty() ? make_temp_dir() : dir;
    // Captures live beside the run directory, so that they never mix with its files.
    const std::string cap = make_temp_dir();
    const std::string in_path = cap + "/stdin", out_path = cap + "/stdout", err_path = cap + "/stderr";
    std::ofstream(in_path, std::ios::binary) << answers;
    // An interrupted run, or one whose input stays open, reads a pipe whose writing end this
    // process holds until the run has ended: an interrupted one waits there for more answers.
    const bool piped = setup.interrupt || setup.input_stays_open || setup.then_typed != nullptr;
    int feed[2] = {-1, -1};
    if (piped && (pipe(feed) != 0 || write(feed[1], answers.data(), answers.size()) < 0))
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(r.dir.c_str()) != 0) _exit(126);
        const int in = piped ? feed[0] : open(in_path.c_str(), O_RDONLY);
        const int out = open(setup.stdout_path ? setup.stdout_path : out_path.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (setup.in_child != nullptr) setup.in_child();
        if (piped) close(feed[1]);
        if (setup.file_size_limit > 0) {
            const rlimit limit = {static_cast<rlim_t>(setup.file_size_limit),
                                  static_cast<rlim_t>(setup.file_size_limit)};
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        setsid();  // no controlling terminal
        alarm(static_cast<unsigned>(seconds));
        std::vector<char *> argv{const_cast<char *>(exe)};
        for (const std::string &a : setup.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe, argv.data());
        _exit(127);
    }
    // The files the run has open, by size (-1 for what is not a regular file), from /proc: its
    // temporaries may have no name in the folder.
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    auto open_files = [&] {
        std::vector<long long> sizes;
        std::error_code ec;
        for (std::filesystem::directory_iterator e(fds, ec), end; !ec && e != end; e.increment(ec)) {
            struct stat st {};
            sizes.push_back(stat(e->path().c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1);
        }
        return sizes;
    };
    if (piped) close(feed[0]);
    if (setup.interrupt || setup.then_typed != nullptr) {
        // Eleven descriptors (the console's three, and each of the four files twice: its own,
        // which holds its lock, and its stream's): the run has its files; a moment later it is
        // waiting for the answers that never come.
        for (int tries = 0; tries < 400 && open_files().size() < 11; ++tries) usleep(50 * 1000);
        usleep(200 * 1000);
        if (setup.while_asking != nullptr) setup.while_asking(r.dir);
        if (setup.interrupt) {
            kill(pid, SIGINT);
        } else {
            const std::string rest = setup.then_typed;
            if (write(feed[1], rest.data(), rest.size()) < 0) throw std::runtime_error("write failed");
            close(feed[1]);
            feed[1] = -1;
        }
    }
    if (setup.signal_in_history != 0) {
        auto writing = [&] {
            for (long long size : open_files())
                if (size > (1 << 20)) return true;
            return false;
        };
        for (int tries = 0; tries < 20000 && !writing(); ++tries) usleep(1000);
        kill(pid, setup.signal_in_history);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (piped && feed[1] >= 0) close(feed[1]);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    rmdir(cap.c_str());
    return r;
}

std::string answers(int units, double m11, double m12, double m22, double k11, double k12,
                    double k22, double z1, double z2, double v1, double v2, double d1, double d2) {
    char buf[1024];
    std::snprintf(buf, sizeof buf, "%d %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n",
                  units, m11, m12, m22, k11, k12, k22, z1, z2, v1, v2, d1, d2);
    return buf;
}

void run_stages(int units, const double m[2][2], const double k[2][2], const double damp[2],
                const double vi[2], const double di[2], bool with_time_history) {
    rec = AnalysisRecord{};
    rec.n = 2;
    for (int f = 0; f < 4; ++f) rec.pFile[f] = std::fopen("/dev/null", "w");
    // The dialogue itself is what fills the record: feed it the answers through a pipe.
    const std::string typed = answers(units, m[0][0], m[0][1], m[1][1], k[0][0], k[0][1], k[1][1],
                                      damp[0], damp[1], vi[0], vi[1], di[0], di[1]);
    std::fflush(stdout);
    const int saved_in = dup(0), saved_out = dup(1);
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error("pipe failed");
    if (write(p[1], typed.data(), typed.size()) < 0) throw std::runtime_error("write failed");
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    close(devnull);
    clearerr(stdin);

    data_input();
    printmat();
    eigenvalues();
    eigenvectors();
    participation();
    if (with_time_history) time_history();

    std::fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_in, 0);
    close(saved_out);
    close(saved_in);
    clearerr(stdin);
    for (int f = 0; f < 4; ++f) {
        std::fclose(rec.pFile[f]);
        rec.pFile[f] = nullptr;
    }
}
