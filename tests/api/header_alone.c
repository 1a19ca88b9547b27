/* The public header compiles alone as C, and a C host linked against the
 * shared library gets the group statistics of a small row through it. */
#include "kestrumr.h"

#include <stdio.h>

int main(void) {
    const double x[6] = {1, 3, 2, 4, 6, 5};
    const int32_t ipool = 1, ngrp = 3, ntot = 6;
    const int32_t nobs[3] = {2, 3, 1};
    double ybar[3], s2[3], ybar0 = -1.0, s20 = -1.0;
    parametercal_(x, &ipool, &ngrp, &ntot, nobs, ybar, s2, &ybar0, &s20);
    if (ybar[0] != 2.0 || ybar[1] != 4.0 || ybar[2] != 5.0 || s2[0] != 2.0 ||
        s2[1] != 4.0 || s2[2] == s2[2] || ybar0 != 3.5 || s20 != 3.5) {
        printf("parametercal_ through the C interface gave wrong results\n");
        return 1;
    }
    printf("C host: ok\n");
    return 0;
}
