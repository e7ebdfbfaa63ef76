// The console dialogue: unit system, symmetric mass and stiffness matrices, damping, initial state.
#include "input/input.h"

#include "frame/frame.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// One row of the unit table. English masses are typed in pounds-mass and divided by 386 to
// give lbf sec^2/in; English accelerations are written in G for the same reason.
struct Units {
    const char *mass, *velocity, *displacement, *acceleration;
    double mscale;
};
constexpr Units english = {"(lbm)", "(in/sec)", "(in)", "(G)", 386.0};
constexpr Units metric = {"(kg)", "(m/sec)", "(m)", "(m/sec^2)", 1.0};

// Someone typing at a terminal is told of a typo at once and asked again. From a file or a
// pipe there is nobody to ask: the first answer that is not a number, or input that ends
// before the last answer, stops the run before any file is replaced, since every answer after
// a slip would land in another answer's place.
bool at_terminal = false;

// Standard input, taken in blocks as they arrive. The dialogue keeps this buffer itself, not
// stdio's, so that after the last answer it knows what came with the answers and can look at
// it without waiting for more (see input_goes_on).
struct Input {
    unsigned char block[4096];
    std::size_t at = 0, filled = 0;
    bool ended = false;      // end of input, or a read error with its errno in `error`
    int error = 0;
    bool first_word = true;  // a byte-order mark may come before the first answer
    bool finite = false;     // a file, read to its end after the last answer; else a pipe
};
Input in;

// The next block of input; false at its end. Once ended, input stays ended: a Ctrl-D at a
// terminal ends the dialogue, later keys do not resume it.
bool refill() {
    if (in.ended) return false;
    for (;;) {
#ifdef _WIN32
        const int got = _read(0, in.block, sizeof in.block);
#else
        const ssize_t got = read(STDIN_FILENO, in.block, sizeof in.block);
#endif
        if (got > 0) {
            in.at = 0;
            in.filled = static_cast<std::size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        in.error = got < 0 ? errno : 0;
        in.ended = true;
        return false;
    }
}

int next_char() {
    if (in.at == in.filled && !refill()) return EOF;
    return in.block[in.at++];
}

// Room for one typed answer; a longer one is cut and marked with "...", which no number holds.
constexpr std::size_t answer_max = 80;

// A '#' starts a comment that runs to the end of its line, so an answers file can say what
// its numbers are. Returns the '\n' that ends the comment, or EOF.
int skip_comment() {
    int c;
    while ((c = next_char()) != EOF && c != '\n') {
    }
    return c;
}

// The next answer, one white-space separated word; false at end of input. `line_ended` tells
// whether the word was the last on its line (a comment after it aside). The rest of a word too
// long for `text` is left unread: it is refused whatever follows. A NUL byte is kept as '?', so
// that it cannot end the text early and pass "1<NUL>x" for 1. A UTF-8 byte-order mark, which
// some Windows editors write at the start of a file, is not part of the first answer. '\r' is
// white space, so CR LF line ends separate answers like LF. A comment ends a word.
bool next_word(char (&text)[answer_max], bool &line_ended) {
    for (;;) {
        int c;
        while ((c = next_char()) != EOF && (std::isspace(c) || c == '#'))
            if (c == '#' && skip_comment() == EOF) return false;
        if (c == EOF) return false;
        std::size_t len = 0;
        bool cut = false;
        for (; c != EOF && !std::isspace(c) && c != '#'; c = next_char()) {
            if (len == answer_max - 4) {
                cut = true;
                break;
            }
            text[len++] = c == '\0' ? '?' : static_cast<char>(c);
        }
        if (c == '#') c = skip_comment();
        text[len] = '\0';
        if (in.first_word) {
            in.first_word = false;
            if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) {
                std::memmove(text, text + 3, len - 2);
                len -= 3;
                if (len == 0 && !cut) continue;  // the mark stood alone: the answer follows
            }
        }
        if (cut) std::strcat(text, "...");
        line_ended = !cut && (c == '\n' || c == EOF);
        return true;
    }
}

// Why `text` is not an answer, or nullptr after storing it: the unit choice, 1 or 2 written
// as a whole number (base 10), into `whole`, else a finite number in any decimal or exponent
// form into `real`. Any other unit choice is a slip (11 for 1, a mass typed first), not a
// request for metric units. nan, inf and a number too large for a double (1e400) are
// refused. A number too small for one (1e-400) is taken as the nearest double, 0 or a
// subnormal: in these units such a value is zero for every purpose, as its writer meant it.
const char *refusal(const char *text, long *whole, double *real) {
    char *end = nullptr;
    errno = 0;
    if (whole != nullptr) {
        const long l = std::strtol(text, &end, 10);
        if (end == text || *end != '\0') return "is not a whole number";
        if (l != 1 && l != 2) return "is not 1 or 2";
        *whole = l;
        return nullptr;
    }
    const double d = std::strtod(text, &end);
    if (end == text || *end != '\0' || std::isnan(d)) return "is not a number";
    if (std::isinf(d)) return errno == ERANGE ? "is out of range" : "is not a number";
    *real = d;
    return nullptr;
}

// Place (1 to 13) of the answer being asked. Once the dialogue has stopped it asks nothing more.
int place = 0;
bool stopped = false;

// Ends the dialogue at answer `place`, with one stderr line naming it and saying what was wrong.
void stop(const char *name, const char *what) {
    stopped = true;
    std::fprintf(stderr,
                 "pelmar_initial: answer %d (%s): %s; nothing was written and the earlier results "
                 "are kept\n",
                 place, name, what);
}

// `text` as it is quoted back: a control byte (an escape sequence that would erase the line, a
// carriage return) shown as \x1b and the like, never sent raw to the terminal.
const char *shown(const char *text, char (&out)[4 * answer_max]) {
    std::size_t at = 0;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != '\0'; ++c) {
        if (*c < 0x20 || *c == 0x7f)
            at += static_cast<std::size_t>(std::snprintf(out + at, sizeof out - at, "\\x%02x", *c));
        else
            out[at++] = static_cast<char>(*c);
    }
    out[at] = '\0';
    return out;
}

// Prints `prompt` and reads answer `name`, as described at `refusal`. At a terminal an answer
// that is not a number is named with what was typed, the rest of its line is dropped (the
// answers after a typo were meant for other prompts) and the prompt comes again. From a file
// or a pipe the first such answer stops the dialogue; so does the end of input anywhere.
void answer(const char *name, const char *prompt, long *whole, double *real) {
    if (stopped) return;
    ++place;
    std::fputs(prompt, stdout);
    char text[answer_max];
    char quoted[4 * answer_max];
    char what[sizeof quoted + 64];
    bool line_ended = false;
    while (next_word(text, line_ended)) {
        const char *const why = refusal(text, whole, real);
        if (why == nullptr) return;
        if (!at_terminal) {
            std::snprintf(what, sizeof what, "'%s' %s", shown(text, quoted), why);
            stop(name, what);
            return;
        }
        std::printf("\n '%s' %s: type it again\n", shown(text, quoted), why);
        for (int c = line_ended ? '\n' : next_char(); c != '\n' && c != EOF; c = next_char()) {
        }
        std::fputs(prompt, stdout);
    }
    if (in.error != 0) {
        std::snprintf(what, sizeof what, "the input could not be read (%s)", std::strerror(in.error));
        stop(name, what);
    } else {
        stop(name, "the input ended");
    }
}

// Prints the prompt made from `format`, then reads one number into `field`.
void ask(double &field, const char *name, const char *format, ...) __attribute__((format(printf, 3, 4)));
void ask(double &field, const char *name, const char *format, ...) {
    if (stopped) return;
    char prompt[128];
    std::va_list ap;
    va_start(ap, format);
    std::vsnprintf(prompt, sizeof prompt, format, ap);
    va_end(ap);
    answer(name, prompt, nullptr, &field);
}

// Text between the questions, left out once the dialogue has stopped.
void say(const char *text) {
    if (!stopped) std::fputs(text, stdout);
}

// True when anything but white space follows the last answer. A file is read to its end. A
// pipe is looked at only as far as it has already delivered: a script may keep its end open
// after the answers, and waiting for more would hang the run.
bool input_goes_on() {
    bool comment = false;  // inside a comment, which runs to the end of its line
    for (;;) {
        for (; in.at < in.filled; ++in.at) {
            const unsigned char c = in.block[in.at];
            if (comment || c == '#') comment = c != '\n';
            else if (!std::isspace(c)) return true;
        }
        if (!in.finite || !refill()) return false;
    }
}

}  // namespace

void data_input() {
    in = Input{};
    place = 0;
    stopped = false;
#ifdef _WIN32
    at_terminal = _isatty(_fileno(stdin)) != 0;
#else
    at_terminal = isatty(STDIN_FILENO) != 0;
#endif
    // A file (or a device such as /dev/null) can be positioned, a pipe cannot.
    in.finite = !at_terminal && std::ftell(stdin) >= 0;

    // 1. Unit choice, read as a long and taken only when it is 1 or 2, so it is never
    // narrowed by truncation (4294967297 would wrap to 1).
    std::printf("\n Select units \n");
    long choice = 0;
    answer("unit system", "\n 1=English  2=metric \n", &choice, nullptr);
    rec.iunit = static_cast<std::int32_t>(choice);

    // 2. Labels and scale of the chosen system.
    const Units &u = rec.iunit == 1 ? english : metric;
    std::strcpy(rec.mu, u.mass);
    std::strcpy(rec.vu, u.velocity);
    std::strcpy(rec.du, u.displacement);
    std::strcpy(rec.au, u.acceleration);
    rec.mscale = u.mscale;

    // 3-6. Mass matrix: three entries typed, the lower-left mirrored, English masses scaled.
    say("\n Assume symmetric mass and stiffness matrices. ");
    ask(rec.m[0][0], "m11", "\n\n Enter m11 %s\n", rec.mu);
    ask(rec.m[0][1], "m12", "\n\n Enter m12 %s\n", rec.mu);
    ask(rec.m[1][1], "m22", "\n\n Enter m22 %s\n", rec.mu);
    rec.m[1][0] = rec.m[0][1];
    if (rec.iunit == 1)
        for (rec.i = 0; rec.i < 2; ++rec.i)
            for (rec.j = 0; rec.j < 2; ++rec.j) rec.m[rec.i][rec.j] /= rec.mscale;

    // 7-8. Stiffness matrix, no conversion.
    ask(rec.k[0][0], "k11", "\n\n Enter k11 \n");
    ask(rec.k[0][1], "k12", "\n\n Enter k12 \n");
    ask(rec.k[1][1], "k22", "\n\n Enter k22 \n");
    rec.k[1][0] = rec.k[0][1];

    // 9. Modal damping ratios, as fractions of critical.
    static const char *const damping_names[2] = {"damping ratio 1", "damping ratio 2"};
    for (rec.i = 0; rec.i < 2; ++rec.i)
        ask(rec.damp[rec.i], damping_names[rec.i], "\n\n Enter modal damping ratio %ld \n",
            static_cast<long>(rec.i + 1));

    // 10-12. Initial velocities, then initial displacements.
    static const char *const velocity_names[2] = {"initial velocity 1", "initial velocity 2"};
    static const char *const displacement_names[2] = {"initial displacement 1",
                                                      "initial displacement 2"};
    say("\n");
    for (rec.i = 0; rec.i < 2; ++rec.i)
        ask(rec.vi[rec.i], velocity_names[rec.i], "\n\n Enter initial velocity for mass %ld %s\n",
            static_cast<long>(rec.i + 1), rec.vu);
    say("\n");
    for (rec.i = 0; rec.i < 2; ++rec.i)
        ask(rec.di[rec.i], displacement_names[rec.i],
            "\n\n Enter initial displacement for mass %ld %s\n", static_cast<long>(rec.i + 1),
            rec.du);
    say("\n");

    rec.answers_complete = !stopped;
    // Thirteen answers were taken; a fourteenth is most likely m21 typed as well, which has
    // moved every later answer up one place. The run goes on, but not silently.
    if (rec.answers_complete && !at_terminal && input_goes_on())
        std::fprintf(stderr,
                     "pelmar_initial: the input goes on after answer 13 and was ignored; an extra "
                     "answer before it (m21, say) shifts every answer after it\n");
}
