// The command lines of the programs, read the GNU way: options before,
// between or after the operands, "--name value" or "--name=value", "--"
// ending the options, a lone "-" an operand (a file of that name: standard
// input is /dev/stdin). Every program takes
// --help or -h (its help on standard output, status 0) and --version
// ("<program> <version>", status 0). "--color-order" is read as
// "--colour-order", and "-q" as "--quiet", wherever a program takes that
// option.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ProgramInfo {
    const char* name;
    const char* usage;  // one line: "usage: kvxdump <file.kvx>"
    const char* help;   // what --help prints after the usage line
};

// One option the program takes: "--size" with a value, "--weld" without.
struct KnownOption {
    std::string_view name;
    bool takesValue;
};

struct CommandLine {
    std::vector<const char*> operands;
    // The options given, in their order, with their values ("" for flags).
    std::vector<std::pair<std::string_view, const char*>> options;
    // Operands beyond those the program takes, already reported as ignored.
    size_t ignored = 0;
};

// Reads argv into `line`. Returns an exit status when the run ends here:
// 0 after --help or --version, 1 after one line on standard error for an
// unknown option or an option without its value ("kvxrender: unknown option
// --colour; see kvxrender --help"). Operands beyond `maxOperands` are
// reported on standard error as ignored and dropped.
std::optional<int> ReadCommandLine(int argc, char** argv, const ProgramInfo& program,
                                   const std::vector<KnownOption>& options, size_t maxOperands,
                                   CommandLine& line);

// Fails the run with status 1 (FailUsage) for a value an option cannot
// take: "<option>: expected <expected>, found "<value>"", the value as
// DisplayName shows it.
[[noreturn]] void FailOptionValue(std::string_view option, const std::string& expected,
                                  const char* value);

// Prints the usage line on standard error; returns 1. For too few operands.
int PrintUsage(const ProgramInfo& program);

// The project's version, as --version prints it.
const char* ProgramVersion();
