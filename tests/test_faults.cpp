// Real fault cases: output files that cannot be created, replaced or written, a console that
// cannot be written, runs stopped halfway, answers mistyped at a terminal, and the final key
// wait with and without a terminal.
#include "expected_text.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <vector>
#include <unistd.h>

using expected::ends_with;

namespace {

// The folder as a run left it: each entry's name and contents ("<folder>" for a folder).
std::map<std::string, std::string> folder_of(const std::string &dir) {
    std::map<std::string, std::string> entries;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        entries[name] = e.is_directory()       ? "<folder>"
                        : e.is_regular_file() ? read_file(e.path().string())
                                              : "<not a file>";  // a FIFO is never opened
    }
    return entries;
}

// A run that cannot finish, or that is only asked about itself, in a folder holding the results
// of an earlier run.
struct FaultCase {
    const char *name;
    RunSetup setup = {};
    int status = 0;
    std::vector<const char *> err_lines = {};  // the stderr lines, in order, each holding its text
    const char *err_reason = "";          // held by every stderr line but the closing "kept" one
    std::vector<const char *> out_has = {};    // texts the console shows, in this order
    bool replaces = false;                // the four files are this run's, else the earlier ones
    const char *typed = nullptr;          // the answers, when not the faultless ones below
    const char *disk_size = nullptr;      // the folder is a tmpfs of this size (root only)
    bool needs_root = false;              // the folder is set up as root for another user's run
    bool fat = false;                     // the folder is a FAT file system mounted through FUSE
    void (*prepare)(const std::string &dir) = nullptr;  // changes the earlier results' folder first
};

const char *const kept_line = "no file was replaced; the earlier results are kept";

// 998,400 steps (stiff k22, 130 MB a file): long enough to be killed while it is written.
const char *const million_steps = "2 1 0 1 1 -0.001 6760000 0.02 0.02 0 0 1 1\n";
// A file whose fourteenth answer comes 5000 spaces after the thirteenth, in a later block than
// the one read with the answers: only a file read to its end (not taken for a pipe) finds it.
const std::string spaces_then_fourteen =
    "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02" + std::string(5000, ' ') + "0.02\n";
// A self-excited second mode: the run completes, with one stderr line about the damping.
const char *const growing_mode = "2 1 0 1 2 -1 2 0.02 -0.1 0.5 -0.25 0.01 0.02\n";

// The run as the unprivileged user "nobody", who may write every earlier file but, in the
// sticky folder that sticky_folder_shared_with_nobody prepares, not rename over the two that root owns.
void as_nobody() {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

int status_of(pid_t pid);

// The program copied where "nobody" can reach it: the checkout may lie in a folder that only its
// owner may enter. Empty when even the temporary folder is out of nobody's reach.
const std::string &program_for_nobody() {
    static const std::string exe = [] {
        const std::string dir = make_temp_dir(), copy = dir + "/pelmar_initial";
        std::error_code ec;
        std::filesystem::copy_file(PELMAR_EXE, copy, ec);
        if (ec || chmod(dir.c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) return std::string();
        const pid_t pid = fork();
        if (pid == 0) {
            as_nobody();
            _exit(access(copy.c_str(), X_OK) == 0 ? 0 : 1);
        }
        return status_of(pid) == 0 ? copy : std::string();
    }();
    return exe;
}

void named_temporaries() { setenv("PELMAR_TEST_NAMED_TEMPORARIES", "1", 1); }

// What a check made while the run was asking found wrong; empty when all was well.
std::string found_while_asking;

// While a run with named temporaries waits for its answers, "nobody" tries to open each of them.
void others_try_to_read(const std::string &dir) {
    found_while_asking.clear();
    chmod(dir.c_str(), 0755);
    int hidden = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name[0] != '.' || name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") != 0) continue;
        ++hidden;
        const pid_t pid = fork();
        if (pid == 0) {
            as_nobody();
            _exit(open(e.path().c_str(), O_RDONLY) >= 0 ? 1 : 0);
        }
        if (status_of(pid) != 0) found_while_asking += name + " was readable by another user; ";
    }
    if (hidden != 4) found_while_asking += std::to_string(hidden) + " hidden temporaries, not 4; ";
}

// A console that went away: standard output is a pipe whose reading end is closed (`| true`).
void console_pipe_closed() {
    int p[2];
    if (pipe(p) != 0 || dup2(p[1], 1) < 0) _exit(126);
    close(p[0]);
    close(p[1]);
}

// Seven descriptors in all: the three standard ones and four more.
void seven_descriptors() {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    const rlimit limit = {7, 7};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
}

// The run starts in a folder that has been removed.
void in_a_deleted_folder() {
    if (mkdir("gone", 0700) != 0 || chdir("gone") != 0 || rmdir("../gone") != 0) _exit(126);
}

// The earlier results' folder as some cases need it: a folder where accel.out was, a FIFO
// where pelmar.out was (watched, so that any opening of it shows), and a sticky folder open to
// all where nobody owns the first two files and root the last two, which nobody may write (so
// the check before the dialogue passes) but not replace.
void folder_at_accel_out(const std::string &dir) {
    ASSERT_EQ(std::remove((dir + "/accel.out").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/accel.out").c_str(), 0755), 0);
}
int fifo_watch = -1;
void fifo_at_pelmar_out(const std::string &dir) {
    ASSERT_EQ(std::remove((dir + "/pelmar.out").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/pelmar.out").c_str(), 0644), 0);
    fifo_watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(fifo_watch, (dir + "/pelmar.out").c_str(), IN_OPEN), 0);
}
void sticky_folder_shared_with_nobody(const std::string &dir) {
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    for (const char *name : {"pelmar.out", "disp.out"})
        ASSERT_EQ(chown((dir + "/" + name).c_str(), 65534, 65534), 0);
    for (const char *name : {"velox.out", "accel.out"})
        ASSERT_EQ(chmod((dir + "/" + name).c_str(), 0666), 0);
}

// The earlier files with no report and no displacement file beside them: a refused rename must
// take back the two files the run created, not only the ones it replaced.
void sticky_folder_with_two_files_missing(const std::string &dir) {
    sticky_folder_shared_with_nobody(dir);
    for (const char *name : {"pelmar.out", "disp.out"}) ASSERT_EQ(std::remove((dir + "/" + name).c_str()), 0);
}
// The folder and its files given to nobody, who runs there; while the run asks, accel.out is
// made read-only, which the run must see before it moves any file.
void folder_of_nobody(const std::string &dir) {
    for (const char *name : {"", "/pelmar.out", "/disp.out", "/velox.out", "/accel.out"})
        ASSERT_EQ(chown((dir + name).c_str(), 65534, 65534), 0);
}
void accel_out_made_read_only(const std::string &dir) { chmod((dir + "/accel.out").c_str(), 0444); }

// Whatever room the earlier results left on their small disk is taken by a file beside them.
void fill_the_disk(const std::string &dir) {
    std::ofstream filler(dir + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), std::streamsize(block.size())) && filler.flush()) {
    }
}

// A case is shown by its name in the test log, not as a dump of its bytes.
void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

// What a run stopped by its answers says after naming the answer.
const char *const kept = "nothing was written and the earlier results are kept";

class EarlierResults : public ::testing::TestWithParam<FaultCase> {};

// Runs that do not finish: stopped by a signal, a limit, a file that cannot be written or
// replaced, their answers or their model. The earlier files stay as they were.
INSTANTIATE_TEST_SUITE_P(
    DoesNotFinish, EarlierResults,
    ::testing::Values(
        // An interrupted run gets its first answers only.
        FaultCase{.name = "Interrupted", .setup = {.interrupt = true}, .status = 128 + SIGINT,
                  .typed = "2 1 0 1\n"},
        // Room for the report and the console, not for the histories.
        FaultCase{.name = "FileSizeLimit", .setup = {.file_size_limit = 16 * 1024}, .status = 1,
                  .err_lines = {"disp.out", "velox.out", "accel.out", kept_line},
                  .err_reason = "File too large", .out_has = {"Output Files", "Press any key"}},
        // Killed outright: the unfinished files never had a name in the folder.
        FaultCase{.name = "KilledDuringHistory", .setup = {.signal_in_history = SIGKILL},
                  .status = 128 + SIGKILL, .typed = million_steps},
        // velox.out cannot be renamed over, after pelmar.out and disp.out were: both are put back.
        FaultCase{.name = "OneRenameRefused", .setup = {.in_child = as_nobody}, .status = 1,
                  .err_lines = {"velox.out", kept_line}, .err_reason = "Operation not permitted",
                  .needs_root = true, .prepare = sticky_folder_shared_with_nobody},
        FaultCase{.name = "NewFilesTakenBackWhenARenameIsRefused", .setup = {.in_child = as_nobody}, .status = 1,
                  .err_lines = {"velox.out", kept_line}, .err_reason = "Operation not permitted",
                  .needs_root = true, .prepare = sticky_folder_with_two_files_missing},
        FaultCase{.name = "FileMadeReadOnlyDuringTheDialogue",
                  .setup = {.in_child = as_nobody, .while_asking = accel_out_made_read_only,
                            .then_typed = "1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
                  .status = 1, .err_lines = {"accel.out", kept_line}, .err_reason = "Permission denied",
                  .typed = "2 1 0\n", .needs_root = true, .prepare = folder_of_nobody},
        FaultCase{.name = "FolderNamedAccelOut", .status = 1, .err_lines = {"accel.out"},
                  .err_reason = "Is a directory", .prepare = folder_at_accel_out},
        // A FIFO at the report's name is judged by its type: never opened, so its reader sees nothing.
        FaultCase{.name = "FifoNamedPelmarOut", .status = 1, .err_lines = {"pelmar.out"},
                  .err_reason = "not a regular file", .prepare = fifo_at_pelmar_out},
        FaultCase{.name = "TooFewDescriptors", .setup = {.in_child = seven_descriptors}, .status = 1,
                  .err_lines = {"cannot create"}, .err_reason = "Too many open files"},
        FaultCase{.name = "DeletedFolder", .setup = {.in_child = in_a_deleted_folder}, .status = 1,
                  .err_lines = {"cannot create pelmar.out"},
                  .err_reason = "the current folder has been deleted"},
        // Named temporaries stay private until complete: another user cannot open one while the
        // run asks for its answers.
        FaultCase{.name = "NamedTemporariesArePrivate", .setup = {.interrupt = true,
                  .in_child = named_temporaries, .while_asking = others_try_to_read}, .status = 128 + SIGINT,
                  .typed = "2 1 0 1\n", .needs_root = true},
        // A control byte in a refused answer is shown escaped: raw, ESC[2K would erase the line.
        FaultCase{.name = "ControlBytesInAnAnswer", .status = 3,
                  .err_lines = {"answer 2 (m11): '\\x1b[2K1' is not a number"}, .err_reason = kept,
                  .out_has = {"Enter m11 (kg)\n"},
                  .typed = "2 \x1b[2K1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        // Answers from a file that are not numbers, or too few: the run stops at the answer it
        // names, after that answer's prompt.
        FaultCase{.name = "LastAnswerMistyped", .status = 3,
                  .err_lines = {"answer 13 (initial displacement 2): '38b' is not a number"},
                  .err_reason = kept, .out_has = {"Enter initial displacement for mass 2 (m)\n"},
                  .typed = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 38b\n"},
        FaultCase{.name = "FirstMassMistyped", .status = 3,
                  .err_lines = {"answer 2 (m11): '38b' is not a number"}, .err_reason = kept,
                  .out_has = {"Enter m11 (kg)\n"}, .typed = "2 38b 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "DecimalComma", .status = 3,
                  .err_lines = {"answer 8 (damping ratio 1): '0,02' is not a number"}, .err_reason = kept,
                  .out_has = {"Enter modal damping ratio 1 \n"},
                  .typed = "2 1 0 1 2 -1 2 0,02 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "UnitAnswerNotWhole", .status = 3,
                  .err_lines = {"answer 1 (unit system): '1.0' is not a whole number"}, .err_reason = kept,
                  .out_has = {"1=English  2=metric \n"},
                  .typed = "1.0 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        // Base 10 only: a hexadecimal 0x1 must not pass for the English system.
        FaultCase{.name = "UnitAnswerHexadecimal", .status = 3,
                  .err_lines = {"answer 1 (unit system): '0x1' is not a whole number"}, .err_reason = kept,
                  .out_has = {"1=English  2=metric \n"},
                  .typed = "0x1 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        // An answer longer than its 80-byte room is cut and marked, never written past the room.
        FaultCase{.name = "AnswerLongerThanItsRoom", .status = 3,
                  .err_lines = {"answer 2 (m11): '1111111111111111111111111111111111111111111111111111111111111111111111111111...' "
                                "is not a number"},
                  .err_reason = kept, .out_has = {"Enter m11 (kg)\n"},
                  .typed = "2 11111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111"
                           " 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "NotANumber", .status = 3, .err_lines = {"answer 7 (k22): 'nan' is not a number"},
                  .err_reason = kept, .out_has = {"Enter k22 \n"},
                  .typed = "2 1 0 1 2 -1 nan 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "OutOfRange", .status = 3,
                  .err_lines = {"answer 10 (initial velocity 1): '1e400' is out of range"}, .err_reason = kept,
                  .out_has = {"Enter initial velocity for mass 1 (m/sec)\n"},
                  .typed = "2 1 0 1 2 -1 2 0.02 0.1 1e400 -0.25 0.01 0.02\n"},
        FaultCase{.name = "EmptyInput", .status = 3, .err_lines = {"answer 1 (unit system): the input ended"},
                  .err_reason = kept, .out_has = {"1=English  2=metric \n"}, .typed = ""},
        FaultCase{.name = "InputCutAfterTwoAnswers", .status = 3,
                  .err_lines = {"answer 3 (m12): the input ended"}, .err_reason = kept,
                  .out_has = {"Enter m12 (kg)\n"}, .typed = "2 1\n"},
        // Models that are not physical: the eigenvalues are shown, then one line names the cause,
        // exit 4. One answer left out of the English example (k11) makes K indefinite.
        FaultCase{.name = "NegativeMass", .status = 4,
                  .err_lines = {"the mass matrix is not positive definite"}, .err_reason = kept,
                  .out_has = {" fn2 =", "Press any key"},
                  .typed = "2 -1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "OneAnswerLeftOut", .status = 4,
                  .err_lines = {"the stiffness matrix is not positive semi-definite"}, .err_reason = kept,
                  .out_has = {" fn2 =", "Press any key"}, .typed = "1 386 0 772 200 100 0.05 0.05 0 0 1 0 0\n"},
        FaultCase{.name = "NoSpring", .status = 4, .err_lines = {"the stiffness matrix is zero"},
                  .err_reason = kept, .out_has = {" fn2 =", "Press any key"},
                  .typed = "2 1 0 1 0 0 0 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "EigenvalueOverflow", .status = 4, .err_lines = {"an eigenvalue overflows"},
                  .err_reason = kept, .out_has = {" fn2 =", "Press any key"},
                  .typed = "2 1e-200 0 1e-200 2e200 -1e200 2e200 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        // Frequencies 1 and 1e8 rad/sec: 3.84e10 steps, finite, but beyond a 32-bit count.
        FaultCase{.name = "FrequenciesTooFarApart", .status = 4,
                  .err_lines = {"3.840e+10 steps exceed a 32-bit step count"}, .err_reason = kept,
                  .out_has = {"Effective Modal Mass", "Press any key"},
                  .typed = "2 1 0 1 1 0 1e16 0.02 0.1 0.5 -0.25 0.01 0.02\n"},
        // A strongly negative ratio on a stiff mode grows past 1e308 while the history is written.
        FaultCase{.name = "ResponseLeavesDoubleRange", .status = 4,
                  .err_lines = {"damping ratio 2 is -20", "grows beyond double range"},
                  .out_has = {"Effective Modal Mass", "Press any key"},
                  .typed = "2 1 0 1 2 -1 1e6 0.05 -20 0 0 1 1\n"},
        // 121 million steps, 17 GB, on a 2 MB disk: sized in whole gigabytes, refused at once.
        FaultCase{.name = "SeventeenGigabytesOnASmallDisk", .status = 1,
                  .err_lines = {"the time history has 121431462 steps; the three response files take about 17 GB",
                                "need about 17 GB but only"},
                  .err_reason = "GB", .typed = "2 1 0 1 1 -0.001 1e11 0.02 0.02 0 0 1 1\n", .disk_size = "2m"},
        // Exactly a million steps is not yet a long record: no size line, the writes fail.
        FaultCase{.name = "AMillionStepsOnASmallDisk", .setup = {.args = {"--duration", "13001.359"}}, .status = 1,
                  .err_lines = {"pelmar.out", "disp.out", "velox.out", "accel.out", kept_line},
                  .err_reason = "No space left", .typed = "1 386 0 772 200 -100 100 0.05 0.05 0 0 1 0\n",
                  .disk_size = "2m"},
        // A disk with no room left at all refuses a long record before writing it.
        FaultCase{.name = "LongRecordOnAFullDisk", .status = 1,
                  .err_lines = {"the time history has 1099608 steps", "but only 0.0 MB is free here"},
                  .err_reason = "MB", .typed = "2 1 0 1 1 -0.001 8.2e6 0.02 0.02 0 0 1 1\n", .disk_size = "2m",
                  .prepare = fill_the_disk},
        // 1.1 million steps, 145 MB, on a 2 MB disk: told, then refused before writing.
        FaultCase{.name = "DiskTooSmallForTheRecord", .status = 1,
                  .err_lines = {"the time history has 1099608 steps; the three response files take about 145 MB",
                                "MB is free here; nothing was written"},
                  .err_reason = "MB", .typed = "2 1 0 1 1 -0.001 8.2e6 0.02 0.02 0 0 1 1\n", .disk_size = "2m"}),
    [](const auto &info) { return std::string(info.param.name); });

// Runs that finish, with a line on stderr or without one, in awkward circumstances: all four
// files are this run's.
INSTANTIATE_TEST_SUITE_P(
    FinishesWithAMessage, EarlierResults,
    ::testing::Values(
        // With stderr closed, the damping note must not become the report's first line.
        FaultCase{.name = "StderrClosed", .setup = {.in_child = [] { close(2); }}, .replaces = true,
                  .typed = growing_mode},
        // A USB stick: no exchange, no rename that refuses to replace, no hard links; the plain
        // rename does it (and the temporaries are named ones: FUSE has no unnamed files).
        FaultCase{.name = "FatFolder", .out_has = {"Press any key"}, .replaces = true, .fat = true},
        // `| true`: the console's end is a failed write with its line, not a silent SIGPIPE; the
        // files are still written.
        FaultCase{.name = "ConsolePipeClosed", .setup = {.in_child = console_pipe_closed}, .status = 1,
                  .err_lines = {"console"}, .err_reason = "Broken pipe", .replaces = true},
        FaultCase{.name = "ConsoleOnFullDevice", .setup = {.stdout_path = "/dev/full"}, .status = 1,
                  .err_lines = {"console"}, .err_reason = "No space left", .replaces = true},
        // A fourteenth answer is named but does not stop the run, from a file or from a pipe that
        // is never closed (where only what has arrived is looked at, so the run cannot hang).
        FaultCase{.name = "FourteenAnswers", .err_lines = {"after answer 13 and was ignored"},
                  .out_has = {"Press any key"}, .replaces = true,
                  .typed = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n0.02\n"},
        FaultCase{.name = "FourteenAnswersAfterManySpaces", .err_lines = {"after answer 13 and was ignored"},
                  .out_has = {"Press any key"}, .replaces = true, .typed = spaces_then_fourteen.c_str()},
        FaultCase{.name = "FourteenAnswersOpenPipe", .setup = {.input_stays_open = true},
                  .err_lines = {"after answer 13 and was ignored"}, .out_has = {"Press any key"},
                  .replaces = true, .typed = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02 0.02\n"},
        FaultCase{.name = "ThirteenAnswersOpenPipe", .setup = {.input_stays_open = true},
                  .out_has = {"Press any key"}, .replaces = true},
        // Damping ratios that look like slips, and a rigid-body mode: named, and the run completes.
        FaultCase{.name = "DampingTypedAsPercent",
                  .err_lines = {"damping ratio 1 is 5, 500 % of critical: mode 1 is overdamped (a ratio of 0.05 is 5 %)"},
                  .out_has = {"Press any key"}, .replaces = true,
                  .typed = "2 1 0 1 2 -1 2 5 0.1 0.5 -0.25 0.01 0.02\n"},
        FaultCase{.name = "NegativeDamping",
                  .err_lines = {"damping ratio 2 is -0.1: mode 2 gains energy and its response grows"},
                  .out_has = {"Press any key"}, .replaces = true, .typed = growing_mode},
        FaultCase{.name = "FreeFreePair", .err_lines = {"mode 1 is a rigid-body motion"},
                  .out_has = {"Press any key"}, .replaces = true,
                  .typed = "2 1 0 1 1 -1 1 0.05 0.05 0.5 -0.25 0.01 0.02\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// The command line: help, version and usage errors touch nothing; a duration asked for counts in
// the size line and the free-space stop.
INSTANTIATE_TEST_SUITE_P(
    CommandLine, EarlierResults,
    ::testing::Values(
        FaultCase{.name = "Help", .setup = {.args = {"--help"}},
                  .out_has = {"unit system", "m11", "m12", "m22", "k11", "k12", "k22", "mode 1", "mode 2",
                              "velocity, mass 1", "velocity, mass 2", "displacement, mass 1",
                              "displacement, mass 2", "pelmar.out", "disp.out", "velox.out", "accel.out",
                              "3  the answers", "4  the model"}},
        FaultCase{.name = "Version", .setup = {.args = {"--version"}},
                  .out_has = {"pelmar_initial " PELMAR_VERSION "\n"}},
        FaultCase{.name = "HelpShort", .setup = {.args = {"-h"}},
                  .out_has = {"Usage: pelmar_initial [OPTION]... [ANSWERS-FILE]"}},
        FaultCase{.name = "UnknownArgument", .setup = {.args = {"--units=metric"}}, .status = 2,
                  .err_lines = {"unrecognized option '--units=metric'",
                                "usage: pelmar_initial [-o DIR] [--duration SECONDS] [ANSWERS-FILE | - | < ANSWERS-FILE]",
                                "Try 'pelmar_initial --help'"}},
        FaultCase{.name = "MissingAnswersFile", .setup = {.args = {"no-such-model.txt"}}, .status = 2,
                  .err_lines = {"cannot read the answers file 'no-such-model.txt': No such file or directory"}},
        FaultCase{.name = "MissingOutputFolder", .setup = {.args = {"-o", "no-such-folder"}}, .status = 2,
                  .err_lines = {"cannot use the output folder 'no-such-folder': No such file or directory"}},
        FaultCase{.name = "DurationNotPositive", .setup = {.args = {"--duration", "-5"}}, .status = 2,
                  .err_lines = {"--duration needs a positive number of seconds, not '-5'", "usage:", "Try"}},
        // A duration asked for counts in the size line and the free-space stop.
        FaultCase{.name = "LongDurationOnASmallDisk", .setup = {.args = {"--duration", "130000"}}, .status = 1,
                  .err_lines = {"the time history has 1146764 steps", "MB is free here; nothing was written"},
                  .err_reason = "MB", .disk_size = "2m"}),
    [](const auto &info) { return std::string(info.param.name); });

// The earlier results are those of the English example; the run under test has other answers,
// so a file it replaced could not pass for an earlier one.
TEST_P(EarlierResults, KeptOrReplacedAsAWhole) {
    const FaultCase &c = GetParam();
    if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to set up another user's folder";
    const char *exe = PELMAR_EXE;
    if (c.needs_root && (exe = program_for_nobody().c_str())[0] == '\0')
        GTEST_SKIP() << "the user nobody cannot reach a copy of the program in " << make_temp_dir();
    std::string dir;
    struct Unmount {
        std::string at;
        ~Unmount() {
            if (!at.empty()) std::system(("umount '" + at + "' || fusermount -u '" + at + "'").c_str());
        }
    } unmount;
    if (c.fat) {
        if (getuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "a FAT folder needs root and /dev/fuse";
        const std::string image = make_temp_dir() + "/fat.img";
        dir = make_temp_dir();
        if (std::system(("truncate -s 16M '" + image + "' && mkfs.vfat '" + image + "' >/dev/null && fusefat -o rw+ '" +
                         image + "' '" + dir + "' >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << "cannot mount a FAT image through FUSE (needs dosfstools and fusefat)";
        unmount.at = dir;
    }
    if (c.disk_size != nullptr) {
        if (getuid() != 0) GTEST_SKIP() << "a small disk needs root to mount a tmpfs";
        dir = make_temp_dir();
        if (std::system(("mount -t tmpfs -o size=" + std::string(c.disk_size) + " tmpfs '" + dir + "' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs";
        unmount.at = dir;
    }
    dir = run_program(english_answers(), dir).dir;
    if (c.prepare != nullptr) c.prepare(dir);
    if (HasFatalFailure()) return;
    const auto before = folder_of(dir);
    const char *const typed = c.typed != nullptr ? c.typed : "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n";
    const RunResult r = run_program(typed, dir, c.setup, 60, exe);
    if (fifo_watch >= 0) {
        char event[256];
        EXPECT_LT(read(fifo_watch, event, sizeof event), 0) << "the FIFO was opened";
        close(fifo_watch);
        fifo_watch = -1;
    }
    EXPECT_EQ(found_while_asking, "");
    found_while_asking.clear();

    EXPECT_EQ(r.status, c.status) << r.err;
    const auto err = expected::lines_of(r.err);
    ASSERT_EQ(err.size(), c.err_lines.size()) << r.err;
    for (std::size_t i = 0; i < err.size(); ++i) {
        EXPECT_NE(err[i].find(c.err_lines[i]), std::string::npos) << err[i];
        if (err[i].find(kept_line) == std::string::npos) {
            EXPECT_NE(err[i].find(c.err_reason), std::string::npos) << err[i];
        }
    }
    for (std::size_t i = 0, at = 0; i < c.out_has.size() && at != std::string::npos; ++i) {
        at = r.out.find(c.out_has[i], at);
        EXPECT_NE(at, std::string::npos) << c.out_has[i] << " in\n" << r.out;
    }
    // A run stopped by its answers asks nothing after the one it names.
    if (c.status == 3) {
        EXPECT_TRUE(ends_with(r.out, c.out_has.back())) << r.out;
    }
    // Nothing else in the folder, no temporary file left behind; the files either as they
    // were, or complete, as a faultless run writes them.
    EXPECT_EQ(folder_of(r.dir), c.replaces ? folder_of(run_program(typed).dir) : before);
}

// A file outside the run's folder, and symbolic links to it planted, in the run's own process
// before the program starts, at every name a temporary would have if names were predictable
// (the process id, fixed endings) and at the lock file's name.
std::string victim;
void plant_links_at_predictable_names() {
    const std::string pid = std::to_string(getpid());
    for (const std::string n : {"pelmar.out", "disp.out", "velox.out", "accel.out"})
        for (const std::string &at : {n + "." + pid + ".tmp", n + ".tmp", "." + n, "." + n + ".tmp", n + "~"})
            if (symlink(victim.c_str(), at.c_str()) != 0) _exit(126);
    if (symlink(victim.c_str(), ".pelmar.lock") != 0) _exit(126);
    if (symlink(victim.c_str(), ".pelmar.swap") != 0) _exit(126);
}

TEST(ReplacedFiles, LinksAtPredictableNamesAreNeitherFollowedNorReplaced) {
    victim = make_temp_dir() + "/victim.txt";
    std::ofstream(victim) << "not to be touched\n";
    RunSetup setup;
    setup.in_child = plant_links_at_predictable_names;
    const RunResult r = run_program(english_answers(), "", setup);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(victim), "not to be touched\n");
    const RunResult plain = run_program(english_answers());
    std::size_t links = 0, files = 0;
    for (const auto &e : std::filesystem::directory_iterator(r.dir)) {
        if (e.is_symlink()) {
            ++links;
            EXPECT_EQ(std::filesystem::read_symlink(e.path()).string(), victim);
        } else {
            ++files;
            EXPECT_EQ(read_file(e.path().string()), plain.file(e.path().filename().string())) << e.path();
        }
    }
    EXPECT_EQ(links, 21u);
    EXPECT_EQ(files, 4u);
}

TEST(ReplacedFiles, KeepTheirPermissionBits) {
    const RunResult earlier = run_program(english_answers());
    ASSERT_EQ(chmod((earlier.dir + "/pelmar.out").c_str(), 0600), 0);
    ASSERT_EQ(chmod((earlier.dir + "/disp.out").c_str(), 0640), 0);
    ASSERT_EQ(std::remove((earlier.dir + "/accel.out").c_str()), 0);
    const mode_t mask = umask(0);
    umask(mask);
    const RunResult r = run_program("2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n", earlier.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    auto mode = [&](const char *name) {
        struct stat st {};
        stat((r.dir + "/" + name).c_str(), &st);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode("pelmar.out"), 0600u);
    EXPECT_EQ(mode("disp.out"), 0640u);
    EXPECT_EQ(mode("velox.out"), 0666u & ~mask);  // the earlier run's default, kept
    EXPECT_EQ(mode("accel.out"), 0666u & ~mask);  // a new file: the default
}

// Starts the program in `dir` with the answers in the file `answers`, console and stderr
// discarded, behind `wrapper` when one is given; returns its process id.
pid_t start_run(const std::string &dir, const std::string &answers, std::vector<std::string> wrapper = {},
                const char *exe = PELMAR_EXE) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(answers.c_str(), O_RDONLY), null = open("/dev/null", O_WRONLY);
        if (chdir(dir.c_str()) != 0 || in < 0 || null < 0) _exit(126);
        dup2(in, 0);
        dup2(null, 1);
        dup2(null, 2);
        wrapper.push_back(exe);
        std::vector<char *> argv;
        for (std::string &a : wrapper) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int status_of(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs of four models (about twenty thousand steps each, so that their writing overlaps) start
// together in one folder, round after round, `runs` at a time, behind `wrapper`: every run
// completes and every round leaves the complete set of exactly one model. With `write_only` the
// folder is nobody's, mode 0333, and the runs are nobody's: "." cannot be opened to lock it.
void rounds_at_once(int rounds, int runs, std::vector<std::string> wrapper, bool write_only = false) {
    const char *const models[4] = {"2 1 0 1 1 -0.1 2500 0.02 0.02 0 0 1 1\n", "2 2 0.5 1 3 -1 4000 0.05 0.02 0 1 0.1 0\n",
                                   "1 386 0 386 100 -50 300000 0.01 0.03 1 0 0 0\n",
                                   "2 1 0 3 2 -1 9000 0.1 0.1 0.5 -0.25 0.01 0.02\n"};
    const std::string inputs = make_temp_dir(), dir = make_temp_dir();
    std::vector<std::map<std::string, std::string>> sets;
    for (int m = 0; m < 4; ++m) {
        std::ofstream(inputs + "/" + std::to_string(m)) << models[m];
        sets.push_back(folder_of(run_program(models[m]).dir));
    }
    const char *exe = PELMAR_EXE;
    if (write_only) {
        exe = program_for_nobody().c_str();
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0333), 0);
        wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    for (int round = 0; round < rounds; ++round) {
        std::vector<pid_t> pids;
        for (int m = 0; m < runs; ++m) pids.push_back(start_run(dir, inputs + "/" + std::to_string(m), wrapper, exe));
        for (pid_t pid : pids) EXPECT_EQ(status_of(pid), 0) << "round " << round;
        auto now = folder_of(dir);
        if (write_only) now.erase(".pelmar.lock");
        int matches = 0;
        for (const auto &set : sets) matches += now == set;
        ASSERT_EQ(matches, 1) << "round " << round << ": a mixed or incomplete set of " << now.size() << " entries";
    }
}

TEST(ReplacedFiles, RunsAtOnceInOneFolderLeaveOneCompleteSet) { rounds_at_once(20, 4, {}); }

// Two runs with the same process id, each in a process-id namespace of its own.
TEST(ReplacedFiles, RunsWithTheSameProcessIdLeaveOneCompleteSet) {
    if (geteuid() != 0 || std::system("unshare -p -f true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and unshare for a process-id namespace";
    rounds_at_once(5, 2, {"unshare", "-p", "-f"});
}

TEST(ReplacedFiles, RunsAtOnceInAWriteOnlyFolderLeaveOneCompleteSet) {
    if (geteuid() != 0 || std::system("setpriv --help >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    if (program_for_nobody().empty()) GTEST_SKIP() << "the user nobody cannot reach a copy of the program";
    rounds_at_once(20, 4, {}, true);
}

// SIGTERM while the files are being put in place: strace holds up the second of the swaps for
// half a second, and the signal comes once the first file is in place. It waits until the swap
// has gone as far as it goes, which is then taken back: a run ended by a signal keeps the
// earlier files, as the README says.
TEST(ReplacedFiles, ATermSignalWhileTheFilesArePutInPlaceKeepsTheEarlierSet) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    const char *const other = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n";
    const RunResult earlier = run_program(english_answers());
    const auto before = folder_of(earlier.dir);
    const auto later = folder_of(run_program(other).dir);
    const std::string inputs = make_temp_dir();
    std::ofstream(inputs + "/answers") << other;
    const pid_t tracer = start_run(earlier.dir, inputs + "/answers",
                                   {"strace", "-f", "-o", "/dev/null", "-e", "trace=renameat2", "-e",
                                    "inject=renameat2:delay_enter=500000:when=2"});
    for (int tries = 0; tries < 1000 && earlier.file("pelmar.out") != later.at("pelmar.out"); ++tries) usleep(10000);
    ASSERT_EQ(earlier.file("pelmar.out"), later.at("pelmar.out"));
    // The program is the tracer's one child.
    const std::string me = std::to_string(tracer);
    kill(std::stoi(read_file("/proc/" + me + "/task/" + me + "/children")), SIGTERM);
    EXPECT_EQ(status_of(tracer), 128 + SIGTERM);
    EXPECT_EQ(folder_of(earlier.dir), before);
}

// SIGKILL at each of the four renames of the swap (strace's fault injection), with unnamed and
// with named temporaries: the next run, though its own answers stop it, first finishes the
// killed run's swap and says so; the folder then holds the killed run's set and nothing else.
TEST(ReplacedFiles, AKillDuringTheSwapIsRepairedByTheNextRun) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    const char *const other = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n";
    const auto later = folder_of(run_program(other).dir);
    const std::string inputs = make_temp_dir();
    std::ofstream(inputs + "/answers") << other;
    for (const char *temporaries : {"PELMAR_UNNAMED=1", "PELMAR_TEST_NAMED_TEMPORARIES=1"})
        for (int when = 1; when <= 4; ++when) {
            SCOPED_TRACE(std::string(temporaries) + ", killed at rename " + std::to_string(when));
            const RunResult earlier = run_program(english_answers());
            const pid_t tracer = start_run(earlier.dir, inputs + "/answers",
                                           {"env", temporaries, "strace", "-f", "-o", "/dev/null", "-e", "trace=renameat2",
                                            "-e", "inject=renameat2:signal=KILL:when=" + std::to_string(when)});
            ASSERT_EQ(status_of(tracer), 128 + SIGKILL);
            EXPECT_NE(folder_of(earlier.dir), later);
            const RunResult next = run_program("2 x\n", earlier.dir);
            EXPECT_EQ(next.status, 3);
            const auto err = expected::lines_of(next.err);
            ASSERT_EQ(err.size(), 2u) << next.err;
            EXPECT_NE(err[0].find("was killed while it put its files in place; its set is now complete"),
                      std::string::npos) << err[0];
            EXPECT_EQ(folder_of(earlier.dir), later);
        }
}

// Each way of putting a file in place, forced by strace's fault injection: the exchange, a hard
// link of the earlier file (no rename that exchanges or refuses to replace), and a plain rename
// (no hard links either, as on FAT). Each puts the set in place, and each is taken back whole
// when the rename of velox.out is refused after pelmar.out and disp.out were put in place.
TEST(ReplacedFiles, EveryWayOfPlacingAFileIsTakenBackWhenOneRenameIsRefused) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    const char *const other = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n";
    const auto later = folder_of(run_program(other).dir);
    const std::string inputs = make_temp_dir();
    std::ofstream(inputs + "/answers") << other;
    struct Way {
        const char *name;
        std::vector<std::string> faults;  // strace arguments that take the ways before it away
        std::string refusal;              // the injection that refuses velox.out's rename
    };
    const Way ways[] = {
        {"exchange", {}, "inject=renameat2:error=EPERM:when=3"},
        {"hard link", {"-e", "inject=renameat2:error=EINVAL"}, "inject=rename:error=EPERM:when=3"},
        {"plain rename", {"-e", "inject=renameat2:error=EINVAL", "-e", "inject=link:error=EPERM"},
         "inject=rename:error=EPERM:when=6"}};
    for (const Way &way : ways)
        for (const bool refused : {false, true}) {
            SCOPED_TRACE(std::string(way.name) + (refused ? ", velox.out refused" : ""));
            const RunResult earlier = run_program(english_answers());
            const auto before = folder_of(earlier.dir);
            // The leak checker of a sanitizer build cannot work under a tracer: it would end a
            // run that completes with status 1.
            std::vector<std::string> wrapper = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null"};
            wrapper.insert(wrapper.end(), way.faults.begin(), way.faults.end());
            if (refused) wrapper.insert(wrapper.end(), {"-e", way.refusal});
            const pid_t tracer = start_run(earlier.dir, inputs + "/answers", wrapper);
            EXPECT_EQ(status_of(tracer), refused ? 1 : 0);
            EXPECT_EQ(folder_of(earlier.dir), refused ? before : later);
        }
}

// Starts the program in `dir` with named temporaries, its answers to come through `feed`, which
// the caller keeps open: the run creates its files and waits in the dialogue.
pid_t start_waiting_run(const std::string &dir, const int (&feed)[2]) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (chdir(dir.c_str()) != 0 || null < 0) _exit(126);
        dup2(feed[0], 0);
        dup2(null, 1);
        dup2(null, 2);
        close(feed[1]);
        named_temporaries();
        execl(PELMAR_EXE, PELMAR_EXE, static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// A run killed outright leaves its named temporaries; the next run removes them, but not those
// of a run that is still asking for its answers in the same folder.
TEST(ReplacedFiles, StaleTemporariesGoButALiveRunKeepsItsOwn) {
    const RunResult earlier = run_program(english_answers());
    const auto before = folder_of(earlier.dir);
    auto hidden = [&] {
        std::size_t n = 0;
        for (const auto &e : folder_of(earlier.dir)) n += e.first.size() > 4 && e.first.compare(e.first.size() - 4, 4, ".tmp") == 0;
        return n;
    };
    int alive_feed[2], killed_feed[2];
    ASSERT_EQ(pipe2(alive_feed, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(killed_feed, O_CLOEXEC), 0);
    const pid_t alive = start_waiting_run(earlier.dir, alive_feed);
    for (int tries = 0; tries < 500 && hidden() < 4; ++tries) usleep(10000);
    const pid_t killed = start_waiting_run(earlier.dir, killed_feed);
    for (int tries = 0; tries < 500 && hidden() < 8; ++tries) usleep(10000);
    ASSERT_EQ(hidden(), 8u);
    kill(killed, SIGKILL);
    EXPECT_EQ(status_of(killed), 128 + SIGKILL);
    EXPECT_EQ(hidden(), 8u);
    EXPECT_EQ(run_program("2 x\n", earlier.dir).status, 3);
    EXPECT_EQ(hidden(), 4u) << "the live run's temporaries must stay, the killed run's go";
    for (int fd : {alive_feed[0], alive_feed[1], killed_feed[0], killed_feed[1]}) close(fd);
    EXPECT_EQ(status_of(alive), 3);  // its input ended: it stopped and removed its own
    EXPECT_EQ(folder_of(earlier.dir), before);
}

// Root's run in another user's folder: each replaced file keeps its owner and group, its ACL and
// its extended attributes, and a setuid bit is never carried over.
TEST(ReplacedFiles, KeepTheirOwnerAclAndAttributesButNoSetuidBit) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    const RunResult earlier = run_program(english_answers());
    auto at = [&](const char *name) { return earlier.dir + "/" + name; };
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"})
        ASSERT_EQ(chown(at(name).c_str(), 65534, 65534), 0);
    // user::rw-, user:1000:r--, group::r--, mask::rw-, other::---
    const unsigned char acl[] = {2, 0, 0, 0,  1, 0, 6, 0, 255, 255, 255, 255,  2, 0, 4, 0, 232, 3, 0, 0,
                                 4, 0, 4, 0, 255, 255, 255, 255,  16, 0, 6, 0, 255, 255, 255, 255,
                                 32, 0, 0, 0, 255, 255, 255, 255};
    if (setxattr(at("pelmar.out").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0 ||
        setxattr(at("disp.out").c_str(), "user.origin", "lab 4", 5, 0) != 0)
        GTEST_SKIP() << "the temporary folder's file system takes no ACL or user attribute";
    ASSERT_EQ(chmod(at("velox.out").c_str(), 06755), 0);
    const RunResult r = run_program("2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n", earlier.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"}) {
        struct stat st {};
        ASSERT_EQ(stat(at(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << name;
        EXPECT_EQ(st.st_gid, 65534u) << name;
    }
    unsigned char got[sizeof acl + 16];
    ASSERT_EQ(getxattr(at("pelmar.out").c_str(), "system.posix_acl_access", got, sizeof got), ssize_t(sizeof acl));
    EXPECT_EQ(std::memcmp(got, acl, sizeof acl), 0);
    char origin[16] = {};
    EXPECT_EQ(getxattr(at("disp.out").c_str(), "user.origin", origin, sizeof origin), 5);
    EXPECT_STREQ(origin, "lab 4");
    struct stat st {};
    ASSERT_EQ(stat(at("velox.out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// Another run holds the lock (here the test itself): after a second the run says that it waits;
// when the lock comes free it goes on, and when it never does within the wait it gives up with
// the earlier files. In a folder that can be written but not read, as its owner, the lock is
// ".pelmar.lock": a run that went on unlocked there would not wait at all.
class HeldLock : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Faults, HeldLock, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "WriteOnlyFolder" : "ReadableFolder"; });

void short_lock_wait() { setenv("PELMAR_TEST_LOCK_WAIT_MS", "2000", 1); }
void as_nobody_with_short_lock_wait() {
    short_lock_wait();
    as_nobody();
}

TEST_P(HeldLock, TheRunSaysItWaitsThenGoesOnOrGivesUp) {
    const bool write_only = GetParam();
    const char *exe = PELMAR_EXE;
    if (write_only && geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    if (write_only && (exe = program_for_nobody().c_str())[0] == '\0')
        GTEST_SKIP() << "the user nobody cannot reach a copy of the program";
    const char *const other = "2 1 0 1 2 -1 2 0.02 0.1 0.5 -0.25 0.01 0.02\n";
    auto later = folder_of(run_program(other).dir);
    for (const bool freed : {true, false}) {
        SCOPED_TRACE(freed ? "the lock comes free" : "the lock stays held");
        const std::string dir = run_program(english_answers()).dir;
        int lock = -1;
        if (write_only) {
            for (const char *name : {"", "/pelmar.out", "/disp.out", "/velox.out", "/accel.out"})
                ASSERT_EQ(chown((dir + name).c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(dir.c_str(), 0333), 0);
            lock = open((dir + "/.pelmar.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0444);
            later[".pelmar.lock"] = "";
        } else {
            lock = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // not inherited by the run
        }
        ASSERT_GE(lock, 0);
        // Held shared: a run's exclusive lock must wait for it, a shared one would not.
        ASSERT_EQ(flock(lock, LOCK_SH), 0);
        const auto before = folder_of(dir);
        // Freed after 3 seconds, well within the run's own 10-second wait; held, it outlasts a
        // wait shortened to 2 seconds.
        std::thread release([&] {
            if (freed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3000));
                close(lock);
            }
        });
        RunSetup setup;
        setup.in_child = freed ? (write_only ? as_nobody : nullptr)
                               : (write_only ? as_nobody_with_short_lock_wait : short_lock_wait);
        const RunResult r = run_program(other, dir, setup, 60, exe);
        release.join();
        const auto err = expected::lines_of(r.err);
        ASSERT_EQ(err.size(), freed ? 1u : 3u) << r.err;
        EXPECT_NE(err[0].find("waiting for another run in this folder"), std::string::npos) << err[0];
        if (freed) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(folder_of(dir), later);
        } else {
            close(lock);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(err[1].find("another run in this folder held them for 2 seconds"), std::string::npos) << err[1];
            EXPECT_NE(err[2].find(kept_line), std::string::npos) << err[2];
            EXPECT_EQ(folder_of(dir), before);
        }
    }
}

// A private tmux server whose one pane runs the program from a script in `dir` and, once the
// program has ended, records its status and the terminal settings, then stays open.
class TmuxPane {
public:
    // `shell_setup` runs in the pane's shell before the program starts; the pane is `columns` wide.
    explicit TmuxPane(const std::string &dir, const std::string &shell_setup = "", int columns = 150) : dir_(dir) {
        static int serial = 0;
        socket_ = "pelmar_test_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
        std::ofstream(dir_ + "/run.sh")
            << "trap : INT\n"
            << shell_setup
            << "sh -c 'echo $$ > pid.txt; exec \"$0\"' '" << PELMAR_EXE << "'\n"  // the program's pid, in the foreground
            << "status=$?\n"
            << "echo \"rc=$status\" > rc.tmp && mv rc.tmp rc.txt\n"
            << "stty -a > stty.tmp && mv stty.tmp stty.txt\n"
            // Whatever was typed and not taken by the program would go to the shell.
            << "stty -icanon min 0 time 5; cat > pending.tmp; mv pending.tmp pending.txt\n"
            << "exec sleep 120\n";
        started_ = tmux("-f /dev/null new-session -d -s run -x " + std::to_string(columns) + " -y 60 -c '" + dir_ + "' 'sh run.sh'") == 0;
        if (started_) socket_path_ = output("display-message -p '#{socket_path}'");
        while (!socket_path_.empty() && socket_path_.back() == '\n') socket_path_.pop_back();
    }
    ~TmuxPane() {
        tmux("kill-server >/dev/null 2>&1");
        if (!socket_path_.empty()) unlink(socket_path_.c_str());  // the server leaves it behind
    }
    TmuxPane(const TmuxPane &) = delete;
    TmuxPane &operator=(const TmuxPane &) = delete;

    bool started() const { return started_; }
    void type(const std::string &text) { tmux("send-keys -t run -l '" + text + "'"); }
    void key(const std::string &name) { tmux("send-keys -t run " + name); }

    std::string screen() const { return output("capture-pane -p -t run -S -200"); }

    // Polls until `done` holds, for at most 20 seconds.
    template <class Pred>
    static bool eventually(Pred done) {
        for (int tries = 0; tries < 400; ++tries) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return done();
    }
    bool screen_shows(const std::string &text) {
        return eventually([&] { return screen().find(text) != std::string::npos; });
    }
    bool has_file(const char *name) const { return access((dir_ + "/" + name).c_str(), F_OK) == 0; }

private:
    std::string command(const std::string &args) const {
        return "env -u TMUX tmux -L " + socket_ + " " + args;
    }
    int tmux(const std::string &args) const { return std::system(command(args).c_str()); }
    std::string output(const std::string &args) const {
        std::string out;
        if (FILE *p = popen(command(args).c_str(), "r")) {
            char buf[4096];
            std::size_t got;
            while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
            pclose(p);
        }
        return out;
    }

    std::string dir_, socket_, socket_path_;
    bool started_ = false;
};

bool tmux_available() { return std::system("command -v tmux >/dev/null 2>&1") == 0; }

// True when stty -a output shows the setting on: the bare word, never with a minus in front.
bool setting_on(const std::string &stty, const std::string &name) {
    auto has_word = [&](const std::string &w) {
        for (std::size_t at = stty.find(w); at != std::string::npos; at = stty.find(w, at + 1)) {
            const bool starts = at == 0 || std::isspace(static_cast<unsigned char>(stty[at - 1]));
            const std::size_t end = at + w.size();
            const bool ends = end == stty.size() || std::isspace(static_cast<unsigned char>(stty[end])) ||
                              stty[end] == ';';
            if (starts && ends) return true;
        }
        return false;
    };
    return has_word(name) && !has_word("-" + name);
}

// Typos at four prompts of the English example (the unit answer among them): each is named with what was typed and its
// prompt comes again; the rest of a line with a typo is dropped, not taken for the next
// prompts. The corrected answers give the example's four files; nothing typed is left for the
// shell.
TEST(TypedAnswers, ATypoIsNamedAndAskedAgain) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    const std::string dir = make_temp_dir();
    TmuxPane pane(dir);
    ASSERT_TRUE(pane.started()) << "tmux could not start a session";
    ASSERT_TRUE(pane.screen_shows("1=English  2=metric")) << pane.screen();
    // Per line: the typo and what it drops, the message, the prompt, the corrected answers.
    const char *const lines[][4] = {
        {"11 386", "'11' is not 1 or 2: type it again", "1=English  2=metric", "1"},
        {"38b 0 772", "'38b' is not a number: type it again", "Enter m11 (lbm)", "386 0 772 200 -100 100"},
        {"0,05", "'0,05' is not a number: type it again", "Enter modal damping ratio 1", "0.05 0.05"},
        {"abc 0 0 1 0", "'abc' is not a number: type it again", "Enter initial velocity for mass 1", "0 0 1 0"}};
    auto count = [&](const std::string &piece) {
        const std::string screen = pane.screen();
        std::size_t n = 0;
        for (std::size_t at = screen.find(piece); at != std::string::npos; at = screen.find(piece, at + 1)) ++n;
        return n;
    };
    for (const auto &l : lines) {
        pane.type(l[0]);
        pane.key("Enter");
        ASSERT_TRUE(pane.screen_shows(l[1])) << pane.screen();
        ASSERT_TRUE(TmuxPane::eventually([&] { return count(l[2]) == 2; })) << pane.screen();
        pane.type(l[3]);
        pane.key("Enter");
    }
    ASSERT_TRUE(pane.screen_shows("Press any key to exit.")) << pane.screen();
    EXPECT_EQ(count("is not a number"), 3u) << pane.screen();

    const RunResult piped = run_program(english_answers());
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"})
        EXPECT_EQ(read_file(dir + "/" + name), piped.file(name)) << name;
    pane.key("x");
    ASSERT_TRUE(TmuxPane::eventually([&] { return pane.has_file("pending.txt"); })) << pane.screen();
    EXPECT_EQ(read_file(dir + "/rc.txt"), "rc=0\n");
    EXPECT_EQ(read_file(dir + "/pending.txt"), "");
}

// Ctrl-D after two answers at a terminal ends the input: the run stops, names the answer it
// lacks, exits with 3 and leaves the earlier results, with no temporary file beside them.
TEST(TypedAnswers, CtrlDInTheDialogueKeepsTheEarlierFiles) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    const RunResult earlier = run_program(english_answers());
    const auto before = folder_of(earlier.dir);
    TmuxPane pane(earlier.dir);
    ASSERT_TRUE(pane.started()) << "tmux could not start a session";
    ASSERT_TRUE(pane.screen_shows("1=English  2=metric")) << pane.screen();
    pane.type("2 1");
    pane.key("Enter");
    ASSERT_TRUE(pane.screen_shows("Enter m12 (kg)")) << pane.screen();
    pane.key("C-d");
    ASSERT_TRUE(TmuxPane::eventually([&] { return pane.has_file("pending.txt"); })) << pane.screen();
    EXPECT_TRUE(pane.screen_shows("answer 3 (m12): the input ended")) << pane.screen();
    EXPECT_EQ(read_file(earlier.dir + "/rc.txt"), "rc=3\n");
    // The pane's own script and records aside, the folder is as the earlier run left it.
    auto after = folder_of(earlier.dir);
    for (const char *own : {"run.sh", "pid.txt", "rc.txt", "stty.txt", "pending.txt"}) after.erase(own);
    EXPECT_EQ(after, before);
}

// Drives one run in a real terminal up to the key prompt, checks that it waits there, presses
// `key_name` and returns the recorded status line and terminal settings.
void run_to_key_prompt_and_press(const std::string &key_name, std::string &rc, std::string &stty,
                                 std::string &screen_after) {
    const std::string dir = make_temp_dir();
    TmuxPane pane(dir);
    ASSERT_TRUE(pane.started()) << "tmux could not start a session";
    ASSERT_TRUE(pane.screen_shows("1=English  2=metric")) << pane.screen();
    pane.type(english_answers().substr(0, english_answers().find_last_not_of("\n") + 1));
    pane.key("Enter");
    ASSERT_TRUE(pane.screen_shows("Press any key to exit.")) << pane.screen();

    // Waiting for the key: still running a second later.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(pane.has_file("rc.txt")) << "the program ended without a key press";

    if (key_name == "SIGTERM")
        kill(std::atoi(read_file(dir + "/pid.txt").c_str()), SIGTERM);
    else
        pane.key(key_name);
    ASSERT_TRUE(TmuxPane::eventually([&] { return pane.has_file("stty.txt"); }))
        << "no end after the key\n" << pane.screen();
    rc = read_file(dir + "/rc.txt");
    stty = read_file(dir + "/stty.txt");
    screen_after = pane.screen();
}

TEST(KeyWait, InATerminalOneKeyEndsTheRunAndRestoresTheTerminal) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    std::string rc, stty, screen;
    run_to_key_prompt_and_press("x", rc, stty, screen);
    if (HasFatalFailure()) return;
    EXPECT_EQ(rc, "rc=0\n");
    EXPECT_TRUE(setting_on(stty, "icanon")) << stty;
    EXPECT_TRUE(setting_on(stty, "echo")) << stty;
    EXPECT_TRUE(setting_on(stty, "isig")) << stty;
    // The key is read without echo: nothing appears after the prompt.
    const std::string prompt = "Press any key to exit.";
    const std::size_t at = screen.find(prompt);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(screen.find('x', at + prompt.size()), std::string::npos) << screen;
}

// Ctrl-C at the key prompt is a key like any other (the wait turns signals from the keyboard
// off), so the run ends as it would with any key; a SIGTERM there ends it by the signal. Either
// way the terminal is given back as it was.
TEST(KeyWait, CtrlCOrATermSignalAtTheKeyPromptRestoresTheTerminal) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    for (const auto &[key, status] : {std::pair<const char *, const char *>{"C-c", "rc=0\n"}, {"SIGTERM", "rc=143\n"}}) {
        SCOPED_TRACE(key);
        std::string rc, stty, screen;
        run_to_key_prompt_and_press(key, rc, stty, screen);
        if (HasFatalFailure()) return;
        EXPECT_EQ(rc, status);
        EXPECT_TRUE(setting_on(stty, "icanon")) << stty;
        EXPECT_TRUE(setting_on(stty, "echo")) << stty;
        EXPECT_TRUE(setting_on(stty, "isig")) << stty;
    }
}

// Twelve million steps (frequencies 1 and about 31623 rad/sec), with a file-size limit so
// that the run computes and formats them all but keeps nothing on disk: a history that takes
// well over a second.
const char *const long_record = "2 1 0 1 1 -0.001 1e9 0.02 0.02 0 0 1 1";

// At a terminal a long history shows its progress on one line, cleared when done; in a pipe
// there is none, only the line announcing the record's size (and the files it could not write,
// and that none was replaced).
TEST(LongRecord, ProgressAtATerminalOnly) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    const std::string dir = make_temp_dir();
    TmuxPane pane(dir, "ulimit -f 64; trap '' XFSZ\n");
    ASSERT_TRUE(pane.started()) << "tmux could not start a session";
    ASSERT_TRUE(pane.screen_shows("1=English  2=metric")) << pane.screen();
    pane.type(long_record);
    pane.key("Enter");
    ASSERT_TRUE(pane.screen_shows("the time history has 12143146 steps")) << pane.screen();
    EXPECT_TRUE(pane.screen_shows("writing the time history:")) << pane.screen();
    ASSERT_TRUE(pane.screen_shows("Press any key to exit.")) << pane.screen();
    EXPECT_EQ(pane.screen().find("writing the time history:"), std::string::npos) << pane.screen();
    pane.key("x");

    // In 40 columns the line is the figures alone, on one row, and nothing of it stays.
    TmuxPane narrow(make_temp_dir(), "ulimit -f 64; trap '' XFSZ\n", 40);
    ASSERT_TRUE(narrow.started()) << "tmux could not start a session";
    ASSERT_TRUE(narrow.screen_shows("1=English  2=metric")) << narrow.screen();
    narrow.type(long_record);
    narrow.key("Enter");
    EXPECT_TRUE(narrow.screen_shows(" writing: ")) << narrow.screen();
    ASSERT_TRUE(narrow.screen_shows("Press any key to exit.")) << narrow.screen();
    EXPECT_EQ(narrow.screen().find("writing"), std::string::npos) << narrow.screen();
    narrow.key("x");

    const RunResult piped = run_program(std::string(long_record) + "\n", "", RunSetup{{}, 64 * 1024}, 300);
    EXPECT_EQ(piped.status, 1);
    const auto err = expected::lines_of(piped.err);
    ASSERT_EQ(err.size(), 5u) << piped.err;
    EXPECT_NE(err[0].find("the time history has 12143146 steps"), std::string::npos) << err[0];
    EXPECT_NE(err[4].find(kept_line), std::string::npos) << err[4];
    EXPECT_EQ(piped.err.find('\r'), std::string::npos);
}

}  // namespace
