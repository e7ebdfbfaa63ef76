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

#else

#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

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
    SignalActions before_wait;
    catch_ending_signals(restore_and_reraise, before_wait);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
    restore_ending_signals(before_wait);
}

#endif
