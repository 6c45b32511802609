// The tools' shared command line: every spelling of an option reads alike, -- ends the options,
// and each kind of mistake gives its one-line reason.
#include <gtest/gtest.h>

#include "common/CommandLine.h"

namespace {

constexpr CommandLine::Option kOptions[] = {
    {"frames", true}, {"json"}, {"verbose", false, 'v'}, {"mode", true, 'm'}};

struct Line {
    std::vector<std::string> words;
    std::vector<char*> Args() {
        std::vector<char*> args;
        for (std::string& w : words) args.push_back(w.data());
        return args;
    }
};

std::optional<CommandLine::Parsed> Parse(
    std::vector<std::string> words, std::string& error,
    CommandLine::Operands operands = CommandLine::Operands::Anywhere) {
    Line line{std::move(words)};
    const std::vector<char*> args = line.Args();
    return CommandLine::Parse(args, kOptions, operands, error);
}

// name=value for each option, then the operands, as one string.
std::string Summary(const CommandLine::Parsed& p) {
    std::string out;
    for (const auto& g : p.options) out += g.name + "=" + g.value + " ";
    out += "|";
    for (const auto& o : p.operands) out += " " + o;
    return out;
}

TEST(CommandLine, EverySpellingReadsAlike) {
    std::string error;
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"--frames", "5", "-vv", "--mode", "-x", "a", "--json"},
             {"--frames=5", "-v", "-v", "--mode=-x", "a", "--json"},
             {"a", "--fra=5", "--verbose", "-vm-x", "--js"},
             {"--frames", "5", "-vv", "-m", "-x", "--json", "--", "a"}}) {
        const auto parsed = Parse(words, error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(Summary(*parsed), "frames=5 verbose= verbose= mode=-x json= | a")
            << ::testing::PrintToString(words);
        EXPECT_EQ(parsed->Count("verbose"), 2);
    }
    // After --, what looks like an option is an operand.
    const auto rest = Parse({"--json", "--", "--frames", "-v"}, error);
    ASSERT_TRUE(rest);
    EXPECT_EQ(Summary(*rest), "json= | --frames -v");
    const auto help = Parse({"--frames", "1", "-h", "--version"}, error);
    ASSERT_TRUE(help);
    EXPECT_TRUE(help->help && help->version);
}

TEST(CommandLine, MistakesSayWhat) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "unknown option '--bogus' (see --help)"},
        {{"--bogus=1"}, "unknown option '--bogus' (see --help)"},
        {{"-x"}, "unknown option '-x' (see --help)"},
        {{"--frames"}, "missing value for --frames"},
        {{"-vm"}, "missing value for -m"},
        {{"--json=yes"}, "option --json takes no value"},
        {{"--ver"}, "ambiguous option '--ver' (see --help)"},
    };
    for (const auto& [words, expected] : cases) {
        std::string error;
        EXPECT_FALSE(Parse(words, error));
        EXPECT_EQ(error, expected);
    }
}

TEST(CommandLine, ACommandKeepsItsOwnOptionsWhileTheProgramsAreTakenAnywhere) {
    std::string error;
    const auto parsed = Parse(
        {"--json", "add-camera", "--speed", "400", "--frames=2", "--mode", "x", "--", "--json"},
        error, CommandLine::Operands::Command);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(Summary(*parsed), "json= frames=2 mode=x | add-camera --speed 400 --json");
    const auto own =
        Parse({"add-device", "--version", "5", "--help"}, error, CommandLine::Operands::Command);
    ASSERT_TRUE(own);
    EXPECT_EQ(Summary(*own), "| add-device --version 5 --help");
    EXPECT_FALSE(own->version || own->help);
    EXPECT_FALSE(Parse({"status", "--frames"}, error, CommandLine::Operands::Command));
    EXPECT_EQ(error, "missing value for --frames");
}

}  // namespace
