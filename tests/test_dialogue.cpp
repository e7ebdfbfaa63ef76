// The console dialogue: unit choice and labels, mass scaling, mirrored entries, forms of a number.
#include "expected_text.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>
#include <sys/stat.h>

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
    // The labels of the chosen system in the prompts and the file list; English masses typed
    // in lbm are stored divided by 386, so the same numbers weigh 386 times less.
    for (const char *label : c.english ? std::vector<const char *>{"Enter m11 (lbm)", "mass 2 (in/sec)", "accel.out  (G)"}
                                       : std::vector<const char *>{"Enter m11 (kg)", "mass 2 (m/sec)", "accel.out  (m/sec^2)"})
        EXPECT_NE(r.out.find(label), std::string::npos) << label;
    EXPECT_NE(r.out.find(c.english ? " Total Modal Mass =       3.0000  lbf sec^2/in "
                                   : " Total Modal Mass =    1158.0000 kg"),
              std::string::npos)
        << r.out;
}

// Two runs that must be one: the same status, console, stderr and four files.
void expect_same_run(const RunResult &a, const RunResult &b) {
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.err, b.err);
    EXPECT_EQ(a.out, b.out);
    for (const char *name : {"pelmar.out", "disp.out", "velox.out", "accel.out"})
        EXPECT_EQ(a.file(name), b.file(name)) << name;
}

// Any spelling of the same thirteen numbers is the same run: signs, no leading digit,
// exponents, a number too small for a double (1e-400 is 0), one answer a line or all on one,
// tabs, a Windows file (a UTF-8 byte-order mark, CR LF line ends) and comments anywhere. The
// model has every entry non-zero and coupled, so that an answer moved by one place shows.
TEST(Dialogue, AnyRespellingOfTheThirteenNumbersGivesOneRun) {
    const std::string plain = "2 4 0.5 3 9 -2.25 5 0.001 0.02 0.1 -0.2 1 0\n";
    const RunResult reference = run_program(plain);
    ASSERT_EQ(reference.status, 0);
    const std::string spellings[] = {
        "+2 +4 .5 3E0 9e+0 -2.25 5 1e-3 2e-2 .1 -.2 1.0 1e-400\n",
        "2\n4\n0.5\n3\n9\n-2.25\n5\n0.001\n0.02\n0.1\n-0.2\n1\n0",
        "\t2 4\t0.5 3   9 -2.25\n\n5 0.001 0.02\n 0.1 -0.2 1 0\n\n",
        "\xEF\xBB\xBF" "2\r\n4 0.5 3\r\n9 -2.25 5\r\n0.001 0.02\r\n0.1 -0.2\r\n1 0\r\n",
        "# a comment first\n2 # units\n4 0.5 3#masses\n# a whole line\n9 -2.25 5 0.001 0.02 0.1 -0.2 1 0 # end\n# after",
        "\xEF\xBB\xBF# a Windows file that starts with a comment\r\n2 4 0.5 3 9 -2.25 5 0.001 0.02 0.1 -0.2 1 0\r\n",
    };
    for (const std::string &typed : spellings) {
        SCOPED_TRACE(typed);
        expect_same_run(run_program(typed), reference);
    }
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
