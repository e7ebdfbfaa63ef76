// Benchmark: what opening the four temporaries and putting them in place as one set costs a run.
#include "frame/frame.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double tenth_slowest(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() * 9 / 10];
}

}  // namespace

// Runs `rounds` replacements in a fresh folder under /tmp (or argv[2]), each writing a few
// hundred bytes into each file, and prints the median and the 90th percentile of the two calls
// in microseconds. The files' contents are small on purpose: the writing is the writer's
// benchmark; here only the creating, locking, renaming and removing count.
int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::string dir = std::string(argc > 2 ? argv[2] : "/tmp") + "/pelmar_bench_XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) return 2;
    std::vector<double> open_us, close_us;
    for (int round = 0; round < rounds; ++round) {
        rec = AnalysisRecord{};
        Clock::time_point start = Clock::now();
        if (!open_output_files()) return 1;
        open_us.push_back(micros_since(start));
        for (std::FILE *f : rec.pFile)
            for (int line = 0; line < 10; ++line) std::fprintf(f, " %12.5e  \t %10.4e \t  %10.4e \n", line * 0.1, 1.0, 2.0);
        start = Clock::now();
        if (!close_output_files()) return 1;
        close_us.push_back(micros_since(start));
    }
    std::printf("%d replacements in %s%s:\n", rounds, dir.c_str(),
                std::getenv("PELMAR_TEST_NAMED_TEMPORARIES") != nullptr ? " (named temporaries forced)" : "");
    std::printf("  open_output_files   median %7.1f us   90th percentile %7.1f us\n", median(open_us), tenth_slowest(open_us));
    std::printf("  close_output_files  median %7.1f us   90th percentile %7.1f us\n", median(close_us), tenth_slowest(close_us));
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"}) std::remove(name);
    if (chdir("/") == 0) rmdir(dir.c_str());
    return 0;
}
