// YAML through libyaml's event API. Building the tree from events (rather than
// libyaml's document loader) lets the reader refuse what a configuration must not
// contain: non-scalar or repeated mapping keys and a second document.
#include <yaml.h>

#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>

#include "common/config/notations/notations.hpp"
#include "common/config/notations/text.hpp"

namespace vintra::config {
namespace {

// Aliases copy the anchored node; a small document could otherwise expand
// exponentially ("billion laughs"). No configuration comes close to this.
constexpr std::size_t kMaxAliasNodes = 100000;
// Nesting deeper than this is refused, so that nothing recursive over the tree can
// exhaust the stack.
constexpr std::size_t kMaxDepth = 128;

constexpr std::string_view kStrTag = "tag:yaml.org,2002:str";

text::Position position(const yaml_mark_t& mark) { return {mark.line + 1, mark.column + 1}; }

bool all_of(std::string_view s, bool (*pred)(char)) {
  if (s.empty()) return false;
  for (char c : s)
    if (!pred(c)) return false;
  return true;
}
bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_oct(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::optional<Value> unsigned_value(std::string_view digits, int base) {
  std::uint64_t u = 0;
  auto res = std::from_chars(digits.data(), digits.data() + digits.size(), u, base);
  if (res.ec != std::errc() || res.ptr != digits.data() + digits.size()) return std::nullopt;
  if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<std::int64_t>(u));
  return Value(u);
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool is_float_syntax(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::size_t int_digits = 0;
  while (i < s.size() && is_dec(s[i])) ++i, ++int_digits;
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_dec(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_dec(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

// The core schema of YAML 1.2 for plain scalars. A number that does not fit its kind
// stays text, so nothing is silently changed.
Value resolve_plain(std::string_view s) {
  if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") return Value();
  if (s == "true" || s == "True" || s == "TRUE") return Value(true);
  if (s == "false" || s == "False" || s == "FALSE") return Value(false);
  if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && all_of(s.substr(2), is_oct))
    return unsigned_value(s.substr(2), 8).value_or(Value(s));
  if (s.size() > 2 && s[0] == '0' && s[1] == 'x' && all_of(s.substr(2), is_hex))
    return unsigned_value(s.substr(2), 16).value_or(Value(s));
  std::string_view unsigned_part = s;
  bool negative = false;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    unsigned_part = s.substr(1);
  }
  if (all_of(unsigned_part, is_dec)) {
    if (negative) {
      std::int64_t i = 0;
      auto res = std::from_chars(s.data(), s.data() + s.size(), i);
      if (res.ec == std::errc() && res.ptr == s.data() + s.size()) return Value(i);
      return Value(s);
    }
    return unsigned_value(unsigned_part, 10).value_or(Value(s));
  }
  std::string_view inf = unsigned_part;
  if (inf == ".inf" || inf == ".Inf" || inf == ".INF")
    return Value(negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity());
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return Value(std::numeric_limits<double>::quiet_NaN());
  if (is_float_syntax(s)) {
    double d = 0;
    // from_chars takes no leading "+".
    std::string_view digits = s[0] == '+' ? s.substr(1) : s;
    auto res = std::from_chars(digits.data(), digits.data() + digits.size(), d);
    if (res.ec == std::errc() && res.ptr == digits.data() + digits.size()) return Value(d);
  }
  return Value(s);
}

std::size_t count_nodes(const Value& v) {
  std::size_t n = 1;
  if (const Array* a = v.as_array())
    for (const auto& child : *a) n += count_nodes(child);
  if (const Table* t = v.as_table())
    for (const auto& [key, child] : *t) n += count_nodes(child);
  return n;
}

class Builder {
 public:
  explicit Builder(std::string_view text) : text_(text) {}

  Result<Value> run() {
    yaml_parser_t parser;
    if (yaml_parser_initialize(&parser) == 0) return Error("invalid YAML: out of memory");
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text_.data()), text_.size());
    Status st = drive(parser);
    yaml_parser_delete(&parser);
    if (!st) return std::move(st).error();
    return std::move(root_);
  }

 private:
  struct Frame {
    bool is_map = false;
    Table map;
    Array seq;
    std::optional<std::string> key;  // a mapping's key awaiting its value
    std::string anchor;
  };

  static std::string anchor_of(const yaml_char_t* a) {
    return a == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(a));
  }

  bool expecting_key() const { return !stack_.empty() && stack_.back().is_map && !stack_.back().key; }

  Status drive(yaml_parser_t& parser) {
    for (;;) {
      yaml_event_t event;
      if (yaml_parser_parse(&parser, &event) == 0) {
        if (parser.error == YAML_MEMORY_ERROR) return Error("invalid YAML: out of memory");
        std::string message = parser.problem != nullptr ? parser.problem : "syntax error";
        if (parser.context != nullptr) message += fmt::format(" ({})", parser.context);
        return text::syntax_error(position(parser.problem_mark), message);
      }
      Status st = handle(event);
      bool done = event.type == YAML_STREAM_END_EVENT;
      yaml_event_delete(&event);
      if (!st) return st;
      if (done) return ok();
    }
  }

  Status handle(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_DOCUMENT_START_EVENT:
        if (documents_++ > 0)
          return text::syntax_error(position(event.start_mark), "a second document is not accepted");
        return ok();
      case YAML_SCALAR_EVENT: {
        const auto& sc = event.data.scalar;
        std::string_view raw(reinterpret_cast<const char*>(sc.value), sc.length);
        if (expecting_key()) {
          if (stack_.back().map.find(raw) != nullptr)
            return text::syntax_error(position(event.start_mark), fmt::format("duplicate key \"{}\"", raw));
          stack_.back().key = std::string(raw);
          return ok();
        }
        bool is_text = sc.style != YAML_PLAIN_SCALAR_STYLE ||
                       (sc.tag != nullptr && std::string_view(reinterpret_cast<const char*>(sc.tag)) == kStrTag);
        add(is_text ? Value(raw) : resolve_plain(raw), anchor_of(sc.anchor));
        return ok();
      }
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        if (expecting_key())
          return text::syntax_error(position(event.start_mark), "mapping keys must be scalars");
        if (stack_.size() >= kMaxDepth)
          return text::syntax_error(position(event.start_mark), "nesting is too deep");
        Frame f;
        f.is_map = event.type == YAML_MAPPING_START_EVENT;
        f.anchor = anchor_of(f.is_map ? event.data.mapping_start.anchor : event.data.sequence_start.anchor);
        stack_.push_back(std::move(f));
        return ok();
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT: {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        add(f.is_map ? Value(std::move(f.map)) : Value(std::move(f.seq)), std::move(f.anchor));
        return ok();
      }
      case YAML_ALIAS_EVENT: {
        if (expecting_key())
          return text::syntax_error(position(event.start_mark), "mapping keys must be scalars, not aliases");
        std::string name = anchor_of(event.data.alias.anchor);
        auto it = anchors_.find(name);
        if (it == anchors_.end())
          return text::syntax_error(position(event.start_mark), fmt::format("unknown anchor \"{}\"", name));
        alias_nodes_ += count_nodes(it->second);
        if (alias_nodes_ > kMaxAliasNodes)
          return text::syntax_error(position(event.start_mark), "aliases expand to too many nodes");
        add(it->second, std::string());
        return ok();
      }
      default:
        return ok();
    }
  }

  void add(Value value, std::string anchor) {
    if (!anchor.empty()) anchors_[std::move(anchor)] = value;
    if (stack_.empty()) {
      root_ = std::move(value);
      return;
    }
    Frame& top = stack_.back();
    if (top.is_map) {
      top.map.set(std::move(*top.key), std::move(value));
      top.key.reset();
    } else {
      top.seq.push_back(std::move(value));
    }
  }

  std::string_view text_;
  std::vector<Frame> stack_;
  std::map<std::string, Value, std::less<>> anchors_;
  std::size_t alias_nodes_ = 0;
  int documents_ = 0;
  Value root_;
};

}  // namespace

Result<Value> parse_yaml(std::string_view text) { return Builder(text).run(); }

}  // namespace vintra::config
