// Participation factors and effective modal masses for both masses pushed in the same direction.
#include "modal/modal.h"

#include "frame/frame.h"

#include <cmath>

// The factors to the report first, then the console.
static void report_then_console(const char *heading, double first, double second) {
    std::FILE *const streams[2] = {rec.pFile[0], stdout};
    for (std::FILE *f : streams) {
        emit(f, "%s", heading);
        emit(f, "%12.4f   \n", first);
        emit(f, "%12.4f   \n\n", second);
    }
}

void participation() {
    // Gamma_r = phi_r^T M {1}: M {1} is the row sums of M.
    const double l0 = rec.m[0][0] + rec.m[0][1];
    const double l1 = rec.m[1][0] + rec.m[1][1];
    rec.part1 = l0 * rec.vector[0][0] + l1 * rec.vector[1][0];
    rec.part2 = l0 * rec.vector[0][1] + l1 * rec.vector[1][1];
    // "Particpation" is spelled so on purpose: the heading is part of the program's fixed output,
    // which report files kept from earlier runs and the scripts that read them compare against.
    report_then_console("\n\n Particpation Factors \n\n", rec.part1, rec.part2);
    rec.gamma[0] = rec.part1;
    rec.gamma[1] = rec.part2;

    // Effective modal mass Gamma_r^2 (modes have unit modal mass): the share of the total
    // mass that each mode carries. Both together account for all of it.
    rec.part1 = std::pow(rec.part1, 2.0);
    rec.part2 = std::pow(rec.part2, 2.0);
    report_then_console("\n\n Effective Modal Mass \n\n", rec.part1, rec.part2);

    const double total = rec.part1 + rec.part2;
    if (rec.iunit == 1) {
        std::printf("\n\n Total Modal Mass = %12.4f  lbf sec^2/in \n\n", total);
        report("\n\n Total Modal Mass = %12.4f  lbf sec^2/in \n", total);
    } else {
        std::printf("\n\n Total Modal Mass = %12.4f kg\n\n", total);
        report("\n\n Total Modal Mass = %12.4f kg\n", total);
    }
}
