// The driver's services: creating and closing the four output files, and the final key wait.
#include "frame/frame.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <termios.h>
#include <unistd.h>

static const char *const output_names[4] = {"pelmar.out", "disp.out", "velox.out", "accel.out"};

bool open_output_files() {
    for (int slot = 0; slot < 4; ++slot) {
        std::strcpy(rec.filename[slot], output_names[slot]);
        rec.pFile[slot] = std::fopen(rec.filename[slot], "w");
        if (rec.pFile[slot] == nullptr) {
            // Writing on through a stream that never opened would lose the results silently.
            std::fprintf(stderr, "pelmar_initial: cannot create %s: %s\n", rec.filename[slot],
                         std::strerror(errno));
            return false;
        }
    }
    return true;
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
        if (write_error[slot] != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot write %s: %s\n", rec.filename[slot],
                         std::strerror(write_error[slot]));
            ok = false;
        }
    }
    return ok;
}

// Terminal settings in force before the key wait, restored however the wait ends.
static struct termios saved_tty;

static void restore_and_reraise(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void wait_for_key() {
    // From a file, a pipe or CI there is no key to wait for: a batch run must not hang.
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_tty) != 0) return;

    struct termios raw = saved_tty;
    // One byte, no echo, no Enter needed. Ctrl-C arrives as an ordinary key, as any key ends
    // the wait; a hang-up or kill still restores the terminal on its way out.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    const int caught[] = {SIGHUP, SIGTERM, SIGQUIT, SIGINT};
    for (int sig : caught) std::signal(sig, restore_and_reraise);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
    for (int sig : caught) std::signal(sig, SIG_DFL);
}
