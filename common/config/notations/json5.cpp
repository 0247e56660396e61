// JSON5, read strictly by recursive descent after the JSON5 grammar.
//
// Identifier keys follow ECMAScript IdentifierName with one simplification: any
// non-ASCII character other than white space counts as a letter (the exact Unicode
// ID_Start/ID_Continue classes would need the Unicode tables, and a configuration key
// that is not ASCII is unknown anyway). A key given twice keeps its last value.
// Numbers without fraction or exponent are integers (int, or uint above the int64
// range; beyond uint64 they are read as doubles, as JSON5 defines every number).
#include <fmt/format.h>

#include <charconv>
#include <cmath>

#include "common/config/notations/notations.hpp"
#include "common/config/notations/scanner.hpp"

namespace vintra::config {
namespace {

bool is_line_terminator(char32_t cp) { return cp == '\n' || cp == '\r' || cp == 0x2028 || cp == 0x2029; }

bool is_space(char32_t cp) {
  switch (cp) {
    case '\t': case '\n': case 0x0B: case '\f': case '\r': case ' ':
    case 0x00A0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
    case 0xFEFF:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

bool is_ident_start(char32_t cp) {
  return (cp < 0x80 && (text::is_ascii_alpha(static_cast<char>(cp)) || cp == '$' || cp == '_')) ||
         (cp >= 0x80 && !is_space(cp));
}
bool is_ident_part(char32_t cp) { return is_ident_start(cp) || (cp >= '0' && cp <= '9'); }

class Json5Reader : text::Scanner {
 public:
  using Scanner::Scanner;

  Result<Value> document() {
    VINTRA_TRY_STATUS(text::check_utf8(s_));
    VINTRA_TRY(Value v, value());
    VINTRA_TRY_STATUS(skip_space());
    if (!eof()) return error(fmt::format("unexpected {} after the value", here()));
    return v;
  }

 private:
  char32_t cp_here(std::size_t* len = nullptr) const { return code_point(len); }

  Status skip_space() {
    while (!eof()) {
      if (at("//")) {
        while (!eof()) {
          std::size_t len = 0;
          if (is_line_terminator(cp_here(&len))) break;
          pos_ += len;
        }
      } else if (at("/*")) {
        std::size_t end = s_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return error("unterminated block comment");
        pos_ = end + 2;
      } else {
        std::size_t len = 0;
        if (!is_space(cp_here(&len))) return ok();
        pos_ += len;
      }
    }
    return ok();
  }

  Result<Value> value() {
    VINTRA_TRY_STATUS(skip_space());
    if (eof()) return error("expected a value, found end of input");
    if (depth_ >= kMaxDepth) return error("nesting is too deep");
    ++depth_;
    Result<Value> v = value_inner();
    --depth_;
    return v;
  }

  Result<Value> value_inner() {
    char c = peek();
    if (c == '{') return object();
    if (c == '[') return array();
    if (c == '"' || c == '\'') {
      VINTRA_TRY(std::string s, string());
      return Value(std::move(s));
    }
    if (c == '+' || c == '-' || c == '.' || text::is_ascii_digit(c) || at("Infinity") || at("NaN")) return number();
    if (word("null")) return Value();
    if (word("true")) return Value(true);
    if (word("false")) return Value(false);
    return error(fmt::format("expected a value, found {}", here()));
  }

  // A keyword that is not the start of a longer name.
  bool word(std::string_view w) {
    if (!at(w)) return false;
    std::size_t after = pos_ + w.size();
    if (after < s_.size()) {
      char32_t cp = 0;
      text::decode_utf8(s_, after, cp);
      if (is_ident_part(cp)) return false;
    }
    pos_ = after;
    return true;
  }

  Result<Value> object() {
    ++pos_;
    Table members;
    for (;;) {
      VINTRA_TRY_STATUS(skip_space());
      if (take('}')) break;
      std::string key;
      if (peek() == '"' || peek() == '\'') {
        VINTRA_TRY(std::string k, string());
        key = std::move(k);
      } else {
        VINTRA_TRY(std::string k, identifier());
        key = std::move(k);
      }
      VINTRA_TRY_STATUS(skip_space());
      if (!take(':')) return error(fmt::format("expected ':' after the key, found {}", here()));
      VINTRA_TRY(Value v, value());
      members.set(std::move(key), std::move(v));
      VINTRA_TRY_STATUS(skip_space());
      if (take('}')) break;
      if (!take(',')) return error(fmt::format("expected ',' or '}}', found {}", here()));
    }
    return Value(std::move(members));
  }

  Result<Value> array() {
    ++pos_;
    Array items;
    for (;;) {
      VINTRA_TRY_STATUS(skip_space());
      if (take(']')) break;
      VINTRA_TRY(Value v, value());
      items.push_back(std::move(v));
      VINTRA_TRY_STATUS(skip_space());
      if (take(']')) break;
      if (!take(',')) return error(fmt::format("expected ',' or ']', found {}", here()));
    }
    return Value(std::move(items));
  }

  // One identifier character, written plainly or as a \uXXXX escape.
  Result<char32_t> ident_char(bool first) {
    std::size_t start = pos_;
    char32_t cp = 0;
    if (peek() == '\\') {
      ++pos_;
      if (!take('u')) return error_at(start, "expected \\u escape in the name");
      auto v = hex_digits(4);
      if (!v) return error_at(start, "invalid \\u escape (four hex digits)");
      cp = *v;
      if (cp >= 0xD800 && cp <= 0xDFFF) return error_at(start, "escape is not a Unicode scalar value");
    } else {
      std::size_t len = 0;
      cp = cp_here(&len);
      pos_ += len;
    }
    if (first ? !is_ident_start(cp) : !is_ident_part(cp)) {
      pos_ = start;
      return error(fmt::format("expected a key, found {}", here()));
    }
    return cp;
  }

  Result<std::string> identifier() {
    std::string out;
    VINTRA_TRY(char32_t first, ident_char(true));
    text::append_utf8(out, first);
    for (;;) {
      if (eof()) break;
      if (peek() != '\\') {
        std::size_t len = 0;
        if (!is_ident_part(cp_here(&len))) break;
        out.append(s_.substr(pos_, len));
        pos_ += len;
        continue;
      }
      VINTRA_TRY(char32_t cp, ident_char(false));
      text::append_utf8(out, cp);
    }
    return out;
  }

  Result<std::string> string() {
    std::size_t open = pos_;
    char quote = peek();
    ++pos_;
    std::string out;
    for (;;) {
      if (eof()) return error_at(open, "unterminated string");
      char c = peek();
      if (c == quote) {
        ++pos_;
        return out;
      }
      if (c == '\n' || c == '\r') return error("line break inside a string (escape it with '\\')");
      if (c != '\\') {
        std::size_t run = pos_;
        while (!eof() && peek() != quote && peek() != '\\' && peek() != '\n' && peek() != '\r') ++pos_;
        out.append(s_.substr(run, pos_ - run));
        continue;
      }
      std::size_t start = pos_;
      ++pos_;
      if (eof()) return error_at(open, "unterminated string");
      std::size_t len = 0;
      char32_t e = cp_here(&len);
      switch (e) {
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'v': out.push_back('\v'); break;
        case '0':
          if (text::is_ascii_digit(peek(1))) return error_at(start, "\\0 must not be followed by a digit");
          out.push_back('\0');
          break;
        case 'x': {
          ++pos_;
          auto v = hex_digits(2);
          if (!v) return error_at(start, "invalid \\x escape (two hex digits)");
          text::append_utf8(out, *v);
          continue;
        }
        case 'u': {
          ++pos_;
          auto v = hex_digits(4);
          if (!v) return error_at(start, "invalid \\u escape (four hex digits)");
          char32_t cp = *v;
          if (cp >= 0xD800 && cp <= 0xDBFF && at("\\u")) {
            std::size_t back = pos_;
            pos_ += 2;
            auto low = hex_digits(4);
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
            } else {
              pos_ = back;
            }
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) return error_at(start, "escape is not a Unicode scalar value");
          text::append_utf8(out, cp);
          continue;
        }
        case '\r':
          // A line continuation: the escaped line break is dropped ("\r\n" counts as one).
          if (peek(1) == '\n') ++pos_;
          break;
        case '\n': case 0x2028: case 0x2029:
          break;
        default:
          if (e >= '1' && e <= '9') return error_at(start, "digits cannot be escaped");
          out.append(s_.substr(pos_, len));  // any other character stands for itself
      }
      pos_ += len;
    }
  }

  Result<Value> number() {
    std::size_t start = pos_;
    bool negative = false;
    if (peek() == '+' || peek() == '-') {
      negative = peek() == '-';
      ++pos_;
    }
    if (word("Infinity")) {
      double inf = std::numeric_limits<double>::infinity();
      return Value(negative ? -inf : inf);
    }
    if (word("NaN")) return Value(std::numeric_limits<double>::quiet_NaN());
    if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X')) {
      pos_ += 2;
      std::size_t digits_at = pos_;
      while (!eof() && text::hex_value(peek()) >= 0) ++pos_;
      if (pos_ == digits_at) return error(fmt::format("expected hexadecimal digits, found {}", here()));
      VINTRA_TRY_STATUS(number_end(start));
      auto v = text::integer_value(s_.substr(digits_at, pos_ - digits_at), 16, negative);
      if (!v) return error_at(start, "hexadecimal number out of range");
      return std::move(*v);
    }
    std::size_t int_at = pos_;
    while (text::is_ascii_digit(peek())) ++pos_;
    std::string_view int_part = s_.substr(int_at, pos_ - int_at);
    if (int_part.size() > 1 && int_part[0] == '0') return error_at(int_at, "leading zeros are not allowed");
    bool is_float = false;
    std::string_view frac_part;
    if (peek() == '.') {
      ++pos_;
      is_float = true;
      std::size_t frac_at = pos_;
      while (text::is_ascii_digit(peek())) ++pos_;
      frac_part = s_.substr(frac_at, pos_ - frac_at);
    }
    if (int_part.empty() && frac_part.empty()) return error_at(start, "invalid number");
    std::string_view exp_part;
    if (peek() == 'e' || peek() == 'E') {
      std::size_t exp_at = pos_;
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      std::size_t exp_digits_at = pos_;
      while (text::is_ascii_digit(peek())) ++pos_;
      if (pos_ == exp_digits_at) return error(fmt::format("expected exponent digits, found {}", here()));
      exp_part = s_.substr(exp_at, pos_ - exp_at);
      is_float = true;
    }
    VINTRA_TRY_STATUS(number_end(start));
    if (!is_float) {
      if (auto v = text::integer_value(int_part, 10, negative)) return std::move(*v);
    }
    // Normalised to "[-]I.FeX" so from_chars sees no "+" and no bare point.
    std::string literal;
    if (negative) literal.push_back('-');
    literal.append(int_part.empty() ? "0" : int_part);
    literal.push_back('.');
    literal.append(frac_part.empty() ? "0" : frac_part);
    literal.append(exp_part);
    double d = 0;
    auto res = std::from_chars(literal.data(), literal.data() + literal.size(), d);
    if (res.ec == std::errc::result_out_of_range) return error_at(start, "number out of range");
    if (res.ec != std::errc() || res.ptr != literal.data() + literal.size()) return error_at(start, "invalid number");
    return Value(d);
  }

  // The character after a number must not start a name or be a digit.
  Status number_end(std::size_t start) {
    if (eof()) return ok();
    char32_t cp = cp_here();
    if (is_ident_part(cp) || cp == '\\') return error_at(start, "invalid number");
    return ok();
  }
};

}  // namespace

Result<Value> parse_json5(std::string_view text) { return Json5Reader(text).document(); }

}  // namespace vintra::config
