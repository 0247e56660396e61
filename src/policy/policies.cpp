// Loading "dlp_policies.yaml".
//
// libyaml's event API builds a small node tree of our own (so that we see explicit
// tags, scalar styles, every duplicate key and a second document exactly as written);
// a schema reader then walks that tree into a Policies record, naming the key path
// and position of the first thing it cannot accept.
#include "src/policy/policies.hpp"

#include <fmt/format.h>
#include <yaml.h>

#include <array>
#include <limits>
#include <unordered_map>
#include <utility>

#include "common/platform/files.hpp"
#include "src/logging/log.hpp"

namespace vintra::policy {

namespace {
constexpr std::array<std::string_view, 4> kActionNames = {"allow", "alert", "block", "quarantine"};
}  // namespace

std::string_view action_name(Action action) {
  const auto i = static_cast<std::size_t>(action);
  return i < kActionNames.size() ? kActionNames[i] : std::string_view("allow");
}

std::optional<Action> parse_action(std::string_view name) {
  for (std::size_t i = 0; i < kActionNames.size(); ++i)
    if (kActionNames[i] == name) return static_cast<Action>(i);
  return std::nullopt;
}

Policies fallback_policies() {
  Policies p;
  p.default_action = Action::kAlert;
  return p;
}

namespace {

// ---------------------------------------------------------------------------------
// UTF-8

// Offset of the first byte that does not begin a well-formed UTF-8 sequence
// (overlong forms, surrogates and code points above U+10FFFF are ill-formed), or npos.
std::size_t invalid_utf8_offset(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  auto cont = [&](std::size_t at) { return at < n && (p[at] & 0xC0) == 0x80; };
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(i + 1)) return i;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (i + 1 >= n) return i;
      const unsigned char c1 = p[i + 1];
      const bool second_ok = c == 0xE0   ? (c1 >= 0xA0 && c1 <= 0xBF)
                             : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                         : (c1 & 0xC0) == 0x80;
      if (!second_ok || !cont(i + 2)) return i;
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (i + 1 >= n) return i;
      const unsigned char c1 = p[i + 1];
      const bool second_ok = c == 0xF0   ? (c1 >= 0x90 && c1 <= 0xBF)
                             : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                         : (c1 & 0xC0) == 0x80;
      if (!second_ok || !cont(i + 2) || !cont(i + 3)) return i;
      i += 4;
    } else {
      return i;
    }
  }
  return std::string_view::npos;
}

// ---------------------------------------------------------------------------------
// Node tree

struct Mark {
  std::size_t line = 1;  // 1-based
  std::size_t column = 1;
};

Mark mark_of(const yaml_mark_t& m) {
  return {m.line + 1, m.column + 1};
}

std::string at(Mark m) {
  return fmt::format("at line {} column {}", m.line, m.column);
}

enum class Kind : std::uint8_t { kScalar, kSequence, kMapping };

struct Node {
  Kind kind = Kind::kScalar;
  bool plain = false;  // a plain (unquoted, non-block) scalar
  std::string tag;     // the explicit tag as the parser resolved it; empty when none
  std::string text;    // scalar value
  Mark mark;
  // Sequence items, or mapping keys and values alternating. An alias makes a node
  // the child of several parents; the tree holds no cycles (see compose()).
  std::vector<std::uint32_t> items;
};

struct Tree {
  std::vector<Node> nodes;
  std::uint32_t root = 0;
};

std::string truncated(std::string_view s) {
  constexpr std::size_t kMax = 40;
  if (s.size() <= kMax) return std::string(s);
  std::size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // whole code points
  return fmt::format("{}...", s.substr(0, cut));
}

// One libyaml event, released when it goes out of scope.
struct Event {
  yaml_event_t ev{};
  bool live = false;
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() {
    if (live) yaml_event_delete(&ev);
  }
};

class Parser {
 public:
  explicit Parser(std::string_view text) {
    ready_ = yaml_parser_initialize(&parser_) != 0;
    if (ready_)
      yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                   text.size());
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() {
    if (ready_) yaml_parser_delete(&parser_);
  }

  // Reads the next event into `out`.
  Status next(Event& out) {
    if (!ready_) return Error("out of memory while setting up the YAML reader");
    if (out.live) {
      yaml_event_delete(&out.ev);
      out.live = false;
    }
    if (yaml_parser_parse(&parser_, &out.ev) == 0) return error();
    out.live = true;
    return ok();
  }

 private:
  Error error() const {
    const yaml_parser_t& p = parser_;
    const char* problem = p.problem != nullptr ? p.problem : "unknown error";
    switch (p.error) {
      case YAML_MEMORY_ERROR:
        return Error("out of memory while reading YAML");
      case YAML_READER_ERROR:
        if (p.problem_value != -1)
          return Error(fmt::format("invalid YAML input: {} (#{:02x}) at byte offset {}", problem,
                                   p.problem_value, p.problem_offset));
        return Error(fmt::format("invalid YAML input: {} at byte offset {}", problem, p.problem_offset));
      default:
        break;
    }
    std::string msg = fmt::format("YAML syntax error: {} {}", problem, at(mark_of(p.problem_mark)));
    if (p.context != nullptr) msg += fmt::format(" ({} {})", p.context, at(mark_of(p.context_mark)));
    return Error(std::move(msg));
  }

  yaml_parser_t parser_{};
  bool ready_ = false;
};

std::string tag_of(const yaml_char_t* tag) {
  return tag != nullptr ? std::string(reinterpret_cast<const char*>(tag)) : std::string();
}

// Builds the tree of the stream's only document. Rejects a stream with no document
// and one with a second document. An anchor is registered when its node is complete,
// so an alias can only refer to a finished node and the tree cannot loop.
Result<Tree> compose(std::string_view text) {
  Parser parser(text);
  Event event;
  VINTRA_TRY_STATUS(parser.next(event));  // stream start
  VINTRA_TRY_STATUS(parser.next(event));
  if (event.ev.type == YAML_STREAM_END_EVENT)
    return Error(
        "end of input while parsing a value: the file holds no YAML document (it is empty or "
        "holds only comments)");

  Tree tree;
  bool have_root = false;
  struct Open {
    std::uint32_t node;
    std::string anchor;
  };
  std::vector<Open> open;
  std::unordered_map<std::string, std::uint32_t> anchors;

  auto attach = [&](std::uint32_t id) {
    if (open.empty()) {
      tree.root = id;
      have_root = true;
    } else {
      tree.nodes[open.back().node].items.push_back(id);
    }
  };
  auto add_node = [&](Kind kind, const yaml_event_t& ev, const yaml_char_t* tag) {
    Node n;
    n.kind = kind;
    n.tag = tag_of(tag);
    n.mark = mark_of(ev.start_mark);
    tree.nodes.push_back(std::move(n));
    return static_cast<std::uint32_t>(tree.nodes.size() - 1);
  };
  auto anchor_text = [](const yaml_char_t* a) {
    return a != nullptr ? std::string(reinterpret_cast<const char*>(a)) : std::string();
  };

  for (bool in_document = true; in_document;) {
    VINTRA_TRY_STATUS(parser.next(event));
    const yaml_event_t& ev = event.ev;
    switch (ev.type) {
      case YAML_SCALAR_EVENT: {
        const std::uint32_t id = add_node(Kind::kScalar, ev, ev.data.scalar.tag);
        Node& n = tree.nodes[id];
        n.plain = ev.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
        n.text.assign(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
        attach(id);
        if (ev.data.scalar.anchor != nullptr) anchors[anchor_text(ev.data.scalar.anchor)] = id;
        break;
      }
      case YAML_SEQUENCE_START_EVENT: {
        const std::uint32_t id = add_node(Kind::kSequence, ev, ev.data.sequence_start.tag);
        open.push_back({id, anchor_text(ev.data.sequence_start.anchor)});
        break;
      }
      case YAML_MAPPING_START_EVENT: {
        const std::uint32_t id = add_node(Kind::kMapping, ev, ev.data.mapping_start.tag);
        open.push_back({id, anchor_text(ev.data.mapping_start.anchor)});
        break;
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT: {
        Open done = std::move(open.back());
        open.pop_back();
        attach(done.node);
        if (!done.anchor.empty()) anchors[done.anchor] = done.node;
        break;
      }
      case YAML_ALIAS_EVENT: {
        const std::string name = anchor_text(ev.data.alias.anchor);
        const auto it = anchors.find(name);
        if (it == anchors.end())
          return Error(fmt::format(
              "undefined alias *{} (its anchor is missing, comes later, or encloses the alias) {}", name,
              at(mark_of(ev.start_mark))));
        attach(it->second);
        break;
      }
      case YAML_DOCUMENT_END_EVENT:
        in_document = false;
        break;
      default:
        // The parser emits nothing else inside a document.
        return Error(fmt::format("unexpected YAML event {}", at(mark_of(ev.start_mark))));
    }
  }
  if (!have_root) return Error("YAML document without a root node");

  VINTRA_TRY_STATUS(parser.next(event));
  if (event.ev.type == YAML_DOCUMENT_START_EVENT)
    return Error(fmt::format("the file holds more than one YAML document: a second one starts {}",
                             at(mark_of(event.ev.start_mark))));
  return tree;
}

// ---------------------------------------------------------------------------------
// Scalars, resolved by the YAML 1.2 core schema

constexpr std::string_view kCoreTag = "tag:yaml.org,2002:";

enum class ScalarType : std::uint8_t { kNull, kBool, kInt, kFloat, kString, kUnsupported };

bool is_null_text(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::optional<bool> bool_value(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

enum class IntForm : std::uint8_t { kOk, kNotInteger, kNegative, kLeadingZero, kTooLarge };

// Parses the integer forms we accept for an unsigned value; see the header for why
// these and no others.
IntForm parse_uint(std::string_view s, std::uint64_t& out) {
  auto digits = [&](std::string_view d, unsigned base) {
    if (d.empty()) return IntForm::kNotInteger;
    std::uint64_t v = 0;
    bool overflow = false;
    for (const char c : d) {
      unsigned digit = 0;
      if (c >= '0' && c <= '9')
        digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<unsigned>(c - 'A' + 10);
      else
        return IntForm::kNotInteger;
      if (digit >= base) return IntForm::kNotInteger;
      if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / base)
        overflow = true;
      else
        v = v * base + digit;
    }
    if (overflow) return IntForm::kTooLarge;
    out = v;
    return IntForm::kOk;
  };
  if (s.size() >= 2 && s[0] == '0') {
    if (s[1] == 'x') return digits(s.substr(2), 16);
    if (s[1] == 'o') return digits(s.substr(2), 8);
    if (s[1] == 'b') return digits(s.substr(2), 2);
  }
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return IntForm::kNotInteger;
  for (const char c : s)
    if (c < '0' || c > '9') return IntForm::kNotInteger;
  const bool zero = s.find_first_not_of('0') == std::string_view::npos;
  if (negative && !zero) return IntForm::kNegative;
  if (s.size() > 1 && s[0] == '0') return IntForm::kLeadingZero;
  return digits(s, 10);
}

bool looks_like_float(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s == ".inf" || s == ".Inf" || s == ".INF" || s == ".nan" || s == ".NaN" || s == ".NAN") return true;
  std::size_t i = 0;
  std::size_t int_digits = 0;
  std::size_t frac_digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

ScalarType scalar_type(const Node& n) {
  if (n.tag.empty()) {
    if (!n.plain) return ScalarType::kString;
    if (is_null_text(n.text)) return ScalarType::kNull;
    if (bool_value(n.text)) return ScalarType::kBool;
    std::uint64_t ignored = 0;
    if (parse_uint(n.text, ignored) != IntForm::kNotInteger) return ScalarType::kInt;
    if (looks_like_float(n.text)) return ScalarType::kFloat;
    return ScalarType::kString;
  }
  if (n.tag == "!") return ScalarType::kString;
  if (n.tag.size() > kCoreTag.size() && n.tag.compare(0, kCoreTag.size(), kCoreTag) == 0) {
    const std::string_view t = std::string_view(n.tag).substr(kCoreTag.size());
    if (t == "str") return ScalarType::kString;
    if (t == "null") return ScalarType::kNull;
    if (t == "bool") return ScalarType::kBool;
    if (t == "int") return ScalarType::kInt;
    if (t == "float") return ScalarType::kFloat;
  }
  return ScalarType::kUnsupported;
}

// How a node is named in "expected X, found Y".
std::string describe(const Node& n) {
  switch (n.kind) {
    case Kind::kSequence:
      return "a sequence";
    case Kind::kMapping:
      return "a mapping";
    case Kind::kScalar:
      break;
  }
  switch (scalar_type(n)) {
    case ScalarType::kNull:
      return n.text.empty() ? "an empty value" : fmt::format("null `{}`", n.text);
    case ScalarType::kBool:
      return fmt::format("boolean `{}`", n.text);
    case ScalarType::kInt:
      return fmt::format("integer `{}`", n.text);
    case ScalarType::kFloat:
      return fmt::format("float `{}`", n.text);
    case ScalarType::kString:
      return fmt::format("string `{}`", truncated(n.text));
    case ScalarType::kUnsupported:
      break;
  }
  return fmt::format("a value tagged {}", n.tag);
}

std::string display_tag(const std::string& tag) {
  if (tag.compare(0, kCoreTag.size(), kCoreTag) == 0) return "!!" + tag.substr(kCoreTag.size());
  return tag;
}

bool is_empty_plain(const Node& n) {
  return n.kind == Kind::kScalar && n.plain && n.tag.empty() && n.text.empty();
}

// ---------------------------------------------------------------------------------
// Schema

// Reads the tree into Policies. Every node it looks at counts against a budget, so
// that aliases that multiply each other (a few hundred bytes can name billions of
// nodes) end in an error instead of exhausting memory.
class SchemaReader {
 public:
  explicit SchemaReader(const Tree& tree)
      : tree_(tree), budget_(100'000 + 10 * static_cast<std::uint64_t>(tree.nodes.size())) {}

  Result<Policies> read() {
    VINTRA_TRY(const Node* root, enter(tree_.root));
    Policies out;
    if (is_empty_plain(*root)) return out;
    if (root->kind != Kind::kMapping)
      return fail("", *root,
                  fmt::format("expected a mapping at the document root, found {}", describe(*root)));
    VINTRA_TRY_STATUS(check_collection_tag(*root, ""));

    bool seen_policies = false, seen_default = false, seen_threshold = false;
    for (std::size_t i = 0; i + 1 < root->items.size(); i += 2) {
      VINTRA_TRY(const Node* key_node, enter(root->items[i]));
      VINTRA_TRY(std::string_view key, key_text(*key_node, ""));
      const std::uint32_t value = root->items[i + 1];
      if (key == "policies") {
        VINTRA_TRY_STATUS(first_time(seen_policies, *key_node, "", key));
        VINTRA_TRY(auto list, read_policies(value));
        out.policies = std::move(list);
      } else if (key == "default_action") {
        VINTRA_TRY_STATUS(first_time(seen_default, *key_node, "", key));
        VINTRA_TRY(Action a, read_action(value, "default_action"));
        out.default_action = a;
      } else if (key == "block_threshold") {
        VINTRA_TRY_STATUS(first_time(seen_threshold, *key_node, "", key));
        VINTRA_TRY(std::uint64_t t, read_threshold(value, "block_threshold"));
        out.block_threshold = t;
      }
    }
    return out;
  }

 private:
  static Error fail(std::string_view path, const Node& n, std::string_view problem) {
    if (path.empty()) return Error(fmt::format("{} {}", problem, at(n.mark)));
    return Error(fmt::format("{}: {} {}", path, problem, at(n.mark)));
  }

  Result<const Node*> enter(std::uint32_t id) {
    if (++visited_ > budget_)
      return Error(
          fmt::format("aliases expand the document beyond {} nodes; refusing to read it further", budget_));
    return &tree_.nodes[id];
  }

  static Status first_time(bool& seen, const Node& key, std::string_view path, std::string_view name) {
    if (seen) return fail(path, key, fmt::format("duplicate key `{}`", name));
    seen = true;
    return ok();
  }

  static Status check_collection_tag(const Node& n, std::string_view path) {
    if (n.tag.empty() || n.tag == "!") return ok();
    const std::string_view expected =
        n.kind == Kind::kMapping ? "tag:yaml.org,2002:map" : "tag:yaml.org,2002:seq";
    if (n.tag == expected) return ok();
    return fail(path, n, fmt::format("unsupported tag {}", display_tag(n.tag)));
  }

  static Result<std::string_view> key_text(const Node& key, std::string_view path) {
    if (key.kind != Kind::kScalar)
      return fail(path, key, fmt::format("mapping keys must be scalars, found {}", describe(key)));
    if (scalar_type(key) == ScalarType::kUnsupported)
      return fail(path, key, fmt::format("unsupported tag {}", display_tag(key.tag)));
    return std::string_view(key.text);
  }

  // Any scalar, as written.
  static Result<std::string> scalar_text(const Node& n, std::string_view path) {
    if (n.kind != Kind::kScalar)
      return fail(path, n, fmt::format("expected a string, found {}", describe(n)));
    if (scalar_type(n) == ScalarType::kUnsupported)
      return fail(path, n, fmt::format("unsupported tag {}", display_tag(n.tag)));
    return n.text;
  }

  // A sequence or mapping of the given kind; an empty plain scalar stands for an
  // empty one. Returns nullptr for that empty case.
  static Result<const Node*> collection(const Node* n, Kind kind, std::string_view path) {
    if (is_empty_plain(*n)) return static_cast<const Node*>(nullptr);
    if (n->kind != kind)
      return fail(path, *n,
                  fmt::format("expected {}, found {}", kind == Kind::kMapping ? "a mapping" : "a sequence",
                              describe(*n)));
    VINTRA_TRY_STATUS(check_collection_tag(*n, path));
    return n;
  }

  Result<std::vector<Policy>> read_policies(std::uint32_t id) {
    std::vector<Policy> out;
    VINTRA_TRY(const Node* node, enter(id));
    VINTRA_TRY(const Node* seq, collection(node, Kind::kSequence, "policies"));
    if (seq == nullptr) return out;
    out.reserve(seq->items.size());
    for (std::size_t i = 0; i < seq->items.size(); ++i) {
      VINTRA_TRY(Policy p, read_policy(seq->items[i], fmt::format("policies[{}]", i)));
      out.push_back(std::move(p));
    }
    return out;
  }

  Result<Policy> read_policy(std::uint32_t id, const std::string& path) {
    VINTRA_TRY(const Node* node, enter(id));
    VINTRA_TRY(const Node* map, collection(node, Kind::kMapping, path));
    Policy out;
    bool seen_name = false, seen_detectors = false, seen_severity = false, seen_contexts = false;
    if (map != nullptr) {
      for (std::size_t i = 0; i + 1 < map->items.size(); i += 2) {
        VINTRA_TRY(const Node* key_node, enter(map->items[i]));
        VINTRA_TRY(std::string_view key, key_text(*key_node, path));
        const std::uint32_t value = map->items[i + 1];
        if (key == "name") {
          VINTRA_TRY_STATUS(first_time(seen_name, *key_node, path, key));
          VINTRA_TRY(const Node* v, enter(value));
          VINTRA_TRY(std::string name, scalar_text(*v, path + ".name"));
          out.name = std::move(name);
        } else if (key == "detectors") {
          VINTRA_TRY_STATUS(first_time(seen_detectors, *key_node, path, key));
          VINTRA_TRY(auto detectors, read_detectors(value, path + ".detectors"));
          out.detectors = std::move(detectors);
        } else if (key == "severity") {
          VINTRA_TRY_STATUS(first_time(seen_severity, *key_node, path, key));
          VINTRA_TRY(const Node* v, enter(value));
          VINTRA_TRY(std::string severity, scalar_text(*v, path + ".severity"));
          if (scalar_type(*v) != ScalarType::kNull) out.severity = std::move(severity);
        } else if (key == "contexts") {
          VINTRA_TRY_STATUS(first_time(seen_contexts, *key_node, path, key));
          VINTRA_TRY_STATUS(read_contexts(value, path + ".contexts", out.contexts));
        }
      }
    }
    if (!seen_name) return fail(path, *node, "missing field `name`");
    if (!seen_detectors) return fail(path, *node, "missing field `detectors`");
    return out;
  }

  Result<std::vector<std::string>> read_detectors(std::uint32_t id, const std::string& path) {
    std::vector<std::string> out;
    VINTRA_TRY(const Node* node, enter(id));
    VINTRA_TRY(const Node* seq, collection(node, Kind::kSequence, path));
    if (seq == nullptr) return out;
    out.reserve(seq->items.size());
    for (std::size_t i = 0; i < seq->items.size(); ++i) {
      VINTRA_TRY(const Node* item, enter(seq->items[i]));
      VINTRA_TRY(std::string name, scalar_text(*item, fmt::format("{}[{}]", path, i)));
      out.push_back(std::move(name));
    }
    return out;
  }

  Status read_contexts(std::uint32_t id, const std::string& path,
                       std::map<std::string, ContextRule, std::less<>>& out) {
    VINTRA_TRY(const Node* node, enter(id));
    VINTRA_TRY(const Node* map, collection(node, Kind::kMapping, path));
    if (map == nullptr) return ok();
    for (std::size_t i = 0; i + 1 < map->items.size(); i += 2) {
      VINTRA_TRY(const Node* key_node, enter(map->items[i]));
      VINTRA_TRY(std::string_view key, key_text(*key_node, path));
      VINTRA_TRY(ContextRule rule, read_rule(map->items[i + 1], fmt::format("{}.{}", path, key)));
      // A key given twice keeps its last rule, as a map read in order would.
      out.insert_or_assign(std::string(key), rule);
    }
    return ok();
  }

  Result<ContextRule> read_rule(std::uint32_t id, const std::string& path) {
    VINTRA_TRY(const Node* node, enter(id));
    VINTRA_TRY(const Node* map, collection(node, Kind::kMapping, path));
    ContextRule out;
    bool seen_action = false, seen_notify = false;
    if (map != nullptr) {
      for (std::size_t i = 0; i + 1 < map->items.size(); i += 2) {
        VINTRA_TRY(const Node* key_node, enter(map->items[i]));
        VINTRA_TRY(std::string_view key, key_text(*key_node, path));
        const std::uint32_t value = map->items[i + 1];
        if (key == "action") {
          VINTRA_TRY_STATUS(first_time(seen_action, *key_node, path, key));
          VINTRA_TRY(Action a, read_action(value, path + ".action"));
          out.action = a;
        } else if (key == "notify") {
          VINTRA_TRY_STATUS(first_time(seen_notify, *key_node, path, key));
          VINTRA_TRY(bool b, read_bool(value, path + ".notify"));
          out.notify = b;
        }
      }
    }
    if (!seen_action) return fail(path, *node, "missing field `action`");
    return out;
  }

  Result<Action> read_action(std::uint32_t id, const std::string& path) {
    VINTRA_TRY(const Node* n, enter(id));
    if (n->kind != Kind::kScalar)
      return fail(path, *n, fmt::format("expected an action, found {}", describe(*n)));
    VINTRA_TRY(std::string text, scalar_text(*n, path));
    if (auto a = parse_action(text)) return *a;
    return fail(path, *n,
                fmt::format("unknown action `{}`, expected one of `allow`, `alert`, `block`, `quarantine`",
                            truncated(text)));
  }

  Result<bool> read_bool(std::uint32_t id, const std::string& path) {
    VINTRA_TRY(const Node* n, enter(id));
    if (n->kind == Kind::kScalar) {
      const ScalarType type = scalar_type(*n);
      if (type == ScalarType::kUnsupported)
        return fail(path, *n, fmt::format("unsupported tag {}", display_tag(n->tag)));
      if (type == ScalarType::kBool)
        if (auto b = bool_value(n->text)) return *b;
    }
    return fail(path, *n, fmt::format("expected a boolean (true or false), found {}", describe(*n)));
  }

  Result<std::uint64_t> read_threshold(std::uint32_t id, const std::string& path) {
    VINTRA_TRY(const Node* n, enter(id));
    if (n->kind != Kind::kScalar || scalar_type(*n) != ScalarType::kInt)
      return fail(path, *n, fmt::format("expected a non-negative integer, found {}", describe(*n)));
    std::uint64_t value = 0;
    switch (parse_uint(n->text, value)) {
      case IntForm::kOk:
        return value;
      case IntForm::kNegative:
        return fail(path, *n,
                    fmt::format("invalid value `{}`, expected a non-negative integer", truncated(n->text)));
      case IntForm::kLeadingZero:
        return fail(path, *n,
                    fmt::format("`{}` is ambiguous (a leading zero reads as octal in some YAML readers); "
                                "write it without leading zeros, or with 0o for octal",
                                truncated(n->text)));
      case IntForm::kTooLarge:
        return fail(path, *n,
                    fmt::format("`{}` is too large for an unsigned 64-bit integer", truncated(n->text)));
      case IntForm::kNotInteger:
        break;
    }
    return fail(path, *n, fmt::format("expected a non-negative integer, found {}", describe(*n)));
  }

  const Tree& tree_;
  std::uint64_t budget_;
  std::uint64_t visited_ = 0;
};

}  // namespace

Result<Policies> parse_policies(std::string_view text) {
  if (const std::size_t bad = invalid_utf8_offset(text); bad != std::string_view::npos)
    return Error(fmt::format("the file is not valid UTF-8 (invalid byte sequence at byte offset {})", bad));
  VINTRA_TRY(Tree tree, compose(text));
  return SchemaReader(tree).read();
}

Result<Policies> load_policies(const std::string& path) {
  // Anything whose metadata we can read counts as present (a directory included: it
  // then fails to read, which is an error rather than a silent fallback).
  if (!platform::exists(path)) {
    VINTRA_LOG(logging::Level::kWarn, logging::kTargetPolicy,
               fmt::format("policies file not found at {} \u2014 using empty default", path));
    return fallback_policies();
  }
  VINTRA_TRY(std::string text, platform::read_file(path));
  return parse_policies(text);
}

}  // namespace vintra::policy
