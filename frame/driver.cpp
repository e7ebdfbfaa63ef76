// The driver's services: the command line, the four output files and the console's last check.
#include "frame/frame.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

static const char *const output_names[4] = {"pelmar.out", "disp.out", "velox.out", "accel.out"};

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

static const int ending_signals[] = {
    SIGINT, SIGTERM,
#ifndef _WIN32
    SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ,
#endif
};
static constexpr std::size_t ending_signal_count = sizeof ending_signals / sizeof ending_signals[0];
static_assert(ending_signal_count <= sizeof(SignalActions::action) / sizeof(SignalActions::action[0]),
              "room for every ending signal's earlier action");

void catch_ending_signals(void (*handler)(int), SignalActions &saved) {
    for (std::size_t s = 0; s < ending_signal_count; ++s) {
        saved.action[s] = std::signal(ending_signals[s], handler);
        if (saved.action[s] == SIG_IGN) std::signal(ending_signals[s], SIG_IGN);
    }
}

void restore_ending_signals(const SignalActions &saved) {
    for (std::size_t s = 0; s < ending_signal_count; ++s)
        if (saved.action[s] != SIG_ERR) std::signal(ending_signals[s], saved.action[s]);
}

// What the signals did before the output files became temporaries.
static SignalActions before_temporaries;

static void remove_temporaries() {
    for (int slot = 0; slot < 4; ++slot) {
        if (rec.tempname[slot][0] == '\0') continue;
#ifdef _WIN32
        std::remove(rec.tempname[slot]);
#else
        unlink(rec.tempname[slot]);
#endif
    }
}

// A stopped run leaves the earlier results and nothing else. Only async-signal-safe calls:
// the names were made before the handler was installed and never change, unlink touches no
// stdio state. The signal is then raised again, so the run ends as the signal means it to.
static void remove_temporaries_and_reraise(int sig) {
    remove_temporaries();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Closes what is still open and removes every temporary; a signal has nothing left to clean.
static void discard_temporaries() {
    for (int slot = 0; slot < 4; ++slot) {
        if (rec.pFile[slot] != nullptr) std::fclose(rec.pFile[slot]);
        rec.pFile[slot] = nullptr;
    }
    remove_temporaries();
    restore_ending_signals(before_temporaries);
}

void abandon_output_files() { discard_temporaries(); }

// errno for a file name that a finished file could not be renamed over, 0 if it can be: the
// name is free, or it is a file this process may write. "r+" opens without truncating, so the
// check leaves an earlier file as it was; a folder of that name fails with EISDIR.
static int replace_error(const char *name) {
    errno = 0;
    if (std::FILE *f = std::fopen(name, "r+")) {
        std::fclose(f);
        return 0;
    }
    if (errno == ENOENT) return 0;
    return errno != 0 ? errno : EACCES;
}

bool open_output_files() {
    // Next to the file it will replace, so that the rename stays within one file system; the
    // process id keeps two runs in one folder out of each other's temporaries.
#ifdef _WIN32
    const long pid = _getpid();
#else
    const long pid = static_cast<long>(getpid());
#endif
    for (int slot = 0; slot < 4; ++slot) {
        std::strcpy(rec.filename[slot], output_names[slot]);
        std::snprintf(rec.tempname[slot], sizeof rec.tempname[slot], "%s.%ld.tmp",
                      output_names[slot], pid);
    }
    // Installed before the first temporary exists, so that no moment can leave one behind. A
    // signal ignored by whoever started the run (nohup, a limit on file size) stays ignored:
    // it does not end the run, and a failed write is reported like any other.
    catch_ending_signals(remove_temporaries_and_reraise, before_temporaries);

    for (int slot = 0; slot < 4; ++slot) {
        // Checked now, before the dialogue, rather than after thirteen answers for nothing.
        int err = replace_error(rec.filename[slot]);
        if (err == 0) {
            errno = 0;
            rec.pFile[slot] = std::fopen(rec.tempname[slot], "w");
            if (rec.pFile[slot] == nullptr) err = errno != 0 ? errno : EACCES;
        }
        if (err != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot create %s: %s\n", rec.filename[slot],
                         std::strerror(err));
            discard_temporaries();
            return false;
        }
    }
    return true;
}

// Renames the four complete temporaries over the earlier files.
static bool replace_earlier_files() {
    // Checked again: a folder made in a file's place during the dialogue would otherwise stop
    // the renames halfway, leaving new and earlier results mixed.
    for (int slot = 0; slot < 4; ++slot) {
        if (const int err = replace_error(rec.filename[slot])) {
            std::fprintf(stderr, "pelmar_initial: cannot replace %s: %s\n", rec.filename[slot],
                         std::strerror(err));
            return false;
        }
    }
#ifndef _WIN32
    // Nor may a signal stop them halfway: it waits until all four are in place.
    sigset_t held, before;
    sigemptyset(&held);
    for (int sig : ending_signals) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &before);
#endif
    bool ok = true;
    for (int slot = 0; slot < 4 && ok; ++slot) {
#ifdef _WIN32
        // Here rename refuses an existing target: the earlier file goes first.
        std::remove(rec.filename[slot]);
#endif
        errno = 0;
        if (std::rename(rec.tempname[slot], rec.filename[slot]) != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot replace %s: %s\n", rec.filename[slot],
                         std::strerror(errno != 0 ? errno : EIO));
            ok = false;
        }
    }
#ifndef _WIN32
    sigprocmask(SIG_SETMASK, &before, nullptr);
#endif
    return ok;
}

bool close_output_files() {
    bool ok = true;
    for (int slot = 0; slot < 4; ++slot) {
        std::FILE *f = rec.pFile[slot];
        if (f == nullptr) continue;
        errno = 0;
        if (std::fflush(f) != 0 || std::ferror(f)) note_write_error(slot, errno);
        errno = 0;
        if (std::fclose(f) != 0) note_write_error(slot, errno);
        rec.pFile[slot] = nullptr;
        if (rec.write_error[slot] != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot write %s: %s\n", rec.filename[slot],
                         std::strerror(rec.write_error[slot]));
            ok = false;
        }
    }
    // All four or none: one incomplete file keeps every earlier one.
    if (ok) ok = replace_earlier_files();
    discard_temporaries();
    return ok;
}

bool console_written() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "pelmar_initial: cannot write to the console: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}
