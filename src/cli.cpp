#include "src/cli.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/error.hpp"
#include "common/platform/signals.hpp"
#include "common/service/service.hpp"
#include "src/run.hpp"
#include "src/runtime/runtime.hpp"

namespace vintra {
namespace {

constexpr std::string_view kDescription = "Korvane EDR DLP enforcement";
constexpr std::string_view kHelpAbout = "Print this message or the help of the given subcommand(s)";

struct CommandInfo {
  std::string_view name;
  Command command;
};
constexpr std::array<CommandInfo, 6> kCommands{{
    {"run", Command::kRun},
    {"service", Command::kService},
    {"install", Command::kInstall},
    {"uninstall", Command::kUninstall},
    {"start", Command::kStart},
    {"stop", Command::kStop},
}};

const CommandInfo* find_command(std::string_view name) {
  for (const auto& c : kCommands)
    if (c.name == name) return &c;
  return nullptr;
}

std::string program_name(const std::vector<std::string>& args) {
  if (args.empty() || args[0].empty()) return "vintra-dlp";
  const std::string& a0 = args[0];
  auto slash = a0.rfind('/');
  return slash == std::string::npos ? a0 : a0.substr(slash + 1);
}

// The help texts are laid out as the usual generated help: names padded to a common
// column, two spaces before each description.
std::string main_help(const std::string& prog) {
  std::string out;
  out += kDescription;
  out += "\n\nUsage: " + prog + " <COMMAND>\n\nCommands:\n";
  constexpr std::size_t kWidth = 9;  // "uninstall"
  for (const auto& c : kCommands) {
    out += "  ";
    out += c.name;
    out += std::string(kWidth - c.name.size() + 2, ' ');
    out += '\n';
  }
  out += "  help" + std::string(kWidth - 4 + 2, ' ');
  out += kHelpAbout;
  out += "\n\nOptions:\n  -h, --help  Print help\n";
  return out;
}

std::string command_help(const std::string& prog, std::string_view name) {
  return "Usage: " + prog + " " + std::string(name) + "\n\nOptions:\n  -h, --help  Print help\n";
}

std::string help_command_help(const std::string& prog) {
  return std::string(kHelpAbout) + "\n\nUsage: " + prog +
         " help [COMMAND]...\n\nArguments:\n  [COMMAND]...  Print help for the subcommand(s)\n";
}

ParsedCli usage_error(const std::string& message, const std::string& usage) {
  ParsedCli p;
  p.output = "error: " + message + "\n\nUsage: " + usage + "\n\nFor more information, try '--help'.\n";
  p.to_stderr = true;
  p.exit_status = 2;
  return p;
}

ParsedCli print(std::string text) {
  ParsedCli p;
  p.output = std::move(text);
  return p;
}

bool is_help_flag(std::string_view a) { return a == "-h" || a == "--help"; }

}  // namespace

ParsedCli parse_cli(const std::vector<std::string>& args) {
  const std::string prog = program_name(args);
  const std::string top_usage = prog + " <COMMAND>";

  if (args.size() <= 1) {
    ParsedCli p;
    p.output = main_help(prog);
    p.to_stderr = true;
    p.exit_status = 2;
    return p;
  }

  std::size_t i = 1;
  const std::string& first = args[i];
  if (is_help_flag(first)) return print(main_help(prog));
  if (first == "--") {
    if (args.size() == 2)
      return usage_error("'" + prog + "' requires a subcommand but one was not provided", top_usage);
    ++i;
  } else if (!first.empty() && first[0] == '-') {
    return usage_error("unexpected argument '" + first + "' found", top_usage);
  }

  const std::string& name = args[i];
  if (name == "help") {
    // `help` alone, or followed by one subcommand name.
    if (i + 1 == args.size()) return print(main_help(prog));
    const std::string& target = args[i + 1];
    if (is_help_flag(target)) return print(help_command_help(prog));
    std::string help_text;
    if (target == "help") {
      help_text = help_command_help(prog);
    } else if (const CommandInfo* c = find_command(target)) {
      help_text = command_help(prog, c->name);
    } else {
      return usage_error("unrecognized subcommand '" + target + "'", top_usage);
    }
    if (i + 2 < args.size()) return usage_error("unrecognized subcommand '" + args[i + 2] + "'", top_usage);
    return print(help_text);
  }

  const CommandInfo* c = find_command(name);
  if (c == nullptr) return usage_error("unrecognized subcommand '" + name + "'", top_usage);
  const std::string sub_usage = prog + " " + std::string(c->name);
  for (std::size_t k = i + 1; k < args.size(); ++k) {
    if (is_help_flag(args[k])) return print(command_help(prog, c->name));
  }
  if (i + 1 < args.size()) return usage_error("unexpected argument '" + args[i + 1] + "' found", sub_usage);

  ParsedCli p;
  p.command = c->command;
  return p;
}

namespace {

int report(const Status& status) {
  if (status) return 0;
  std::string text = "Error: " + status.error().render() + "\n";
  std::fputs(text.c_str(), stderr);
  return 1;
}

int run_command_line(Command command) {
  const service::ServiceSpec job = service::default_service_spec();
  switch (command) {
    case Command::kInstall:
      return report(service::install(job));
    case Command::kUninstall:
      return report(service::uninstall(job));
    case Command::kStart:
      return report(service::start(job));
    case Command::kStop:
      return report(service::stop(job));
    case Command::kRun:
    case Command::kService:
      break;
  }

  // SIGINT is blocked before the first thread exists, so every thread inherits the
  // mask and only the run sequence's sigwait ever takes the signal. SIGTERM stays
  // untouched: it ends the process at once.
  (void)platform::block_sigint();
  auto runtime = runtime::Runtime::create();
  if (!runtime) return report(Status(std::move(runtime).error()));
  RunOutcome outcome = run_daemon(**runtime);
  (*runtime)->shutdown();
  if (outcome.fatal) {
    std::string text = "fatal error: " + outcome.status.error().render() + "\n";
    std::fputs(text.c_str(), stderr);
    return 101;
  }
  return report(outcome.status);
}

}  // namespace

int cli_main(int argc, char** argv) {
  platform::ignore_sigpipe();
  if (const char* bt = std::getenv(std::string(service::kBacktraceEnv).c_str()); bt != nullptr && *bt != '\0' && std::string_view(bt) != "0")
    set_error_backtraces(true);

  std::vector<std::string> args(argv, argv + argc);
  ParsedCli parsed = parse_cli(args);
  if (!parsed.command) {
    std::fputs(parsed.output.c_str(), parsed.to_stderr ? stderr : stdout);
    std::fflush(stdout);
    return parsed.exit_status;
  }
  int status = run_command_line(*parsed.command);
  std::fflush(stdout);
  return status;
}

}  // namespace vintra
