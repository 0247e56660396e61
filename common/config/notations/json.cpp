// JSON through simdjson's DOM, using its error-code interface only (nothing throws).
#include <simdjson.h>

#include <fmt/format.h>

#include "common/config/notations/notations.hpp"

namespace vintra::config {
namespace {

Value convert(simdjson::dom::element el) {
  using simdjson::dom::element_type;
  switch (el.type()) {
    case element_type::OBJECT: {
      simdjson::dom::object obj;
      if (el.get_object().get(obj) != simdjson::SUCCESS) return Table{};
      Table out;
      // Both occurrences of a repeated key are kept by the DOM, in order; setting
      // them in turn leaves the last one, as JSON readers commonly do.
      for (auto field : obj) out.set(std::string(field.key), convert(field.value));
      return out;
    }
    case element_type::ARRAY: {
      simdjson::dom::array arr;
      if (el.get_array().get(arr) != simdjson::SUCCESS) return Array{};
      Array out;
      out.reserve(arr.size());
      for (auto child : arr) out.push_back(convert(child));
      return out;
    }
    case element_type::INT64: return Value(std::int64_t(el.get_int64().value_unsafe()));
    case element_type::UINT64: return Value(std::uint64_t(el.get_uint64().value_unsafe()));
    case element_type::DOUBLE: return Value(el.get_double().value_unsafe());
    case element_type::STRING: return Value(el.get_string().value_unsafe());
    case element_type::BOOL: return Value(el.get_bool().value_unsafe());
    case element_type::NULL_VALUE: break;
  }
  return Value();
}

}  // namespace

Result<Value> parse_json(std::string_view text) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  auto code = parser.parse(text.data(), text.size()).get(root);
  if (code != simdjson::SUCCESS) return Error(fmt::format("invalid JSON: {}", simdjson::error_message(code)));
  return convert(root);
}

}  // namespace vintra::config
