// Process entry and command line: `vintra-dlp <COMMAND>`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vintra {

enum class Command { kRun, kService, kInstall, kUninstall, kStart, kStop };

// What parsing the arguments asks for: a command to dispatch, or text to print and
// an exit status (help: 0 on standard output; usage errors: 2 on standard error).
struct ParsedCli {
  std::optional<Command> command;
  std::string output;
  bool to_stderr = false;
  int exit_status = 0;
};

// Parses argv (argv[0] is the program's file name as started). Pure.
ParsedCli parse_cli(const std::vector<std::string>& args);

// The whole process: signal set-up, parse, dispatch, "Error: " rendering, exit status.
int cli_main(int argc, char** argv);

}  // namespace vintra
