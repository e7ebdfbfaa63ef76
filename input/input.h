// Data entry: the console dialogue that chooses the units and takes the model.
#pragma once

// Asks for the unit system, M, K, the two modal damping ratios and the initial velocity and
// displacement of both masses (13 numbers), and stores them in the analysis record.
void data_input();
