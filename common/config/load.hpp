// Building the configuration record: built-in defaults, then an optional file, then
// EDR__ environment variables, merged key by key, converted into AppConfig, and the
// four path keys made absolute.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/config/app_config.hpp"
#include "common/config/value.hpp"
#include "common/error.hpp"

namespace vintra::config {

// Everything loading takes from the process, so it can be supplied in tests.
struct ConfigInputs {
  // The directory holding the executable; nothing when its path is unknown or has
  // no parent.
  std::optional<std::string> exe_dir;
  // The working directory; nothing when it cannot be obtained (a relative lookup
  // then goes to the system as it is).
  std::optional<std::string> cwd;
  // The environment, bytes as the system keeps them.
  std::vector<std::pair<std::string, std::string>> environment;
};

// The extensions a configuration file is looked up with, in the order they are tried.
inline constexpr std::array<std::string_view, 7> kConfigExtensions = {"toml", "json", "yaml", "yml",
                                                                      "ini",  "ron",  "json5"};

// Loads the configuration from the running process's executable directory, working
// directory and environment. Reads files and the environment, writes nothing. Fails
// with the first problem found: a file that does not parse (the error names the
// file) or a value that does not convert (the error names the dotted key).
// Call it before other threads change the environment.
Result<AppConfig> load_config();

// The same over given inputs.
//   - File stem: exe_dir/config when an entry "config.toml" exists in exe_dir (of any
//     kind, its metadata readable), else "config" in the working directory.
//   - A regular file named exactly like the stem means no file layer; otherwise the
//     stem with each of kConfigExtensions, the first regular file found is read in
//     the notation of its extension. A missing or unreadable file adds nothing.
//   - Environment: names compared lower-cased; those starting with "edr__" give the
//     dotted key of the rest with "__" as "."; values are text, empty ones too. A
//     variable whose name or value is not UTF-8 is ignored (whatever its name), as is
//     one whose key has an empty segment; when two variables give the same key the
//     later one in the environment wins.
Result<AppConfig> load_config_from(const ConfigInputs& inputs);

// The path the configuration file is looked up by, without extension.
std::string config_file_stem(const ConfigInputs& inputs);

// Converts a merged tree into the record, every key of every section to its kind.
// Absent keys keep the record's defaults; unknown keys are ignored. The paths are
// left as they are.
Result<AppConfig> convert_config(const Table& merged);

// The directory relative path keys are resolved against: exe_dir, else the working
// directory, else the empty path.
std::string resolve_base(const ConfigInputs& inputs);

// Makes agent.data_dir, logging.directory, vintra_threats.sigma_rules_path and
// vintra_threats.yara_rules_path absolute: a value beginning with "/" stays, any
// other is joined to `base` (an empty value gives `base` with a trailing "/").
AppConfig resolve_relative_paths(AppConfig config, std::string_view base);

}  // namespace vintra::config
