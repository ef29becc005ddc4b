#include "command_line.h"

#include <cstring>

#include "fd_io.h"

#include "console.h"
#include "run_guard.h"

#ifndef KVX_VERSION
#error "KVX_VERSION must name the project's version"
#endif

const char* ProgramVersion() {
    return KVX_VERSION;
}

void FailOptionValue(std::string_view option, const std::string& expected, const char* value) {
    FailUsage(std::string(option) + ": expected " + expected + ", found \"" + DisplayName(value) +
              "\"");
}

int PrintUsage(const ProgramInfo& program) {
    std::string line = std::string(program.usage) + "\n";
    kvx::WriteAll(2, line.data(), line.size());
    return kExitUsage;
}

namespace {

const KnownOption* Find(const std::vector<KnownOption>& options, std::string_view name) {
    for (const KnownOption& o : options) {
        if (o.name == name) return &o;
    }
    return nullptr;
}

// Other spellings of an option's name: the option is read as its own name.
constexpr std::pair<std::string_view, std::string_view> kSpellings[] = {
    {"--color-order", "--colour-order"},
    {"-q", "--quiet"},
};

std::string_view OwnName(std::string_view name) {
    for (const auto& [other, own] : kSpellings)
        if (name == other) return own;
    return name;
}

int Mistake(const ProgramInfo& program, const std::string& what) {
    ReportError(program.name, what + "; see " + program.name + " --help");
    return kExitUsage;
}

}  // namespace

std::optional<int> ReadCommandLine(int argc, char** argv, const ProgramInfo& program,
                                   const std::vector<KnownOption>& options, size_t maxOperands,
                                   CommandLine& line) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            line.operands.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string_view name = arg;
        const char* value = nullptr;
        if (size_t equals = arg.find('=');
            arg.starts_with("--") && equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            value = argv[i] + equals + 1;
        }
        const KnownOption* known = Find(options, OwnName(name));
        const bool help = name == "--help" || name == "-h";
        if (known == nullptr && value == nullptr && (help || name == "--version")) {
            ConsoleOut out;
            if (help) {
                out.write(std::string(program.usage) + "\n" + program.help);
            } else {
                out.write(std::string(program.name) + " " + ProgramVersion() + "\n");
            }
            return out.flush() ? kExitOk : kExitWriteFailed;
        }
        if (known == nullptr) return Mistake(program, "unknown option " + std::string(name));
        if (known->takesValue && value == nullptr) {
            if (i + 1 == argc) return Mistake(program, std::string(name) + " needs a value");
            value = argv[++i];
        } else if (!known->takesValue && value != nullptr) {
            return Mistake(program, std::string(name) + " takes no value");
        }
        line.options.emplace_back(known->name, known->takesValue ? value : "");
    }
    if (line.operands.size() > maxOperands) {
        line.ignored = line.operands.size() - maxOperands;
        std::string what =
            line.ignored == 1 ? "ignoring extra argument:" : "ignoring extra arguments:";
        for (size_t k = maxOperands; k < line.operands.size(); ++k) {
            what += ' ';
            what += DisplayName(line.operands[k]);
        }
        ReportError(program.name, what);
        line.operands.resize(maxOperands);
    }
    return std::nullopt;
}
