#include "tools/scan/options.hpp"

#include <string_view>

namespace vintra::scan {
namespace {

constexpr std::string_view kUsage =
    "Usage: vintra-dlp-scan [--source usb|cloud] [--policies FILE] [--format text|jsonl] [--candidates] "
    "PATH...\n";

constexpr std::string_view kHelp =
    "Inspects files as the vintra-dlp daemon inspects a file handed to it: the same\n"
    "detectors, validators, policies and decision, and the event it would record.\n"
    "\n"
    "Usage: vintra-dlp-scan [--source usb|cloud] [--policies FILE] [--format text|jsonl] [--candidates] "
    "PATH...\n"
    "\n"
    "Arguments:\n"
    "  PATH...  Files or folders to inspect. Folders are walked recursively; symbolic\n"
    "           links met inside them are skipped, a link given as PATH is followed.\n"
    "           Files are inspected in parallel and reported in byte order of their\n"
    "           paths, each file once.\n"
    "\n"
    "Options:\n"
    "      --source <usb|cloud>   Origin of the files: selects the policy context and\n"
    "                             the event channel [default: usb]\n"
    "      --policies <FILE>      Policy file [default: dlp_policies.yaml beside this\n"
    "                             program; when that is missing or broken, a warning\n"
    "                             and the daemon's fallback (no policies, alert)]\n"
    "      --format <text|jsonl>  text: one line per file with its findings, severity,\n"
    "                             action and decision; jsonl: the journal line of each\n"
    "                             event, nothing for a file that is clean and allowed\n"
    "                             [default: text when standard output is a terminal,\n"
    "                             jsonl otherwise]\n"
    "      --candidates           Before each file's report, one JSON line per detector\n"
    "                             match: {\"candidate\":{\"path\",\"entity\",\"start\",\"end\",\n"
    "                             \"text\",\"retained\"}}, byte offsets in the decoded text\n"
    "  -h, --help                 Print this help\n"
    "\n"
    "Files larger than 52428800 bytes, and files that cannot be read, are reported on\n"
    "standard error and then treated as the daemon treats them: as files without\n"
    "findings.\n"
    "\n"
    "Exit status: 0 when the scan ran; 1 when the --policies FILE cannot be loaded, or\n"
    "when a PATH does not exist (the other paths are still scanned); 2 on a usage error.\n";

Exit usage_error(const std::string& problem) {
  return Exit{"error: " + problem + "\n\n" + std::string(kUsage) + "\nFor more information, try '--help'.\n",
              true, 2};
}

}  // namespace

std::variant<Options, Exit> parse_options(const std::vector<std::string>& args) {
  Options o;
  bool only_paths = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_paths || arg.size() < 2 || arg[0] != '-') {
      o.paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_paths = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return Exit{std::string(kHelp), false, 0};

    std::string name = arg;
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const bool takes_value = name == "--source" || name == "--policies" || name == "--format";
    if (!takes_value && name != "--candidates") return usage_error("unknown option '" + arg + "'");
    if (name == "--candidates") {
      if (value) return usage_error("'--candidates' takes no value");
      o.candidates = true;
      continue;
    }
    const std::string placeholder = name == "--source"   ? "<usb|cloud>"
                                    : name == "--format" ? "<text|jsonl>"
                                                         : "<FILE>";
    if (!value) {
      if (i + 1 >= args.size())
        return usage_error("a value is required for '" + name + " " + placeholder +
                           "' but none was supplied");
      value = args[++i];
    }
    if (name == "--source") {
      if (*value == "usb") {
        o.source = ScanSource::kUsb;
      } else if (*value == "cloud") {
        o.source = ScanSource::kCloud;
      } else {
        return usage_error("invalid value '" + *value + "' for '--source " + placeholder + "'");
      }
    } else if (name == "--format") {
      if (*value == "text") {
        o.format = Format::kText;
      } else if (*value == "jsonl") {
        o.format = Format::kJsonl;
      } else {
        return usage_error("invalid value '" + *value + "' for '--format " + placeholder + "'");
      }
    } else {
      if (value->empty())
        return usage_error("a value is required for '--policies <FILE>' but none was supplied");
      o.policies = *value;
    }
  }
  if (o.paths.empty()) return usage_error("no PATH given");
  return o;
}

}  // namespace vintra::scan
