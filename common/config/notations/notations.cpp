#include "common/config/notations/notations.hpp"

namespace vintra::config {

Result<Value> parse_notation(Notation notation, std::string_view text) {
  switch (notation) {
    case Notation::kToml: return parse_toml(text);
    case Notation::kJson: return parse_json(text);
    case Notation::kYaml: return parse_yaml(text);
    case Notation::kIni: return parse_ini(text);
    case Notation::kRon: return parse_ron(text);
    case Notation::kJson5: return parse_json5(text);
  }
  return Error("unknown notation");
}

std::optional<Notation> notation_for_extension(std::string_view extension) {
  if (extension == "toml") return Notation::kToml;
  if (extension == "json") return Notation::kJson;
  if (extension == "yaml" || extension == "yml") return Notation::kYaml;
  if (extension == "ini") return Notation::kIni;
  if (extension == "ron") return Notation::kRon;
  if (extension == "json5") return Notation::kJson5;
  return std::nullopt;
}

}  // namespace vintra::config
