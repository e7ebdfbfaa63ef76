// The command line (options, the answers file, the output folder, the record's length) and the
// console's last check.
#include "frame/frame.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#define chdir _chdir
#define close _close
#define dup2 _dup2
#define fstat _fstat
#define open _open
#define stat _stat
#define O_RDONLY _O_RDONLY
#define S_IFMT _S_IFMT
#define S_IFDIR _S_IFDIR
#else
#include <unistd.h>
#endif

// The one description of the answers, the options, the files and the exit statuses; the
// README quotes its answer table (a test holds the two together).
static const char *const help_text =
    "Usage: pelmar_initial [OPTION]... [ANSWERS-FILE]\n"
    "   or: pelmar_initial [OPTION]... < ANSWERS-FILE\n"
    "\n"
    "Free vibration of two lumped masses coupled by springs, M x'' + C x' + K x = 0, with the\n"
    "damping given as a ratio of critical per mode. Asks for the symmetric mass and stiffness\n"
    "matrices, the damping ratios and the initial state, then prints the natural frequencies,\n"
    "mode shapes and participation factors and writes the damped response of both masses.\n"
    "The answers come from ANSWERS-FILE, or from standard input (the keyboard, a file or a pipe)\n"
    "when it is not given or is -.\n"
    "\n"
    "Options:\n"
    "  -o, --output-dir=DIR    write the four files in DIR, which must exist, instead of the\n"
    "                          current folder (which is then not touched)\n"
    "      --duration=SECONDS  a record of SECONDS instead of twelve periods of mode 1; the step\n"
    "                          stays 1/32 of the period of mode 2\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "The 13 answers, in order (English / metric units); a # and the rest of its line are a comment:\n"
    "   1  unit system               1 = English, 2 = metric\n"
    "   2  m11                       lbm / kg\n"
    "   3  m12 (m21 is the same)     lbm / kg\n"
    "   4  m22                       lbm / kg\n"
    "   5  k11                       lbf/in / N/m\n"
    "   6  k12 (k21 is the same)     lbf/in / N/m\n"
    "   7  k22                       lbf/in / N/m\n"
    "   8  damping ratio of mode 1   fraction of critical (0.05 = 5 %)\n"
    "   9  damping ratio of mode 2   fraction of critical\n"
    "  10  initial velocity, mass 1  in/sec / m/sec\n"
    "  11  initial velocity, mass 2  in/sec / m/sec\n"
    "  12  initial displacement, mass 1  in / m\n"
    "  13  initial displacement, mass 2  in / m\n"
    "\n"
    "Files written, replaced only when a run completes:\n"
    "  pelmar.out  report: M, K, eigenvalues, frequencies, mode shapes, checks, participation\n"
    "  disp.out    displacement time history   in / m\n"
    "  velox.out   velocity time history       in/sec / m/sec\n"
    "  accel.out   acceleration time history   G / m/sec^2\n"
    "\n"
    "Exit status:\n"
    "  0  all four files hold this run's complete, finite results\n"
    "  1  a file or the console could not be written (also: the folder stayed locked by\n"
    "     another run, or the disk is too small for the record); the earlier files are kept\n"
    "  2  a wrong argument, or an answers file or output folder that cannot be used\n"
    "  3  the answers were incomplete or not numbers, or the unit answer not 1 or 2;\n"
    "     nothing is written\n"
    "  4  the model is not physical (M not positive definite, K not positive semi-definite\n"
    "     or zero, an eigenvalue out of range, a record that cannot be counted, a response\n"
    "     that leaves double range); nothing is written\n";

static const char *const usage_text =
    "usage: pelmar_initial [-o DIR] [--duration SECONDS] [ANSWERS-FILE | - | < ANSWERS-FILE]\n"
    "Try 'pelmar_initial --help' for more information.\n";

// A usage error: what was wrong, then the forms of the command; exit status 2.
static int usage_error(const char *what, const char *arg) {
    std::fprintf(stderr, "pelmar_initial: %s '%s'\n%s", what, arg, usage_text);
    return 2;
}

// The long options, which GNU tools let one abbreviate to any unambiguous prefix.
enum Option { none, output_dir, duration, help, version };
static const struct {
    const char *name;
    Option option;
    bool takes_value;
} long_options[] = {{"output-dir", output_dir, true}, {"duration", duration, true}, {"help", help, false},
                    {"version", version, false}};

// The long option `--name` or `--name=value` stands for; none when no name or several start so.
static Option long_option(const char *arg, bool &takes_value) {
    const char *const name = arg + 2;
    const std::size_t len = std::strcspn(name, "=");
    Option found = none;
    for (const auto &o : long_options) {
        if (std::strncmp(o.name, name, len) != 0) continue;
        if (std::strlen(o.name) == len) {  // an exact name wins over a longer one it begins
            takes_value = o.takes_value;
            return o.option;
        }
        if (found != none) return none;
        found = o.option;
        takes_value = o.takes_value;
    }
    return found;
}

// Standard input becomes the answers file, as if it had been redirected with <.
static int read_answers_from(const char *path) {
    const int fd = open(path, O_RDONLY);
    struct stat st {};
    const int err = fd < 0 ? errno : fstat(fd, &st) != 0 ? errno : (st.st_mode & S_IFMT) == S_IFDIR ? EISDIR : 0;
    if (err == 0 && fd != 0 && dup2(fd, 0) < 0) return errno;
    if (fd > 0) close(fd);
    return err;
}

int answer_arguments(int argc, char **argv) {
    const char *answers = nullptr, *folder = nullptr;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (options_end || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            if (answers != nullptr) return usage_error("one answers file at most; also given:", arg);
            answers = arg;
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_end = true;
            continue;
        }
        // Which option, and its value: attached (--duration=30, -oDIR) or the next argument.
        Option option = none;
        bool takes_value = false;
        const char *value = nullptr;
        if (arg[1] == '-') {
            option = long_option(arg, takes_value);
            if (const char *eq = std::strchr(arg, '=')) {
                if (!takes_value && option != none) return usage_error("option takes no value:", arg);
                value = eq + 1;
            }
        } else {
            option = arg[1] == 'o' ? output_dir : arg[1] == 'h' ? help : arg[1] == 'V' ? version : none;
            takes_value = option == output_dir;
            if (arg[2] != '\0') {
                if (!takes_value) option = none;
                value = arg + 2;
            }
        }
        if (option == none) return usage_error("unrecognized option", arg);
        if (takes_value && value == nullptr) {
            if (i + 1 == argc) return usage_error("option needs a value:", arg);
            value = argv[++i];
        }
        switch (option) {
        case help:
            std::fputs(help_text, stdout);
            return console_written() ? 0 : 1;
        case version:
            std::printf("pelmar_initial %s\n", PELMAR_VERSION);
            return console_written() ? 0 : 1;
        case output_dir:
            folder = value;
            break;
        case duration: {
            char *end = nullptr;
            const double seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(seconds) || !(seconds > 0.0))
                return usage_error("--duration needs a positive number of seconds, not", value);
            rec.duration = seconds;
            break;
        }
        default:
            break;
        }
    }
    // The answers file is named relative to where the run started, so it is opened before the
    // run moves to its output folder; nothing is asked and nothing is written if either fails.
    if (answers != nullptr && std::strcmp(answers, "-") != 0) {
        if (const int err = read_answers_from(answers)) {
            std::fprintf(stderr, "pelmar_initial: cannot read the answers file '%s': %s\n", answers, std::strerror(err));
            return 2;
        }
    }
    if (folder != nullptr && chdir(folder) != 0) {
        std::fprintf(stderr, "pelmar_initial: cannot use the output folder '%s': %s\n", folder,
                     std::strerror(errno));
        return 2;
    }
    return -1;
}

bool console_written() {
#ifdef SIGPIPE
    // A console that went away (`| head -1`) is a failed write, said on stderr; not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "pelmar_initial: cannot write to the console: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}
