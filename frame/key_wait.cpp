// The final pause: one key read from the console without echo and without Enter.
#include "frame/frame.h"

#ifdef _WIN32

#include <conio.h>
#include <io.h>
#include <stdio.h>

void wait_for_key() {
    // From a file, a pipe or CI there is no key to wait for: a batch run must not hang.
    if (!_isatty(_fileno(stdin))) return;
    // The console gives one key without echo and without Enter. Arrow and function keys come
    // as two codes, a 0 or 0xE0 first; the second is taken too so that no half key is left.
    const int key = _getch();
    if (key == 0 || key == 0xE0) _getch();
}

// The console's mode is not changed by _getch: nothing to put back.
void restore_terminal() {}

#else

#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

// Terminal settings in force before the key wait, and whether the wait has changed them: the
// one signal handler (output/temporaries.cpp), installed before the dialogue, puts them back
// however the wait ends.
static struct termios saved_tty;
static volatile std::sig_atomic_t tty_changed = 0;

void restore_terminal() {
    if (tty_changed) tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
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
    tty_changed = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
    tty_changed = 0;
}

#endif
