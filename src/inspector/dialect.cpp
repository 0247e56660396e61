#include "src/inspector/dialect.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <optional>

namespace vintra::inspector::detail {
namespace {

// Largest counted repetition accepted; RE2's own limit is 1000.
constexpr int kMaxRepeat = 1000;

std::vector<char32_t> decode_pattern(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len && i + static_cast<std::size_t>(k) < s.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3F);
    }
    out.push_back(c);
    i += static_cast<std::size_t>(len);
  }
  return out;
}

class Parser {
 public:
  explicit Parser(std::string_view pattern) : src_(decode_pattern(pattern)) {}

  Result<Node> parse() {
    bool fold = false;
    auto node = parse_alternation(fold);
    if (!error_.empty()) return Unexpected(Error(error_));
    if (pos_ != src_.size()) return Unexpected(Error(fmt::format("unmatched ')' at offset {}", pos_)));
    return node;
  }

 private:
  bool at_end() const { return pos_ >= src_.size(); }
  char32_t peek() const { return src_[pos_]; }
  bool eat(char32_t c) {
    if (!at_end() && peek() == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void fail(std::string message) {
    if (error_.empty()) error_ = fmt::format("{} at offset {}", message, pos_);
  }

  // `fold` is the case-insensitivity flag of the enclosing group; a (?i) inside
  // this alternation turns it on until the end of the group.
  Node parse_alternation(bool& fold) {
    Node alt;
    alt.kind = Node::Kind::kAlternate;
    alt.children.push_back(parse_concat(fold));
    while (error_.empty() && eat('|')) alt.children.push_back(parse_concat(fold));
    if (alt.children.size() == 1) return std::move(alt.children.front());
    return alt;
  }

  Node parse_concat(bool& fold) {
    Node cat;
    cat.kind = Node::Kind::kConcat;
    while (error_.empty() && !at_end() && peek() != '|' && peek() != ')') {
      if (auto atom = parse_repeat(fold)) cat.children.push_back(std::move(*atom));
    }
    if (cat.children.empty()) return Node{};
    if (cat.children.size() == 1) return std::move(cat.children.front());
    return cat;
  }

  std::optional<Node> parse_repeat(bool& fold) {
    auto atom = parse_atom(fold);
    if (!atom) return atom;
    for (;;) {
      int min;
      int max;
      if (eat('?')) {
        min = 0, max = 1;
      } else if (eat('*')) {
        min = 0, max = -1;
      } else if (eat('+')) {
        min = 1, max = -1;
      } else if (!at_end() && peek() == '{') {
        ++pos_;
        if (!parse_counts(min, max)) return std::nullopt;
      } else {
        return atom;
      }
      if (!at_end() && (peek() == '?' || peek() == '+')) {
        fail("lazy or possessive quantifiers are not supported");
        return std::nullopt;
      }
      if (atom->kind == Node::Kind::kWordBoundary || atom->kind == Node::Kind::kEmpty) {
        fail("quantifier after an empty-width item");
        return std::nullopt;
      }
      Node rep;
      rep.kind = Node::Kind::kRepeat;
      rep.min = min;
      rep.max = max;
      rep.children.push_back(std::move(*atom));
      atom = std::move(rep);
    }
  }

  bool parse_number(int& out) {
    if (at_end() || peek() < '0' || peek() > '9') return false;
    long v = 0;
    while (!at_end() && peek() >= '0' && peek() <= '9') {
      v = v * 10 + (peek() - '0');
      if (v > kMaxRepeat) {
        fail("repetition count too large");
        return false;
      }
      ++pos_;
    }
    out = static_cast<int>(v);
    return true;
  }

  bool parse_counts(int& min, int& max) {
    if (!parse_number(min)) {
      fail("invalid repetition");
      return false;
    }
    max = min;
    if (eat(',')) {
      max = -1;
      if (!at_end() && peek() != '}' && !parse_number(max)) {
        fail("invalid repetition");
        return false;
      }
    }
    if (!eat('}')) {
      fail("unclosed repetition");
      return false;
    }
    if (max != -1 && max < min) {
      fail("repetition range out of order");
      return false;
    }
    return true;
  }

  static Node set_node(CodePointSet s, bool fold) {
    Node n;
    n.kind = Node::Kind::kSet;
    n.set = fold ? s.case_folded() : std::move(s);
    return n;
  }

  std::optional<Node> parse_atom(bool& fold) {
    const char32_t c = peek();
    switch (c) {
      case '(':
        return parse_group(fold);
      case '[':
        ++pos_;
        return parse_class(fold);
      case '\\': {
        ++pos_;
        if (eat('b')) {
          Node n;
          n.kind = Node::Kind::kWordBoundary;
          return n;
        }
        auto s = parse_escape();
        if (!s) return std::nullopt;
        return set_node(std::move(*s), fold);
      }
      case '.':
        ++pos_;
        return set_node(CodePointSet::of('\n').complement(), fold);
      case '^':
      case '$':
        fail("anchors are not supported");
        return std::nullopt;
      case '?':
      case '*':
      case '+':
      case '{':
        fail("quantifier without an item");
        return std::nullopt;
      default:
        ++pos_;
        return set_node(CodePointSet::of(c), fold);
    }
  }

  std::optional<Node> parse_group(bool& fold) {
    ++pos_;  // '('
    bool inner = fold;
    if (eat('?')) {
      bool on = true;
      bool any = false;
      for (;;) {
        if (eat('i')) {
          inner = on;
          any = true;
        } else if (eat('-')) {
          on = false;
        } else {
          break;
        }
      }
      if (eat(')')) {  // (?i): applies to the rest of the enclosing group
        if (!any) fail("empty flag group");
        fold = inner;
        return std::nullopt;
      }
      if (!eat(':')) {
        fail("unsupported group or flag");
        return std::nullopt;
      }
    }
    Node body = parse_alternation(inner);
    if (!error_.empty()) return std::nullopt;
    if (!eat(')')) {
      fail("unclosed group");
      return std::nullopt;
    }
    return body;
  }

  // After a backslash. Returns the set of the escape.
  std::optional<CodePointSet> parse_escape() {
    if (at_end()) {
      fail("trailing backslash");
      return std::nullopt;
    }
    const char32_t c = src_[pos_++];
    switch (c) {
      case 'd':
        return decimal_digit_set();
      case 'D':
        return decimal_digit_set().complement();
      case 's':
        return white_space_set();
      case 'S':
        return white_space_set().complement();
      case 'w':
        return word_set();
      case 'W':
        return word_set().complement();
      case 'n':
        return CodePointSet::of('\n');
      case 't':
        return CodePointSet::of('\t');
      case 'r':
        return CodePointSet::of('\r');
      case 'f':
        return CodePointSet::of('\f');
      case 'v':
        return CodePointSet::of('\v');
      case 'x':
        return parse_hex();
      default:
        break;
    }
    if (c < 0x80 && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
      return CodePointSet::of(c);  // escaped punctuation stands for itself
    }
    --pos_;
    fail("unsupported escape");
    return std::nullopt;
  }

  std::optional<CodePointSet> parse_hex() {
    auto hex = [](char32_t h) -> int {
      if (h >= '0' && h <= '9') return static_cast<int>(h - '0');
      if (h >= 'a' && h <= 'f') return static_cast<int>(h - 'a' + 10);
      if (h >= 'A' && h <= 'F') return static_cast<int>(h - 'A' + 10);
      return -1;
    };
    char32_t v = 0;
    if (eat('{')) {
      int digits = 0;
      while (!at_end() && hex(peek()) >= 0 && digits < 8) {
        v = v * 16 + static_cast<char32_t>(hex(src_[pos_++]));
        ++digits;
      }
      if (digits == 0 || !eat('}')) {
        fail("invalid \\x{...} escape");
        return std::nullopt;
      }
    } else {
      for (int k = 0; k < 2; ++k) {
        if (at_end() || hex(peek()) < 0) {
          fail("invalid \\x escape");
          return std::nullopt;
        }
        v = v * 16 + static_cast<char32_t>(hex(src_[pos_++]));
      }
    }
    if (v > kMaxCodePoint || (v >= 0xD800 && v <= 0xDFFF)) {
      fail("escape is not a Unicode scalar value");
      return std::nullopt;
    }
    return CodePointSet::of(v);
  }

  // After '['. One item: a character, a range or an escaped class.
  std::optional<Node> parse_class(bool fold) {
    const bool negated = eat('^');
    CodePointSet set;
    bool first = true;
    for (;;) {
      if (at_end()) {
        fail("unclosed character class");
        return std::nullopt;
      }
      if (peek() == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      if (peek() == '[') {
        fail("nested classes are not supported");
        return std::nullopt;
      }
      std::optional<char32_t> lo;
      if (eat('\\')) {
        auto s = parse_escape();
        if (!s) return std::nullopt;
        if (s->ranges().size() == 1 && s->ranges()[0].first == s->ranges()[0].last) {
          lo = s->ranges()[0].first;
        } else {
          set.add(*s);
          continue;
        }
      } else {
        lo = src_[pos_++];
      }
      // A '-' between two characters makes a range; before ']' it is literal.
      if (pos_ + 1 < src_.size() && peek() == '-' && src_[pos_ + 1] != ']') {
        ++pos_;
        char32_t hi;
        if (eat('\\')) {
          auto s = parse_escape();
          if (!s) return std::nullopt;
          if (s->ranges().size() != 1 || s->ranges()[0].first != s->ranges()[0].last) {
            fail("class escape as a range end");
            return std::nullopt;
          }
          hi = s->ranges()[0].first;
        } else {
          hi = src_[pos_++];
        }
        if (hi < *lo) {
          fail("class range out of order");
          return std::nullopt;
        }
        set.add(*lo, hi);
      } else {
        set.add(*lo, *lo);
      }
    }
    // As in Perl-style engines: fold the listed set, then negate.
    if (fold) set = set.case_folded();
    if (negated) set = set.complement();
    Node n;
    n.kind = Node::Kind::kSet;
    n.set = std::move(set);
    return n;
  }

  std::vector<char32_t> src_;
  std::size_t pos_ = 0;
  std::string error_;
};

void append_byte(std::string& out, int b) {
  out += fmt::format("\\x{{{:02x}}}", b);
}

std::string render_set(const std::bitset<256>& bytes) {
  if (bytes.none()) return "[^\\x{00}-\\x{ff}]";
  std::string out;
  if (bytes.count() == 1) {
    for (int b = 0; b < 256; ++b) {
      if (bytes[static_cast<std::size_t>(b)]) append_byte(out, b);
    }
    return out;
  }
  out += '[';
  for (int b = 0; b < 256;) {
    if (!bytes[static_cast<std::size_t>(b)]) {
      ++b;
      continue;
    }
    int e = b;
    while (e + 1 < 256 && bytes[static_cast<std::size_t>(e + 1)]) ++e;
    append_byte(out, b);
    if (e > b) {
      out += '-';
      append_byte(out, e);
    }
    b = e + 1;
  }
  out += ']';
  return out;
}

void render(const Node& n, const ByteAlphabet& alphabet, std::string& out) {
  switch (n.kind) {
    case Node::Kind::kEmpty:
      out += "(?:)";
      return;
    case Node::Kind::kSet:
      out += render_set(alphabet(n.set));
      return;
    case Node::Kind::kWordBoundary:
      out += "\\b";
      return;
    case Node::Kind::kConcat:
      for (const auto& c : n.children) {
        if (c.kind == Node::Kind::kAlternate) {
          out += "(?:";
          render(c, alphabet, out);
          out += ')';
        } else {
          render(c, alphabet, out);
        }
      }
      return;
    case Node::Kind::kAlternate:
      for (std::size_t i = 0; i < n.children.size(); ++i) {
        if (i) out += '|';
        render(n.children[i], alphabet, out);
      }
      return;
    case Node::Kind::kRepeat: {
      out += "(?:";
      render(n.children.front(), alphabet, out);
      out += ')';
      if (n.min == 0 && n.max == 1) {
        out += '?';
      } else if (n.min == 0 && n.max == -1) {
        out += '*';
      } else if (n.min == 1 && n.max == -1) {
        out += '+';
      } else if (n.max == -1) {
        out += fmt::format("{{{},}}", n.min);
      } else if (n.min == n.max) {
        out += fmt::format("{{{}}}", n.min);
      } else {
        out += fmt::format("{{{},{}}}", n.min, n.max);
      }
      return;
    }
  }
}

}  // namespace

Result<Node> parse_pattern(std::string_view pattern) {
  return Parser(pattern).parse();
}

void collect_sets(const Node& node, std::vector<CodePointSet>& out) {
  if (node.kind == Node::Kind::kSet) out.push_back(node.set);
  for (const auto& c : node.children) collect_sets(c, out);
}

namespace {

std::size_t add_bounded(std::size_t a, std::size_t b) {
  return a == kUnbounded || b == kUnbounded ? kUnbounded : a + b;
}

std::size_t mul_bounded(std::size_t a, int times) {
  if (times < 0) return a == 0 ? 0 : kUnbounded;
  return a == kUnbounded ? (times == 0 ? 0 : kUnbounded) : a * static_cast<std::size_t>(times);
}

}  // namespace

std::size_t min_length(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kWordBoundary:
      return 0;
    case Node::Kind::kSet:
      return 1;
    case Node::Kind::kConcat: {
      std::size_t n = 0;
      for (const auto& c : node.children) n += min_length(c);
      return n;
    }
    case Node::Kind::kAlternate: {
      std::size_t n = kUnbounded;
      for (const auto& c : node.children) n = std::min(n, min_length(c));
      return n;
    }
    case Node::Kind::kRepeat:
      return min_length(node.children.front()) * static_cast<std::size_t>(node.min);
  }
  return 0;
}

std::size_t max_length(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kWordBoundary:
      return 0;
    case Node::Kind::kSet:
      return 1;
    case Node::Kind::kConcat: {
      std::size_t n = 0;
      for (const auto& c : node.children) n = add_bounded(n, max_length(c));
      return n;
    }
    case Node::Kind::kAlternate: {
      std::size_t n = 0;
      for (const auto& c : node.children) {
        const std::size_t m = max_length(c);
        n = (n == kUnbounded || m == kUnbounded) ? kUnbounded : std::max(n, m);
      }
      return n;
    }
    case Node::Kind::kRepeat:
      return mul_bounded(max_length(node.children.front()), node.max);
  }
  return 0;
}

CodePointSet match_alphabet(const Node& node) {
  CodePointSet out;
  if (node.kind == Node::Kind::kSet) out.add(node.set);
  for (const auto& c : node.children) out.add(match_alphabet(c));
  return out;
}

std::size_t min_count(const Node& node, const CodePointSet& within) {
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kWordBoundary:
      return 0;
    case Node::Kind::kSet:
      return node.set.intersect(within) == node.set ? 1 : 0;
    case Node::Kind::kConcat: {
      std::size_t n = 0;
      for (const auto& c : node.children) n += min_count(c, within);
      return n;
    }
    case Node::Kind::kAlternate: {
      std::size_t n = kUnbounded;
      for (const auto& c : node.children) n = std::min(n, min_count(c, within));
      return n;
    }
    case Node::Kind::kRepeat:
      return min_count(node.children.front(), within) * static_cast<std::size_t>(node.min);
  }
  return 0;
}

std::string render_re2(const Node& node, const ByteAlphabet& alphabet) {
  std::string out;
  render(node, alphabet, out);
  return out;
}

}  // namespace vintra::inspector::detail
