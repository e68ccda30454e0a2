#pragma once
// corvaline-cli commands. Each command lives in its own file and registers itself with a
// static CommandRegistration, so adding a command never edits another command's file.
//
// A command returns the process exit status; it reports user errors on stderr as
// "corvaline-cli: <message>" and exits 1 (2 for usage errors).

#include <functional>
#include <string>
#include <vector>

namespace corvaline::cli {

struct Command {
    std::string name;     ///< first argument, e.g. "info"
    std::string usage;    ///< one line: "info FILE [--json]"
    std::string summary;  ///< one sentence for the help text
    std::function<int(const std::vector<std::string>& args)> run;  ///< args after the name
};

/// Adds a command to the registry (used by CommandRegistration).
void registerCommand(Command command);
/// All registered commands, sorted by name.
std::vector<Command> commands();

struct CommandRegistration {
    explicit CommandRegistration(Command command) { registerCommand(std::move(command)); }
};

/// Thrown by argument parsing; main prints it with the usage and exits 2.
struct UsageError {
    std::string message;
};

}  // namespace corvaline::cli
