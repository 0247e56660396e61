// The DLP policy file: its record, and loading it from "dlp_policies.yaml".
//
// A `Policies` value is built once at start and then shared read-only between the
// inspection jobs (see evaluate.hpp), so every type here is a plain value with no
// hidden state: reading it from several threads at once needs no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace vintra::policy {

// The numeric values are those the policy file and the journal use; they are NOT the
// order of strictness (see strictness()).
enum class Action : std::uint8_t { kAllow = 0, kAlert = 1, kBlock = 2, kQuarantine = 3 };

// "allow", "alert", "block", "quarantine": the only spellings the policy file accepts.
std::string_view action_name(Action action);
// The action written exactly `name`, or nothing (no other case, no aliases).
std::optional<Action> parse_action(std::string_view name);

// Rank used to combine the actions of several policies: allow 0, alert 1,
// quarantine 2, block 3 (quarantine leaves the user a way back, block does not).
constexpr int strictness(Action action) {
  switch (action) {
    case Action::kAllow:
      return 0;
    case Action::kAlert:
      return 1;
    case Action::kQuarantine:
      return 2;
    case Action::kBlock:
      return 3;
  }
  return 0;
}

struct ContextRule {
  Action action = Action::kAllow;
  bool notify = true;  // kept for the agent's UI; evaluation does not read it

  bool operator==(const ContextRule&) const = default;
};

struct Policy {
  std::string name;
  // As written by the policy author; evaluation lower-cases and maps them.
  std::vector<std::string> detectors;
  std::optional<std::string> severity;  // free text, not an enumeration
  // Rules per origin ("usb", "cloud"; other keys are kept but never looked up).
  // Transparent comparator: evaluation looks keys up by string_view without copying.
  std::map<std::string, ContextRule, std::less<>> contexts;

  bool operator==(const Policy&) const = default;
};

struct Policies {
  std::vector<Policy> policies;  // in file order
  Action default_action = Action::kAllow;
  std::uint64_t block_threshold = 10;  // kept; evaluation does not read it

  bool operator==(const Policies&) const = default;
};

// What the daemon runs with when the policy file is missing or unusable: no
// policies, and every file is at least alerted on. (A file that merely omits
// `default_action` gets allow instead.)
Policies fallback_policies();

// Loads the policy file at `path`.
//
// - Nothing at `path` (its metadata cannot be read, e.g. missing, dangling link, no
//   permission on a parent): logs WARN "policies file not found at {path} — using
//   empty default" on target vintra_dlp::policy and returns fallback_policies().
// - Otherwise the file must be readable UTF-8 holding exactly one YAML document
//   whose root is a mapping in the schema below, or a document without content
//   (a lone "---", or an empty plain scalar), which gives the defaults (no policies,
//   allow, 10). Any other file is an error whose text names the offending key path
//   and its position, e.g.
//     "policies[1].contexts.usb: missing field `action` at line 7 column 9".
//   One bad entry rejects the whole file; nothing of it is returned.
//
// Schema (keys are matched exactly; unknown keys are ignored at every level):
//   policies: [ {name: text, detectors: [text...], severity: text?, contexts: {key: {action, notify?}}} ]
//   default_action: allow|alert|block|quarantine      (default allow)
//   block_threshold: unsigned 64-bit integer          (default 10)
// Reading rules, chosen to be unambiguous between YAML 1.1 and 1.2 readers:
// - Scalars resolve by the YAML 1.2 core schema: null is "", "~", "null", "Null",
//   "NULL"; booleans are true/True/TRUE/false/False/FALSE (not yes/no/on/off).
// - `block_threshold` is a plain integer: decimal with an optional "+" (no leading
//   zeros, since 010 reads as 8 in YAML 1.1 and as 10 in 1.2), or 0x / 0o / 0b with
//   lower-case prefix and no sign; no "_" separators. Negative or above 2^64-1 is an
//   error. A quoted number is text, hence an error.
// - Text fields (name, detector names, severity, context keys) take any scalar as
//   written, quoted or not; `severity` in one of the null forms means no severity.
// - An empty plain scalar where a sequence or mapping is expected ("policies:" with
//   nothing after it) counts as an empty one.
// - A schema key given twice in one mapping is an error; a context key given twice
//   keeps its last rule. Keys must be scalars.
// - Anchors and aliases are resolved (an alias refers to the last completed node
//   with that anchor, so an alias inside its own anchored node is an error), with a
//   budget on how far aliases may multiply the document. Explicit tags are limited to
//   the core ones (!!str, !!int, !!bool, !!null, !!float, !!seq, !!map, and "!");
//   "<<" has no merge meaning and is just an unknown key.
// Shares no state, so it may run on any thread; the daemon calls it once at start.
Result<Policies> load_policies(const std::string& path);

// The parse step alone, over text already read (exposed for the fuzz target and for
// tests that do not need a file).
Result<Policies> parse_policies(std::string_view text);

}  // namespace vintra::policy
