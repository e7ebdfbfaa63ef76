// Echo of the mass and stiffness matrices as stored (English masses already in lbf sec^2/in).
#include "modal/modal.h"

#include "frame/frame.h"

void printmat() {
    both("\n\n Mass matrix \n");
    matrix_block_both(rec.m, "%12.4lf  ");
    both("\n\n Stiffness matrix \n");
    matrix_block_both(rec.k, "%12.4lf  ");
}
