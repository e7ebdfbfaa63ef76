// The console dialogue: unit system, symmetric mass and stiffness matrices, damping, initial state.
#include "input/input.h"

#include "frame/frame.h"

#include <climits>
#include <cstdint>
#include <cstring>

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

// A failed read leaves its field as it was (0 at start-up). The offending text stays in the
// input, so every later answer fails the same way and the run goes on with zeros; the first
// failure is named so that a typo does not pass unnoticed.
void read_number(double &field, const char *name) {
    if (std::scanf("%lf", &field) == 1 || first_unread != nullptr) return;
    first_unread = name;
    unread_at_end = std::feof(stdin) != 0;
}

}  // namespace

void data_input() {
    first_unread = nullptr;

    // 1. Unit choice, read as a long. Only a value equal to 1 is English: the long is never
    // narrowed by truncation (4294967297 would wrap to 1), out-of-range values are clamped.
    std::printf("\n Select units \n");
    std::printf("\n 1=English  2=metric \n");
    long choice = 0;
    if (std::scanf("%ld", &choice) == 1) {
        rec.iunit = choice > INT32_MAX   ? INT32_MAX
                    : choice < INT32_MIN ? INT32_MIN
                                         : static_cast<std::int32_t>(choice);
    } else {
        first_unread = "unit choice";
        unread_at_end = std::feof(stdin) != 0;
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
    std::printf("\n\n Enter m11 %s\n", rec.mu);
    read_number(rec.m[0][0], "m11");
    std::printf("\n\n Enter m12 %s\n", rec.mu);
    read_number(rec.m[0][1], "m12");
    std::printf("\n\n Enter m22 %s\n", rec.mu);
    read_number(rec.m[1][1], "m22");
    rec.m[1][0] = rec.m[0][1];
    if (rec.iunit == 1)
        for (rec.i = 0; rec.i < 2; ++rec.i)
            for (rec.j = 0; rec.j < 2; ++rec.j) rec.m[rec.i][rec.j] /= rec.mscale;

    // 7-8. Stiffness matrix, no conversion.
    std::printf("\n\n Enter k11 \n");
    read_number(rec.k[0][0], "k11");
    std::printf("\n\n Enter k12 \n");
    read_number(rec.k[0][1], "k12");
    std::printf("\n\n Enter k22 \n");
    read_number(rec.k[1][1], "k22");
    rec.k[1][0] = rec.k[0][1];

    // 9. Modal damping ratios, as fractions of critical.
    static const char *const damping_names[2] = {"damping ratio 1", "damping ratio 2"};
    for (rec.i = 0; rec.i < 2; ++rec.i) {
        std::printf("\n\n Enter modal damping ratio %ld \n", static_cast<long>(rec.i + 1));
        read_number(rec.damp[rec.i], damping_names[rec.i]);
    }

    // 10-12. Initial velocities, then initial displacements.
    static const char *const velocity_names[2] = {"initial velocity 1", "initial velocity 2"};
    static const char *const displacement_names[2] = {"initial displacement 1",
                                                      "initial displacement 2"};
    std::printf("\n");
    for (rec.i = 0; rec.i < 2; ++rec.i) {
        std::printf("\n\n Enter initial velocity for mass %ld %s\n", static_cast<long>(rec.i + 1),
                    rec.vu);
        read_number(rec.vi[rec.i], velocity_names[rec.i]);
    }
    std::printf("\n");
    for (rec.i = 0; rec.i < 2; ++rec.i) {
        std::printf("\n\n Enter initial displacement for mass %ld %s\n",
                    static_cast<long>(rec.i + 1), rec.du);
        read_number(rec.di[rec.i], displacement_names[rec.i]);
    }
    std::printf("\n");

    if (first_unread != nullptr)
        std::fprintf(stderr, "pelmar_initial: could not read %s: %s\n", first_unread,
                     unread_at_end ? "end of input" : "not a number");
}
