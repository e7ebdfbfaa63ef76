// Entry point: free vibration of a two-degree-of-freedom system, from dialogue to time history.
#include "frame/frame.h"
#include "input/input.h"
#include "modal/modal.h"
#include "response/response.h"

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

    // 6. The stages, once each and in this order.
    data_input();     // units, M, K, damping, initial velocity and displacement
    printmat();       // echo of M and K
    eigenvalues();    // det(K - lambda M) = 0 and the natural frequencies
    eigenvectors();   // mode shapes, mass normalisation, orthogonality checks
    participation();  // participation factors and effective modal masses
    time_history();   // damped free vibration into the three response files

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
