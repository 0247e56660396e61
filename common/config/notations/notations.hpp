// Readers for the configuration file notations. Each turns the whole text of a file
// into a Value tree and fails with a description of the first syntax error, naming
// the line and column (1-based, columns counted in characters) wherever the parser
// knows them. Texts must be UTF-8. No reader throws.
//
// Number kinds reach the tree as the notation writes them: integers as int (or uint
// when above the int64 range), floating-point numbers as double, so the converter can
// apply one set of rules to every notation. What a notation has no kind for (TOML
// dates) arrives as text.
#pragma once

#include <optional>
#include <string_view>

#include "common/config/value.hpp"
#include "common/error.hpp"

namespace vintra::config {

enum class Notation { kToml, kJson, kYaml, kIni, kRon, kJson5 };

// TOML 1.0 (toml++). Dates and times become their TOML text.
Result<Value> parse_toml(std::string_view text);
// JSON (simdjson). A key given twice in one object keeps its last value.
Result<Value> parse_json(std::string_view text);
// YAML 1.2 (libyaml events): plain scalars are resolved by the core schema (null,
// booleans, integers in decimal, 0o and 0x, floats with .inf/.nan), quoted scalars
// and "!!str" are text. Mapping keys must be scalars and unique; anchors and aliases
// are honoured; a second document is an error. An empty stream gives null.
Result<Value> parse_yaml(std::string_view text);
// INI (inih): see ini.cpp for how sections and names map onto tables. Every value is
// text.
Result<Value> parse_ini(std::string_view text);
// RON: structs "(a: 1)" with an optional name, maps "{"k": v}", lists, tuples (as
// lists), Some(x)/None, unit "()" (null), enum variants (as their name), strings with
// escapes and raw strings, chars, integers in decimal/hex/octal/binary with "_"
// separators, floats, comments "//" and nested "/* */", trailing commas.
Result<Value> parse_ron(std::string_view text);
// JSON5: identifier keys, single-quoted strings, line continuations, hex numbers,
// leading and trailing decimal points, +/-Infinity and NaN, explicit "+", trailing
// commas, comments. A key given twice keeps its last value.
Result<Value> parse_json5(std::string_view text);

Result<Value> parse_notation(Notation notation, std::string_view text);

// The notation a configuration file extension selects ("toml", "json", "yaml", "yml",
// "ini", "ron", "json5"; without the dot), or nothing.
std::optional<Notation> notation_for_extension(std::string_view extension);

}  // namespace vintra::config
