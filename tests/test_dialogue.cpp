// The console dialogue: unit choice and labels, mass scaling, mirrored entries, forms of a number.
#include "expected_text.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>

using expected::fmt;

namespace {

// Everything after the unit answer of the English example (1 386 0 772 200 -100 100 ...).
const std::string model_answers = english_answers().substr(1);

struct UnitCase {
    const char *typed;  // the unit answer as typed
    bool english;
    bool taken = true;  // else refused: only 1 and 2 are unit systems
};

void PrintTo(const UnitCase &c, std::ostream *os) { *os << '"' << c.typed << '"'; }

class UnitAnswer : public ::testing::TestWithParam<UnitCase> {};

// 1 is English and 2 metric; anything else is a slip (11 for 1), named, and from a file it ends
// the run. 4294967297 is 2^32 + 1 and must not pass for 1 by truncation.
INSTANTIATE_TEST_SUITE_P(Dialogue, UnitAnswer,
                         ::testing::Values(UnitCase{"1", true}, UnitCase{"2", false},
                                           UnitCase{"3", false, false}, UnitCase{"0", false, false},
                                           UnitCase{"11", false, false}, UnitCase{"-1", false, false},
                                           UnitCase{"4294967297", false, false}));

TEST_P(UnitAnswer, LabelsMassesAndSummaryFollowTheChoice) {
    const UnitCase c = GetParam();
    const RunResult r = run_program(c.typed + model_answers);
    if (!c.taken) {
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "pelmar_initial: answer 1 (unit system): '" + std::string(c.typed) +
                             "' is not 1 or 2; nothing was written and the earlier results are kept\n");
        EXPECT_TRUE(expected::ends_with(r.out, "1=English  2=metric \n")) << r.out;
        return;
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    // The whole dialogue, with the labels of the chosen system in every prompt.
    EXPECT_NE(r.out.find(expected::dialogue(c.english)), std::string::npos) << r.out;
    // English masses are typed in lbm and stored divided by 386; metric ones as typed.
    const double english_m[2][2] = {{1, 0}, {0, 2}}, metric_m[2][2] = {{386, 0}, {0, 772}};
    const std::string echo =
        "\n\n Mass matrix \n" + expected::block(c.english ? english_m : metric_m, "%12.4lf  ");
    EXPECT_NE(r.out.find(echo), std::string::npos);
    EXPECT_NE(r.file("pelmar.out").find(echo), std::string::npos);
    // The total modal mass in the mass unit of the system.
    EXPECT_NE(r.out.find(c.english ? fmt("\n\n Total Modal Mass = %12.4f  lbf sec^2/in \n\n", 3.0)
                                   : fmt("\n\n Total Modal Mass = %12.4f kg\n\n", 1158.0)),
              std::string::npos);
    // The closing summary pairs each response file with its unit.
    EXPECT_NE(r.out.find(expected::summary(c.english) + expected::key_prompt()), std::string::npos);
}

// The lower-left entries are never typed: they are mirrored, and in English units scaled with
// the rest (386, 193 and 772 lbm are exactly 1, 0.5 and 2 lbf sec^2/in). Stiffness is stored as
// typed in either system.
TEST(Dialogue, OffDiagonalEntriesAreEchoedMirroredAndScaled) {
    const double k[2][2] = {{9, -2.25}, {-2.25, 5}};
    const double metric_m[2][2] = {{4, 1.5}, {1.5, 3}}, english_m[2][2] = {{1, 0.5}, {0.5, 2}};
    for (const bool english : {false, true}) {
        const RunResult r = run_program(english ? "1 386 193 772 9 -2.25 5 0 0 0 0 1 0\n"
                                                : "2 4 1.5 3 9 -2.25 5 0 0 0 0 1 0\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("\n\n Mass matrix \n" + expected::block(english ? english_m : metric_m, "%12.4lf  ") +
                             "\n\n Stiffness matrix \n" + expected::block(k, "%12.4lf  ")),
                  std::string::npos)
            << r.out;
    }
}

// Two runs that must be one: the same status, console, stderr and four files.
void expect_same_run(const RunResult &a, const RunResult &b) {
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.err, b.err);
    EXPECT_EQ(a.out, b.out);
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"})
        EXPECT_EQ(a.file(name), b.file(name)) << name;
}

// Every written form of a number is the number: a sign, no leading digit, an exponent. One
// too small for a double (1e-400) is taken as 0.
TEST(Dialogue, NumbersInAnyDecimalOrExponentForm) {
    const RunResult plain = run_program("2 4 0.5 3 9 -2.25 5 0.001 0 0 0 1 0\n");
    EXPECT_EQ(plain.status, 0);
    expect_same_run(run_program("+2 +4 .5 3E0 9e+0 -2.25 5 1e-3 0 0 0 1 1e-400\n"), plain);
}

// A Windows answer file: a UTF-8 byte-order mark first and CR LF line ends, one answer a line.
TEST(Dialogue, ByteOrderMarkAndCrLfLineEndsGiveTheSameRun) {
    const std::string plain = english_answers();
    std::string windows = "\xEF\xBB\xBF";
    for (const char c : plain) windows += c == ' ' || c == '\n' ? std::string("\r\n") : std::string(1, c);
    const RunResult r = run_program(windows);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    expect_same_run(r, run_program(plain));
}

// The answers as a file named on the command line, as "-" (standard input) or redirected,
// with or without comments, give one run; -o puts that run's files in its folder and leaves the
// current one as it was; --duration lengthens the record, whose first lines stay the same.
TEST(CommandLine, AnswersFileDashCommentsOutputFolderAndDuration) {
    const RunResult plain = run_program(english_answers());
    const std::string example = std::string(PELMAR_EXAMPLES) + "/english_two_mass_commented.txt";
    RunSetup operand, dash, folder, longer;
    operand.args = {example};
    dash.args = {"-"};
    folder.args = {"--output-dir", "out", example};
    longer.args = {"--duration=30"};
    expect_same_run(run_program("", "", operand), plain);
    expect_same_run(run_program(read_file(example), "", dash), plain);

    const std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/out").c_str(), 0755), 0);
    RunResult in_folder = run_program("", dir, folder);
    std::size_t entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) entries += e.path().filename() != "out" ? 1 : 0;
    EXPECT_EQ(entries, 0u) << "the current folder was touched";
    in_folder.dir = dir + "/out";
    expect_same_run(in_folder, plain);

    const RunResult thirty = run_program(english_answers(), "", longer);
    EXPECT_EQ(thirty.status, 0);
    EXPECT_EQ(thirty.out, plain.out);
    EXPECT_NE(thirty.file("pelmar.out").find(" Duration =  3.00000e+01 sec (asked for with --duration) \n"
                                             " Number of steps = 2307 \n"),
              std::string::npos);
    for (const char *name : {"disp.out", "velox.out", "accel.out"}) {
        const std::string first = plain.file(name), all = thirty.file(name);
        EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2307) << name;
        EXPECT_EQ(all.compare(0, first.size(), first), 0) << name;
    }
}

// The README shows the answer table of --help, so the two cannot drift apart.
TEST(CommandLine, ReadmeShowsTheAnswerTableOfHelp) {
    RunSetup help;
    help.args = {"--help"};
    const std::string text = run_program("", "", help).out;
    const std::size_t from = text.find("The 13 answers"), to = text.find("\n\n", from);
    ASSERT_NE(to, std::string::npos) << text;
    const std::string readme = read_file(std::string(PELMAR_EXAMPLES) + "/../README.md");
    EXPECT_NE(readme.find(text.substr(from, to - from)), std::string::npos);
}

}  // namespace
