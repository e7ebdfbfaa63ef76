// Entry point: free vibration of a two-degree-of-freedom system, from dialogue to time history.
//
// What it computes. Two lumped masses coupled by springs, M x'' + C x' + K x = 0, with a
// symmetric 2x2 mass matrix M and stiffness matrix K typed by the user and the damping given
// as a ratio of critical per mode. The undamped eigenproblem K phi = lambda M phi is solved in
// closed form (det(K - lambda M) is a quadratic in lambda); the program reports the eigenvalues,
// the natural frequencies in rad/sec and Hz, the mode shapes, the mass-normalised modes P
// (P^T M P = I, so each mode is a unit-mass oscillator), the checks P^T M P and P^T K P, the
// participation factors and effective modal masses for both masses pushed together, and then
// writes the damped free vibration after release, by modal superposition in closed form, as
// displacement, velocity and acceleration histories of both masses.
//
// How to build. The C++17 standard library is all it needs:
//     cmake -S . -B build && cmake --build build -j2 --target pelmar_initial
//
// A sample run: the English two-mass model (examples/english_two_mass.txt; the thirteen
// answers are listed by --help and in the README):
//     build/pelmar_initial examples/english_two_mass.txt
// gives omega1 = 4.6821 and omega2 = 15.1022 rad/sec, a total modal mass of 3.0000 and 1238
// time steps of 0.0130014 sec, in pelmar.out, disp.out, velox.out and accel.out, replaced only
// when a run completes.
#include "frame/frame.h"
#include "input/input.h"
#include "modal/modal.h"
#include "response/response.h"

// Ends a run whose model gives no results (rec.fault says why): no file is replaced, the
// cause goes to stderr, and at a terminal the key wait keeps the window open to read it.
static int stop_for_the_model() {
    abandon_output_files();
    std::fprintf(stderr, "pelmar_initial: %s; nothing was written and the earlier results are kept\n", rec.fault);
    std::printf("\n\n Press any key to exit.\n\n");
    console_written();
    wait_for_key();
    return 4;
}

int main(int argc, char **argv) {
    // 1. --help and --version answer and end, any other argument is refused; none of them asks
    // a question or touches a file.
    const int answered = answer_arguments(argc, argv);
    if (answered >= 0) return answered;

    // 2. Create the report file and the three response files, under temporary names.
    if (!open_output_files()) return 1;

    // 3. Banner, on the console and in the report.
    both("\n\n pelmar_initial  ver 1.0 \n");
    both(" January 7, 2010\n");

    // 4. What the program does, on the console only.
    std::printf("\n\n This program finds the eigenvalues and eigenvectors for a ");
    std::printf("\n two-degree-of-freedom system.");
    std::printf("\n\n The equation of motion is:  \n M (d^2x/dt^2) + K x = 0 \n\n");

    // 5. Two degrees of freedom.
    rec.n = 2;

    // 6. The stages, once each and in this order. Answers that are missing or not numbers leave
    // no model to analyse: the run ends with exit status 3 and the earlier files in place.
    data_input();     // units, M, K, damping, initial velocity and displacement
    if (!rec.answers_complete) {
        abandon_output_files();
        return 3;
    }
    printmat();       // echo of M and K
    eigenvalues();    // det(K - lambda M) = 0 and the natural frequencies
    // A model that is not physical has no modes to show: the run ends with exit status 4.
    if (rec.fault != nullptr) return stop_for_the_model();
    eigenvectors();   // mode shapes, mass normalisation, orthogonality checks
    participation();  // participation factors and effective modal masses
    time_history();   // damped free vibration into the three response files
    // Nor does one whose record cannot be counted or whose response leaves double range.
    if (rec.fault != nullptr) return stop_for_the_model();
    // A record too large for the disk was refused before writing: the earlier files are kept.
    if (rec.output_abandoned) {
        console_written();
        return 1;
    }
    run_summary();    // the run's inputs, time grid and peaks at the end of the report

    // 7. Closing summary: the files and their units.
    std::printf("\n Output Files: \n\n");
    std::printf(" %s \n", rec.filename[0]);
    std::printf(" %s  %s\n", rec.filename[1], rec.du);
    std::printf(" %s  %s\n", rec.filename[2], rec.vu);
    std::printf(" %s  %s\n", rec.filename[3], rec.au);

    // 8. Put the four files in place if every result reached them (else keep the earlier ones),
    // make sure the console got everything too, then wait for a key.
    const bool written = close_output_files();
    std::printf("\n\n Press any key to exit.\n\n");
    const bool shown = console_written();
    wait_for_key();

    // 9. A run whose files or console could not all be written is not a success.
    return written && shown ? 0 : 1;
}
