// Quick checks that the harness itself works: a whole run and an in-process run.
#include "harness.h"

#include "frame/frame.h"

#include <gtest/gtest.h>

TEST(Harness, WholeRunAndInProcessAgree) {
    const RunResult r = run_program(answers(2, 1, 0, 1, 2, -1, 2, 0, 0, 0, 0, 1, 1));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const double m[2][2] = {{1, 0}, {0, 1}}, k[2][2] = {{2, -1}, {-1, 2}};
    const double z[2] = {0, 0}, v[2] = {0, 0}, d[2] = {1, 1};
    run_stages(2, m, k, z, v, d);
    EXPECT_DOUBLE_EQ(rec.ev1, 1.0);
    EXPECT_DOUBLE_EQ(rec.ev2, 3.0);
}
