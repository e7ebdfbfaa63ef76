// Data entry: the console dialogue that chooses the units and takes the model.
#pragma once

// Asks for the unit system, M, K, the two modal damping ratios and the initial velocity and
// displacement of both masses (13 numbers), and stores them in the analysis record. At a
// terminal an answer that is not a number is asked again. From a file or a pipe such an
// answer, and the end of input before the thirteenth answer anywhere, stops the dialogue with
// one stderr line; answers_complete then stays false.
void data_input();
