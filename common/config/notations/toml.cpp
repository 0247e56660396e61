// TOML through toml++. The packaged shared library is built with exceptions; this
// reader compiles toml++ header-only with exceptions off instead, so a parse error is
// a returned value and nothing can be thrown across the module boundary. toml++ puts
// the two builds in different ABI namespaces, so they do not clash.
#undef TOML_SHARED_LIB
#define TOML_SHARED_LIB 0
#undef TOML_HEADER_ONLY
#define TOML_HEADER_ONLY 1
#undef TOML_EXCEPTIONS
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <fmt/format.h>

#include <sstream>

#include "common/config/notations/notations.hpp"
#include "common/config/notations/text.hpp"

namespace vintra::config {
namespace {

template <class T>
std::string toml_text(const T& v) {
  std::ostringstream out;
  out << v;
  return std::move(out).str();
}

Value convert(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: {
      Table out;
      for (const auto& [key, child] : *node.as_table()) out.set(std::string(key.str()), convert(child));
      return out;
    }
    case toml::node_type::array: {
      Array out;
      const toml::array& arr = *node.as_array();
      out.reserve(arr.size());
      for (const auto& child : arr) out.push_back(convert(child));
      return out;
    }
    case toml::node_type::string: return Value(node.as_string()->get());
    case toml::node_type::integer: return Value(node.as_integer()->get());
    case toml::node_type::floating_point: return Value(node.as_floating_point()->get());
    case toml::node_type::boolean: return Value(node.as_boolean()->get());
    case toml::node_type::date: return Value(toml_text(node.as_date()->get()));
    case toml::node_type::time: return Value(toml_text(node.as_time()->get()));
    case toml::node_type::date_time: return Value(toml_text(node.as_date_time()->get()));
    case toml::node_type::none: break;
  }
  return Value();
}

}  // namespace

Result<Value> parse_toml(std::string_view text) {
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    const toml::parse_error& err = parsed.error();
    const auto& begin = err.source().begin;
    return text::syntax_error(text::Position{begin.line, begin.column}, err.description());
  }
  return convert(parsed.table());
}

}  // namespace vintra::config
