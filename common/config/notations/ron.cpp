// RON (Rusty Object Notation), read strictly by recursive descent.
//
// How RON maps onto the tree: a struct "(a: 1)" or "Name(a: 1)" is a table (the name
// is dropped), a map "{"k": v}" is a table whose keys must be texts, a list "[..]" and
// a tuple "(1, 2)" or "Name(1, 2)" are arrays, "Some(x)" is x, "None" and the unit
// "()" are null, an enum variant or unit struct "Name" is the text of its name, a char
// 'c' is a one-character text. Leading "#![enable(...)]" attributes are accepted and
// have no effect on an untyped tree. A field or map key given twice is an error.
#include <fmt/format.h>

#include <charconv>
#include <cmath>

#include "common/config/notations/notations.hpp"
#include "common/config/notations/scanner.hpp"

namespace vintra::config {
namespace {

bool is_ident_start(char c) { return text::is_ascii_alpha(c) || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || text::is_ascii_digit(c); }

class RonReader : text::Scanner {
 public:
  using Scanner::Scanner;

  Result<Value> document() {
    VINTRA_TRY_STATUS(text::check_utf8(s_));
    VINTRA_TRY_STATUS(skip_space());
    while (at("#!")) {
      VINTRA_TRY_STATUS(attribute());
      VINTRA_TRY_STATUS(skip_space());
    }
    VINTRA_TRY(Value v, value());
    VINTRA_TRY_STATUS(skip_space());
    if (!eof()) return error(fmt::format("unexpected {} after the value", here()));
    return v;
  }

 private:
  // White space as Rust sees it, line comments and nested block comments.
  Status skip_space() {
    for (;;) {
      if (eof()) return ok();
      char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        ++pos_;
      } else if (at("//")) {
        while (!eof() && peek() != '\n') ++pos_;
      } else if (at("/*")) {
        std::size_t start = pos_;
        pos_ += 2;
        int nesting = 1;
        while (nesting > 0) {
          if (eof()) return error_at(start, "unterminated block comment");
          if (at("/*")) {
            ++nesting;
            pos_ += 2;
          } else if (at("*/")) {
            --nesting;
            pos_ += 2;
          } else {
            ++pos_;
          }
        }
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        char32_t cp = code_point();
        if (cp != 0x85 && cp != 0x200E && cp != 0x200F && cp != 0x2028 && cp != 0x2029) return ok();
        std::size_t len = 0;
        code_point(&len);
        pos_ += len;
      } else {
        return ok();
      }
    }
  }

  Status expect(char c, std::string_view what) {
    VINTRA_TRY_STATUS(skip_space());
    if (!take(c)) return error(fmt::format("expected {}, found {}", what, here()));
    return ok();
  }

  // "#![enable(name, ...)]"
  Status attribute() {
    pos_ += 2;
    VINTRA_TRY_STATUS(expect('[', "'['"));
    VINTRA_TRY_STATUS(skip_space());
    if (identifier() != "enable") return error("expected an enable attribute");
    VINTRA_TRY_STATUS(expect('(', "'('"));
    for (;;) {
      VINTRA_TRY_STATUS(skip_space());
      if (take(')')) break;
      if (identifier().empty()) return error(fmt::format("expected an extension name, found {}", here()));
      VINTRA_TRY_STATUS(skip_space());
      if (take(')')) break;
      if (!take(',')) return error(fmt::format("expected ',' or ')', found {}", here()));
    }
    return expect(']', "']'");
  }

  std::string_view identifier() {
    std::size_t start = pos_;
    if (!is_ident_start(peek())) return {};
    while (!eof() && is_ident_char(peek())) ++pos_;
    return s_.substr(start, pos_ - start);
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
    if (c == '(') return parenthesised(false);
    if (c == '[') return list();
    if (c == '{') return map();
    if (c == '"') return string();
    if (c == '\'') return character();
    if (c == 'r' && (peek(1) == '"' || peek(1) == '#')) return raw_string();
    if (text::is_ascii_digit(c) || c == '+' || c == '-' || c == '.') return number();
    if (is_ident_start(c)) return named();
    return error(fmt::format("expected a value, found {}", here()));
  }

  // A name: a keyword, a variant, or the name of a struct or tuple that follows.
  Result<Value> named() {
    std::string_view name = identifier();
    if (name == "true") return Value(true);
    if (name == "false") return Value(false);
    if (name == "None") return Value();
    if (name == "inf") return Value(std::numeric_limits<double>::infinity());
    if (name == "NaN") return Value(std::numeric_limits<double>::quiet_NaN());
    std::size_t after = pos_;
    VINTRA_TRY_STATUS(skip_space());
    if (name == "Some") {
      if (peek() != '(') return error(fmt::format("expected '(' after Some, found {}", here()));
      ++pos_;
      VINTRA_TRY(Value inner, value());
      VINTRA_TRY_STATUS(skip_space());
      take(',');
      VINTRA_TRY_STATUS(expect(')', "')' closing Some"));
      return inner;
    }
    if (peek() == '(') return parenthesised(true);
    pos_ = after;
    return Value(name);
  }

  // After '(': a struct when a field name and ':' come first, else a tuple; "()" is
  // the unit value (an empty struct when named).
  Result<Value> parenthesised(bool named) {
    std::size_t open = pos_;
    ++pos_;
    VINTRA_TRY_STATUS(skip_space());
    if (take(')')) return named ? Value(Table{}) : Value();
    std::size_t probe = pos_;
    bool is_struct = false;
    if (!identifier().empty()) {
      VINTRA_TRY_STATUS(skip_space());
      is_struct = peek() == ':';
    }
    pos_ = probe;
    if (is_struct) return struct_fields(open);
    Array items;
    for (;;) {
      VINTRA_TRY(Value item, value());
      items.push_back(std::move(item));
      VINTRA_TRY_STATUS(skip_space());
      if (take(')')) break;
      if (!take(',')) return error(fmt::format("expected ',' or ')', found {}", here()));
      VINTRA_TRY_STATUS(skip_space());
      if (take(')')) break;
      if (eof()) return error_at(open, "unclosed '('");
    }
    return Value(std::move(items));
  }

  Result<Value> struct_fields(std::size_t open) {
    Table fields;
    for (;;) {
      VINTRA_TRY_STATUS(skip_space());
      std::size_t key_at = pos_;
      std::string_view key = identifier();
      if (key.empty()) return error(fmt::format("expected a field name, found {}", here()));
      VINTRA_TRY_STATUS(expect(':', "':' after the field name"));
      VINTRA_TRY(Value v, value());
      if (!fields.insert_new(std::string(key), std::move(v)))
        return error_at(key_at, fmt::format("duplicate field \"{}\"", key));
      VINTRA_TRY_STATUS(skip_space());
      if (take(')')) break;
      if (!take(',')) return error(fmt::format("expected ',' or ')', found {}", here()));
      VINTRA_TRY_STATUS(skip_space());
      if (take(')')) break;
      if (eof()) return error_at(open, "unclosed '('");
    }
    return Value(std::move(fields));
  }

  Result<Value> list() {
    ++pos_;
    Array items;
    for (;;) {
      VINTRA_TRY_STATUS(skip_space());
      if (take(']')) break;
      VINTRA_TRY(Value item, value());
      items.push_back(std::move(item));
      VINTRA_TRY_STATUS(skip_space());
      if (take(']')) break;
      if (!take(',')) return error(fmt::format("expected ',' or ']', found {}", here()));
    }
    return Value(std::move(items));
  }

  Result<Value> map() {
    ++pos_;
    Table entries;
    for (;;) {
      VINTRA_TRY_STATUS(skip_space());
      if (take('}')) break;
      std::size_t key_at = pos_;
      VINTRA_TRY(Value key, value());
      const std::string* name = key.as_string();
      if (name == nullptr) return error_at(key_at, "map keys must be texts");
      VINTRA_TRY_STATUS(expect(':', "':' after the map key"));
      VINTRA_TRY(Value v, value());
      if (!entries.insert_new(*name, std::move(v)))
        return error_at(key_at, fmt::format("duplicate key \"{}\"", *name));
      VINTRA_TRY_STATUS(skip_space());
      if (take('}')) break;
      if (!take(',')) return error(fmt::format("expected ',' or '}}', found {}", here()));
    }
    return Value(std::move(entries));
  }

  // One escape after the backslash, appended to `out`.
  Status escape(std::string& out) {
    std::size_t start = pos_ - 1;
    if (eof()) return error("unterminated escape");
    char c = peek();
    ++pos_;
    switch (c) {
      case '"': out.push_back('"'); return ok();
      case '\'': out.push_back('\''); return ok();
      case '\\': out.push_back('\\'); return ok();
      case '/': out.push_back('/'); return ok();
      case 'b': out.push_back('\b'); return ok();
      case 'f': out.push_back('\f'); return ok();
      case 'n': out.push_back('\n'); return ok();
      case 'r': out.push_back('\r'); return ok();
      case 't': out.push_back('\t'); return ok();
      case '0': out.push_back('\0'); return ok();
      case 'x': {
        auto v = hex_digits(2);
        if (!v || *v > 0x7F) return error_at(start, "invalid \\x escape (two hex digits up to 7F)");
        out.push_back(static_cast<char>(*v));
        return ok();
      }
      case 'u': {
        char32_t cp = 0;
        if (take('{')) {
          std::size_t digits = 0;
          while (!eof() && text::hex_value(peek()) >= 0 && digits < 6) {
            cp = cp * 16 + static_cast<char32_t>(text::hex_value(peek()));
            ++pos_;
            ++digits;
          }
          if (digits == 0 || !take('}')) return error_at(start, "invalid \\u{...} escape");
        } else {
          auto v = hex_digits(4);
          if (!v) return error_at(start, "invalid \\u escape (four hex digits)");
          cp = *v;
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
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
          return error_at(start, "escape is not a Unicode scalar value");
        text::append_utf8(out, cp);
        return ok();
      }
      default:
        pos_ = start + 1;
        return error(fmt::format("invalid escape: '\\' followed by {}", here()));
    }
  }

  Result<Value> string() {
    std::size_t open = pos_;
    ++pos_;
    std::string out;
    for (;;) {
      if (eof()) return error_at(open, "unterminated string");
      char c = peek();
      if (c == '"') {
        ++pos_;
        return Value(std::move(out));
      }
      if (c == '\\') {
        ++pos_;
        VINTRA_TRY_STATUS(escape(out));
        continue;
      }
      std::size_t run = pos_;
      while (!eof() && peek() != '"' && peek() != '\\') ++pos_;
      out.append(s_.substr(run, pos_ - run));
    }
  }

  // r"..." or r#"..."# with any number of '#'.
  Result<Value> raw_string() {
    std::size_t open = pos_;
    ++pos_;
    std::size_t hashes = 0;
    while (take('#')) ++hashes;
    if (!take('"')) return error(fmt::format("expected '\"' to open the raw string, found {}", here()));
    std::string close = "\"" + std::string(hashes, '#');
    std::size_t end = s_.find(close, pos_);
    if (end == std::string_view::npos) return error_at(open, "unterminated raw string");
    Value v(s_.substr(pos_, end - pos_));
    pos_ = end + close.size();
    return v;
  }

  Result<Value> character() {
    std::size_t open = pos_;
    ++pos_;
    std::string out;
    if (eof()) return error_at(open, "unterminated char");
    if (take('\\')) {
      VINTRA_TRY_STATUS(escape(out));
    } else {
      if (peek() == '\'') return error_at(open, "empty char");
      std::size_t len = 0;
      code_point(&len);
      out.append(s_.substr(pos_, len));
      pos_ += len;
    }
    if (!take('\'')) return error_at(open, "a char holds exactly one character");
    return Value(std::move(out));
  }

  // Digits of `base` with "_" separators after the first digit; the separators are
  // dropped from `out`.
  bool digits(int base, bool allow_leading_underscore, std::string& out) {
    std::size_t count = 0;
    while (!eof()) {
      char c = peek();
      int d = text::hex_value(c);
      if (c == '_' && (count > 0 || allow_leading_underscore)) {
        ++pos_;
        continue;
      }
      if (d < 0 || d >= base) break;
      out.push_back(c);
      ++pos_;
      ++count;
    }
    return count > 0;
  }

  Result<Value> number() {
    std::size_t start = pos_;
    bool negative = false;
    if (peek() == '+' || peek() == '-') {
      negative = peek() == '-';
      ++pos_;
    }
    if (at("inf")) {
      pos_ += 3;
      double inf = std::numeric_limits<double>::infinity();
      return finish_number(start, Value(negative ? -inf : inf));
    }
    if (at("NaN")) {
      pos_ += 3;
      return finish_number(start, Value(std::numeric_limits<double>::quiet_NaN()));
    }
    int base = 10;
    if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'o' || peek(1) == 'b')) {
      base = peek(1) == 'x' ? 16 : peek(1) == 'o' ? 8 : 2;
      pos_ += 2;
      std::string ds;
      if (!digits(base, true, ds)) return error(fmt::format("expected digits after the base prefix, found {}", here()));
      auto v = text::integer_value(ds, base, negative);
      if (!v) return error_at(start, "integer out of range");
      return finish_number(start, std::move(*v));
    }
    std::string literal;
    if (negative) literal.push_back('-');
    bool int_part = digits(10, false, literal);
    bool is_float = false;
    if (peek() == '.' && (int_part || text::is_ascii_digit(peek(1)))) {
      ++pos_;
      // from_chars wants digits on both sides of the point.
      if (!int_part) literal.push_back('0');
      literal.push_back('.');
      if (!digits(10, false, literal)) literal.push_back('0');
      is_float = true;
    } else if (!int_part) {
      return error_at(start, "invalid number");
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      literal.push_back('e');
      if (peek() == '+' || peek() == '-') literal.push_back(s_[pos_++]);
      if (!digits(10, false, literal)) return error(fmt::format("expected exponent digits, found {}", here()));
      is_float = true;
    }
    if (!is_float) {
      auto v = text::integer_value(std::string_view(literal).substr(negative ? 1 : 0), 10, negative);
      if (!v) return error_at(start, "integer out of range");
      return finish_number(start, std::move(*v));
    }
    double d = 0;
    auto res = std::from_chars(literal.data(), literal.data() + literal.size(), d);
    if (res.ec != std::errc() || res.ptr != literal.data() + literal.size())
      return error_at(start, "number out of range");
    return finish_number(start, Value(d));
  }

  // A number must not run into a name ("1u8" or "12abc" are not read as 1 or 12).
  Result<Value> finish_number(std::size_t start, Value v) {
    if (!eof() && (is_ident_char(peek()) || peek() == '.')) return error_at(start, "invalid number");
    return v;
  }
};

}  // namespace

Result<Value> parse_ron(std::string_view text) { return RonReader(text).document(); }

}  // namespace vintra::config
