// Parsing the tools' command lines with getopt_long.
#include "common/CommandLine.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace {

// getopt_long's answer for the long-only option at index i of the table.
constexpr int kLongOnly = 256;
// help and version, which close every table.
constexpr long kBuiltIns = 2;

struct Table {
    std::vector<CommandLine::Option> options;  // the caller's, then help and version
    std::vector<option> longs;
    std::string shorts;
};

Table MakeTable(std::span<const CommandLine::Option> options, bool stopAtOperand) {
    Table t;
    t.options.assign(options.begin(), options.end());
    t.options.push_back({"help", false, 'h'});
    t.options.push_back({"version", false, 0});
    // '+' stops at the first operand; ':' reports a missing value apart from an unknown option.
    t.shorts = stopAtOperand ? "+:" : ":";
    for (std::size_t i = 0; i < t.options.size(); ++i) {
        const CommandLine::Option& o = t.options[i];
        const int code = o.shortName != 0 ? o.shortName : kLongOnly + int(i);
        t.longs.push_back({o.name, o.takesValue ? required_argument : no_argument, nullptr, code});
        if (o.shortName != 0) {
            t.shorts += o.shortName;
            if (o.takesValue) t.shorts += ':';
        }
    }
    t.longs.push_back({nullptr, 0, nullptr, 0});
    return t;
}

// The table index of getopt_long's answer, or -1.
int IndexOf(const Table& t, int code) {
    if (code >= kLongOnly) return code - kLongOnly;
    for (std::size_t i = 0; i < t.options.size(); ++i) {
        if (t.options[i].shortName == code) return int(i);
    }
    return -1;
}

// Why getopt_long refused an option ('?' or ':'); word is the last one it looked at.
std::string Refusal(const Table& t, int answer, std::string_view word) {
    if (optopt == 0) {
        const std::string name(word.substr(0, word.find('=')));
        const auto matches = std::count_if(t.options.begin(), t.options.end(), [&](const auto& o) {
            return name.size() > 2 && std::string_view(o.name).rfind(name.substr(2), 0) == 0;
        });
        return (matches > 1 ? "ambiguous option '" : "unknown option '") + name + "' (see --help)";
    }
    const int i = IndexOf(t, optopt);
    if (i < 0) return "unknown option '-" + std::string(1, char(optopt)) + "' (see --help)";
    const CommandLine::Option& o = t.options[std::size_t(i)];
    const bool longForm = word.rfind("--", 0) == 0 || o.shortName == 0;
    const std::string spelled =
        longForm ? std::string("--") + o.name : std::string("-") + o.shortName;
    if (answer == ':') return "missing value for " + spelled;
    return "option " + spelled + " takes no value";
}

bool Record(CommandLine::Parsed& parsed, const CommandLine::Option& o, const char* value) {
    if (std::strcmp(o.name, "help") == 0) return parsed.help = true;
    if (std::strcmp(o.name, "version") == 0) return parsed.version = true;
    parsed.options.push_back({o.name, value == nullptr ? std::string() : std::string(value)});
    return true;
}

// The words after a command: the program's own options, spelled in full, are still taken.
bool TakeCommandWords(const Table& t, std::span<char* const> words, CommandLine::Parsed& parsed,
                      std::string& error) {
    for (std::size_t w = 0; w < words.size(); ++w) {
        const std::string_view word = words[w];
        if (word == "--") {
            parsed.operands.insert(parsed.operands.end(), words.begin() + long(w) + 1, words.end());
            return true;
        }
        // --help and --version stay the command's: add-device takes a --version of its own.
        const auto callers = t.options.end() - kBuiltIns;
        const auto own = std::find_if(t.options.begin(), callers, [&](const auto& o) {
            const std::string full = std::string("--") + o.name;
            return word == full || (o.takesValue && word.rfind(full + "=", 0) == 0);
        });
        if (own == callers) {
            parsed.operands.emplace_back(word);
            continue;
        }
        const std::size_t equals = word.find('=');
        if (equals != std::string_view::npos) {
            Record(parsed, *own, words[w] + equals + 1);
        } else if (!own->takesValue) {
            Record(parsed, *own, nullptr);
        } else if (w + 1 < words.size()) {
            Record(parsed, *own, words[++w]);
        } else {
            error = "missing value for --" + std::string(own->name);
            return false;
        }
    }
    return true;
}

}  // namespace

int CommandLine::Parsed::Count(std::string_view name) const {
    return int(std::count_if(options.begin(), options.end(),
                             [name](const Given& g) { return g.name == name; }));
}

std::optional<CommandLine::Parsed> CommandLine::Parse(std::span<char* const> args,
                                                      std::span<const Option> options,
                                                      Operands operands, std::string& error) {
    const bool command = operands == Operands::Command;
    const Table t = MakeTable(options, command);
    // getopt_long reorders its argv; the caller's stays as it is.
    std::vector<char*> argv{const_cast<char*>("program")};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    const int argc = int(argv.size()) - 1;

    Parsed parsed;
    optind = 0;  // a fresh scan, also for a second call in one process
    opterr = 0;
    int lastEnd = 1;  // where the last option's words ended
    for (int answer; (answer = getopt_long(argc, argv.data(), t.shorts.c_str(), t.longs.data(),
                                           nullptr)) != -1;) {
        if (answer == '?' || answer == ':') {
            error = Refusal(t, answer, argv[std::size_t(std::min(optind, argc) - 1)]);
            return {};
        }
        const int i = IndexOf(t, answer);
        Record(parsed, t.options[std::size_t(i)], optarg);
        lastEnd = optind;
    }
    const bool terminated =
        optind > lastEnd && std::strcmp(argv[std::size_t(optind - 1)], "--") == 0;
    const std::span<char* const> rest(argv.data() + optind, std::size_t(argc - optind));
    if (command && !terminated) {
        if (!TakeCommandWords(t, rest, parsed, error)) return {};
    } else {
        parsed.operands.assign(rest.begin(), rest.end());
    }
    return parsed;
}

std::string CommandLine::VersionLine(std::string_view program) {
    return std::string(program) + " " KESTRIX_VERSION;
}
