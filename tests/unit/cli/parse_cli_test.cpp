#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/cli.hpp"

namespace vintra {
namespace {

const std::string kMainHelp =
    "Korvane EDR DLP enforcement\n"
    "\n"
    "Usage: vintra-dlp <COMMAND>\n"
    "\n"
    "Commands:\n"
    "  run        \n"
    "  service    \n"
    "  install    \n"
    "  uninstall  \n"
    "  start      \n"
    "  stop       \n"
    "  help       Print this message or the help of the given subcommand(s)\n"
    "\n"
    "Options:\n"
    "  -h, --help  Print help\n";

TEST(ParseCli, HelpGoesToStdoutWithStatusZeroAndBareCallToStderrWithTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"/usr/local/bin/vintra-dlp", "--help"},
                                               {"vintra-dlp", "-h"},
                                               {"vintra-dlp", "help"}}) {
    ParsedCli p = parse_cli(args);
    EXPECT_FALSE(p.command);
    EXPECT_EQ(p.output, kMainHelp);
    EXPECT_FALSE(p.to_stderr);
    EXPECT_EQ(p.exit_status, 0);
  }
  ParsedCli bare = parse_cli({"vintra-dlp"});
  EXPECT_EQ(bare.output, kMainHelp);
  EXPECT_TRUE(bare.to_stderr);
  EXPECT_EQ(bare.exit_status, 2);
}

TEST(ParseCli, CommandHelpNamesTheProgramAsStarted) {
  const std::string run_help = "Usage: agent-dlp run\n\nOptions:\n  -h, --help  Print help\n";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"/opt/x/agent-dlp", "help", "run"},
                                               {"agent-dlp", "run", "--help"},
                                               {"agent-dlp", "run", "-h"}}) {
    ParsedCli p = parse_cli(args);
    EXPECT_EQ(p.output, run_help);
    EXPECT_EQ(p.exit_status, 0);
  }
}

TEST(ParseCli, CommandsAndUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::optional<Command> command;
    const char* first_line;  // of a usage error
  };
  const Case cases[] = {
      {{"vintra-dlp", "run"}, Command::kRun, nullptr},
      {{"vintra-dlp", "service"}, Command::kService, nullptr},
      {{"vintra-dlp", "install"}, Command::kInstall, nullptr},
      {{"vintra-dlp", "uninstall"}, Command::kUninstall, nullptr},
      {{"vintra-dlp", "start"}, Command::kStart, nullptr},
      {{"vintra-dlp", "stop"}, Command::kStop, nullptr},
      {{"vintra-dlp", "run", "now"}, std::nullopt, "error: unexpected argument 'now' found"},
      {{"vintra-dlp", "stop", "--force"}, std::nullopt, "error: unexpected argument '--force' found"},
      {{"vintra-dlp", "--version"}, std::nullopt, "error: unexpected argument '--version' found"},
      {{"vintra-dlp", "bogus"}, std::nullopt, "error: unrecognized subcommand 'bogus'"},
      {{"vintra-dlp", "help", "bogus"}, std::nullopt, "error: unrecognized subcommand 'bogus'"},
      {{"vintra-dlp", "Run"}, std::nullopt, "error: unrecognized subcommand 'Run'"},
  };
  for (const auto& c : cases) {
    ParsedCli p = parse_cli(c.args);
    EXPECT_EQ(p.command, c.command) << c.args.back();
    if (c.first_line != nullptr) {
      EXPECT_EQ(p.exit_status, 2);
      EXPECT_TRUE(p.to_stderr);
      EXPECT_EQ(p.output.substr(0, p.output.find('\n')), c.first_line);
    }
  }
}

}  // namespace
}  // namespace vintra
