// The command line the tools share: GNU-style options on getopt_long, so that `--opt value`,
// `--opt=value`, `--` and option clusters (-vv) read alike in every program, with --help and
// --version built in and one-line error messages.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CommandLine {
public:
    struct Option {
        const char* name;  // long name without the dashes
        bool takesValue = false;
        char shortName = 0;  // 0: long name only
    };
    // One option as given, in the order given.
    struct Given {
        std::string name;  // long name without the dashes
        std::string value;
    };
    enum class Operands {
        Anywhere,  // options and operands mix freely
        // The first operand starts a command whose words are operands even when they look like
        // options; the program's own options (spelled in full, --help and --version aside) are
        // still taken anywhere.
        Command,
    };
    struct Parsed {
        std::vector<Given> options;
        std::vector<std::string> operands;
        bool help = false;     // --help or -h
        bool version = false;  // --version

        int Count(std::string_view name) const;
        bool Has(std::string_view name) const { return Count(name) > 0; }
    };

    // Parses args (argv without the program name) against options; --help, -h and --version
    // are known without being listed. Empty with error set ("unknown option '--x'") when the
    // line does not hold.
    static std::optional<Parsed> Parse(std::span<char* const> args, std::span<const Option> options,
                                       Operands operands, std::string& error);
    // "PROGRAM VERSION", the project's version as the build gives it.
    static std::string VersionLine(std::string_view program);
};
