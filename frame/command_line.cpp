// The command line (--help, --version) and the console's last check.
#include "frame/frame.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

static const char *const help_text =
    "Usage: pelmar_initial [--help | --version]\n"
    "\n"
    "Free vibration of two lumped masses coupled by springs. Asks for the symmetric mass and\n"
    "stiffness matrices, a damping ratio per mode and the initial state, then prints the\n"
    "natural frequencies, mode shapes and participation factors and writes the damped response\n"
    "of both masses. Answers come from the keyboard or from a file or pipe on standard input.\n"
    "\n"
    "The 13 answers, in order (English / metric units):\n"
    "   1  unit system: 1 = English, anything else = metric\n"
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
    "Files written in the current folder, replaced only when a run completes:\n"
    "  pelmar.out  report: M, K, eigenvalues, frequencies, mode shapes, checks, participation\n"
    "  disp.out    displacement time history   in / m\n"
    "  velox.out   velocity time history       in/sec / m/sec\n"
    "  accel.out   acceleration time history   G / m/sec^2\n"
    "\n"
    "Exit status: 0 when all four files are written, 1 when a file or the console could not be\n"
    "written (the earlier files are then kept), 2 for a wrong argument, 3 when the answers were\n"
    "incomplete or not numbers (nothing is written, the earlier files are kept).\n";

int answer_arguments(int argc, char **argv) {
    if (argc <= 1) return -1;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(help_text, stdout);
        return console_written() ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("pelmar_initial %s\n", PELMAR_VERSION);
        return console_written() ? 0 : 1;
    }
    std::fprintf(stderr, "usage: pelmar_initial [--help | --version]\n");
    return 2;
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
