// The report's closing section: what the run was given, its time grid and its largest responses.
#include "response/response.h"

#include "frame/frame.h"

#include <cmath>
#include <cstdint>

// Everything an engineer needs to read the report without the console or the answers that
// produced it: units, damping, initial state, time grid, the peaks of the three response files
// and the share of the total mass each mode carries. Written after the time history, whose
// peaks it reports, and to the report file only: the console is unchanged.
void run_summary() {
    const bool english = rec.iunit == 1;
    report("\n\n Run Summary \n\n");
    report(english ? " Units = English: lbf sec^2/in (masses typed in lbm), lbf/in, in, in/sec, G \n"
                   : " Units = metric: kg, N/m, m, m/sec, m/sec^2 \n");
    for (int r = 0; r < 2; ++r) report(" Damping ratio %d = %12.4f \n", r + 1, rec.damp[r]);
    for (int i = 0; i < 2; ++i) report(" Initial velocity %d %s = %12.4e \n", i + 1, rec.vu, rec.vi[i]);
    for (int i = 0; i < 2; ++i) report(" Initial displacement %d %s = %12.4e \n", i + 1, rec.du, rec.di[i]);
    report(" Time step = %12.5e sec \n", rec.dt);
    report(rec.duration > 0.0   ? " Duration = %12.5e sec (asked for with --duration) \n"
           : rec.omega[0] == 0.0 ? " Duration = %12.5e sec (twelve periods of mode 2: mode 1 is a rigid-body motion) \n"
                                 : " Duration = %12.5e sec (twelve periods of mode 1) \n",
           rec.dur);
    report(" Number of steps = %ld \n", static_cast<long>(rec.steps));

    // Each peak as the files print it, the time in the files' own time format, so that the
    // line holding it can be found.
    report("\n\n Largest Absolute Response (time in sec) \n\n");
    if (rec.steps <= 0) {
        report(" No time history was written. \n");
    } else {
        report(" %-22s %-30s %s \n", "", "mass 1", "mass 2");
        const char *const names[3] = {"Displacement", "Velocity", "Acceleration"};
        const char *const units[3] = {rec.du, rec.vu, rec.au};
        for (int f = 0; f < 3; ++f) {
            char label[32];
            std::snprintf(label, sizeof label, "%s %s", names[f], units[f]);
            report(" %-22s", label);
            for (int i = 0; i < 2; ++i) {
                // -1: not one number among the values written (a model that is not physical).
                const double peak = rec.peak[f][i] >= 0.0 ? rec.peak[f][i] : std::nan("");
                const double t = static_cast<double>(rec.peak_step[f][i]) * rec.dt;
                report("%s%10.4e  at %12.*e", i == 0 ? " " : "    ", peak, rec.time_decimals, t);
            }
            report(" \n");
        }
    }

    // Effective modal masses as shares of their total, which equals the total mass.
    const double total = rec.part1 + rec.part2;
    report("\n\n Effective Modal Mass, %% of total \n\n");
    report("%12.4f   \n", 100.0 * rec.part1 / total);
    report("%12.4f   \n", 100.0 * rec.part2 / total);

    // The modal results once more, to six significant digits: the four decimals above leave a
    // frame of tons with mass-normalised modes of one or two digits (0.0010), useless for a
    // check by hand.
    report("\n\n Modal Results, Six Significant Digits \n\n");
    for (int r = 0; r < 2; ++r)
        report(" omega%d = %13.5e rad/sec   fn%d = %13.5e Hz \n", r + 1, rec.omega[r], r + 1, rec.omega[r] / rec.tpi);
    report("\n Normalized Eigenvectors (column format) \n");
    for (int i = 0; i < 2; ++i) report(" %13.5e %13.5e \n", rec.vector[i][0], rec.vector[i][1]);
    report("\n Participation Factors \n");
    for (int r = 0; r < 2; ++r) report(" %13.5e \n", rec.gamma[r]);
}
