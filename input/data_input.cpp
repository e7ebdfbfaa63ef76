// The console dialogue: unit system, symmetric mass and stiffness matrices, damping, initial state.
#include "input/input.h"

#include "frame/frame.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
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

// Name of the first answer that could not be read, for one line on stderr; nullptr if none.
const char *first_unread = nullptr;
bool unread_at_end = false;

void note_unread(const char *name) {
    if (first_unread != nullptr) return;
    first_unread = name;
    unread_at_end = std::feof(stdin) != 0;
}

// Someone typing at a terminal is told of a typo at once and asked again. From a file or a
// pipe there is nobody to ask: the reads stay plain scanf, as the scripts that feed the
// program rely on.
bool at_terminal = false;

// Room for one typed answer; a longer one is cut and marked with "...", which no number holds.
constexpr std::size_t answer_max = 80;

// The next answer typed, one white-space separated word as scanf would take it; false at end
// of input. `line_ended` tells whether the word was the last on its line.
bool next_word(char (&text)[answer_max], bool &line_ended) {
    if (std::feof(stdin)) return false;  // once ended, input stays ended, as with scanf
    int c;
    while ((c = std::getchar()) != EOF && std::isspace(c)) {
    }
    if (c == EOF) return false;
    std::size_t len = 0;
    bool cut = false;
    for (; c != EOF && !std::isspace(c); c = std::getchar()) {
        if (len < answer_max - 4) text[len++] = static_cast<char>(c);
        else cut = true;
    }
    text[len] = '\0';
    if (cut) std::strcat(text, "...");
    line_ended = c == '\n' || c == EOF;
    return true;
}

// Reads answers at the terminal until one is a number as a whole: a whole number (base 10,
// as "%ld" reads it) into `whole`, or else a double (as "%lf") into `real`. Each answer that
// is not is named with what was typed, the rest of its line is dropped (the answers after a
// typo were meant for other prompts) and `prompt` is printed again. False at end of input.
bool typed_answer(const char *prompt, long *whole, double *real) {
    char text[answer_max];
    bool line_ended = false;
    while (next_word(text, line_ended)) {
        char *end = text;
        const long l = whole != nullptr ? std::strtol(text, &end, 10) : 0;
        const double d = whole == nullptr ? std::strtod(text, &end) : 0.0;
        if (end != text && *end == '\0') {
            if (whole != nullptr) *whole = l;
            else *real = d;
            return true;
        }
        std::printf("\n '%s' is not a number: type it again\n", text);
        for (int c = line_ended ? '\n' : std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
        }
        std::fputs(prompt, stdout);
    }
    return false;
}

// Prints the prompt made from `format`, then reads one number into `field`. A failed read
// leaves its field as it was (0 at start-up). From a file or pipe the offending text stays in
// the input, so every later answer fails the same way and the run goes on with zeros; the
// first failure is named so that a typo does not pass unnoticed.
void ask(double &field, const char *name, const char *format, ...) __attribute__((format(printf, 3, 4)));
void ask(double &field, const char *name, const char *format, ...) {
    char prompt[128];
    std::va_list ap;
    va_start(ap, format);
    std::vsnprintf(prompt, sizeof prompt, format, ap);
    va_end(ap);
    std::fputs(prompt, stdout);
    const bool read = at_terminal ? typed_answer(prompt, nullptr, &field)
                                  : std::scanf("%lf", &field) == 1;
    if (!read) note_unread(name);
}

}  // namespace

void data_input() {
    first_unread = nullptr;
#ifdef _WIN32
    at_terminal = _isatty(_fileno(stdin)) != 0;
#else
    at_terminal = isatty(STDIN_FILENO) != 0;
#endif

    // 1. Unit choice, read as a long. Only a value equal to 1 is English: the long is never
    // narrowed by truncation (4294967297 would wrap to 1), out-of-range values are clamped.
    std::printf("\n Select units \n");
    const char *const unit_prompt = "\n 1=English  2=metric \n";
    std::fputs(unit_prompt, stdout);
    long choice = 0;
    const bool read = at_terminal ? typed_answer(unit_prompt, &choice, nullptr)
                                  : std::scanf("%ld", &choice) == 1;
    if (read) {
        rec.iunit = choice > INT32_MAX   ? INT32_MAX
                    : choice < INT32_MIN ? INT32_MIN
                                         : static_cast<std::int32_t>(choice);
    } else {
        note_unread("unit choice");
    }

    // 2. Labels and scale of the chosen system.
    const Units &u = rec.iunit == 1 ? english : metric;
    std::strcpy(rec.mu, u.mass);
    std::strcpy(rec.vu, u.velocity);
    std::strcpy(rec.du, u.displacement);
    std::strcpy(rec.au, u.acceleration);
    rec.mscale = u.mscale;

    // 3-6. Mass matrix: three entries typed, the lower-left mirrored, English masses scaled.
    std::printf("\n Assume symmetric mass and stiffness matrices. ");
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
    std::printf("\n");
    for (rec.i = 0; rec.i < 2; ++rec.i)
        ask(rec.vi[rec.i], velocity_names[rec.i], "\n\n Enter initial velocity for mass %ld %s\n",
            static_cast<long>(rec.i + 1), rec.vu);
    std::printf("\n");
    for (rec.i = 0; rec.i < 2; ++rec.i)
        ask(rec.di[rec.i], displacement_names[rec.i],
            "\n\n Enter initial displacement for mass %ld %s\n", static_cast<long>(rec.i + 1),
            rec.du);
    std::printf("\n");

    if (first_unread != nullptr)
        std::fprintf(stderr, "pelmar_initial: could not read %s: %s\n", first_unread,
                     unread_at_end ? "end of input" : "not a number");
}
