// corvaline-cli: the engine's workflows from a terminal, for batch work.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/FailureText.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace corvaline::cli {

static std::map<std::string, Command>& registry() {
    static std::map<std::string, Command> r;
    return r;
}

void registerCommand(Command command) {
    std::string name = command.name;
    registry()[name] = std::move(command);
}

std::vector<Command> commands() {
    std::vector<Command> list;
    for (auto& [name, command] : registry())
        list.push_back(command);
    return list;
}

static void printHelp(FILE* to) {
    std::fprintf(to,
                 "Corvaline - offline dialogue restoration and multichannel audio finishing.\n\n"
                 "Usage: corvaline-cli COMMAND [ARGS]\n\nCommands:\n");
    for (const auto& command : commands()) {
        std::fprintf(to, "  %-44s %s\n", command.usage.c_str(), command.summary.c_str());
    }
}

}  // namespace corvaline::cli

int main(int argc, char** argv) {
    using namespace corvaline;
    using namespace corvaline::cli;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printHelp(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const auto& r = registry();
    auto it = r.find(args[0]);
    if (it == r.end()) {
        std::fprintf(stderr, "corvaline-cli: unknown command \"%s\"\n\n",
                     printable(args[0]).c_str());
        printHelp(stderr);
        return 2;
    }
    const Command& command = it->second;
    // Working folders of runs that were killed are removed before this run makes its own.
    removeStaleWorkingFolders();
    try {
        return command.run(std::vector<std::string>(args.begin() + 1, args.end()));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "corvaline-cli: %s\nUsage: corvaline-cli %s\n",
                     printable(e.message).c_str(), command.usage.c_str());
        return 2;
    } catch (const Cancelled&) {
        std::fprintf(stderr, "corvaline-cli: cancelled\n");
        return 130;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvaline-cli: %s\n", printable(describeFailure(e), true).c_str());
        return 1;
    }
}
