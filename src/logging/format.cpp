// The log line, byte for byte. Built by hand into one buffer per event: the layout is
// fixed, and appending a few pieces is cheaper than any general formatter.
#include <charconv>

#include "src/logging/clock.hpp"
#include "src/logging/log.hpp"

namespace vintra::logging {
namespace {

constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

void append_digits(std::string& out, unsigned value, int width) {
  char buf[10];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 10);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buf[--n]);
}

// "2025-03-04T09:15:02.481337Z"
void append_timestamp(std::string& out, LogClock::time_point when) {
  using namespace std::chrono;
  const auto us = floor<microseconds>(when);
  const auto day = floor<days>(us);
  const year_month_day ymd{day};
  const hh_mm_ss<microseconds> time{us - day};
  const int year = static_cast<int>(ymd.year());
  if (year < 0) out.push_back('-');
  append_digits(out, static_cast<unsigned>(year < 0 ? -year : year), 4);
  out.push_back('-');
  append_digits(out, static_cast<unsigned>(ymd.month()), 2);
  out.push_back('-');
  append_digits(out, static_cast<unsigned>(ymd.day()), 2);
  out.push_back('T');
  append_digits(out, static_cast<unsigned>(time.hours().count()), 2);
  out.push_back(':');
  append_digits(out, static_cast<unsigned>(time.minutes().count()), 2);
  out.push_back(':');
  append_digits(out, static_cast<unsigned>(time.seconds().count()), 2);
  out.push_back('.');
  append_digits(out, static_cast<unsigned>(time.subseconds().count()), 6);
  out.push_back('Z');
}

std::string_view level_text(Level level) {
  switch (level) {
    case Level::kTrace: return "TRACE";
    case Level::kDebug: return "DEBUG";
    case Level::kInfo: return " INFO";
    case Level::kWarn: return " WARN";
    case Level::kError: return "ERROR";
  }
  return "?????";
}

void append_unicode_escape(std::string& out, std::uint32_t cp) {
  out += "\\u{";
  int shift = 28;
  while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out.push_back(kHexLower[(cp >> shift) & 0xF]);
  out.push_back('}');
}

// Length of the valid UTF-8 sequence at the start of `s` (lead byte >= 0x80), with its
// code point, or 0 when the bytes are not valid UTF-8 (overlong forms and surrogates
// included).
std::size_t decode_utf8(std::string_view s, std::uint32_t& cp) {
  auto at = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = at(0);
  std::size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char c = at(i);
    if (i == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return len;
}

void append_escaped(std::string& out, std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    // Copy the longest run that needs no escape in one piece.
    std::size_t run = i;
    while (run < s.size()) {
      const auto c = static_cast<unsigned char>(s[run]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) break;
      ++run;
    }
    out.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;

    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default: append_unicode_escape(out, c); break;
      }
      ++i;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t len = decode_utf8(s.substr(i), cp);
    if (len == 0) {
      out += "\\x";
      out.push_back(kHexUpper[c >> 4]);
      out.push_back(kHexUpper[c & 0xF]);
      ++i;
    } else if (cp <= 0x9F || cp == 0x2028 || cp == 0x2029) {
      append_unicode_escape(out, cp);  // C1 controls and the line and paragraph separators
      i += len;
    } else {
      out.append(s.data() + i, len);
      i += len;
    }
  }
}

template <class Int>
std::string decimal(Int value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

}  // namespace

Field Field::text(std::string name, std::string_view value) {
  std::string written;
  written.reserve(value.size() + 2);
  written.push_back('"');
  append_escaped(written, value);
  written.push_back('"');
  return Field{std::move(name), std::move(written)};
}

Field Field::display(std::string name, std::string_view value) {
  return Field{std::move(name), std::string(value)};
}

Field Field::uint(std::string name, std::uint64_t value) { return Field{std::move(name), decimal(value)}; }

Field Field::integer(std::string name, std::int64_t value) { return Field{std::move(name), decimal(value)}; }

Field Field::boolean(std::string name, bool value) {
  return Field{std::move(name), value ? "true" : "false"};
}

std::string format_line(LogClock::time_point when, Level level, std::string_view target,
                        std::string_view message, std::initializer_list<Field> fields) {
  constexpr std::size_t kFixed = 27 + 1 + 5 + 1 + 2 + 1;  // timestamp, level, separators, line feed
  std::size_t size = kFixed + target.size() + message.size();
  for (const auto& f : fields) size += 2 + f.name.size() + f.value.size();

  std::string line;
  line.reserve(size);
  append_timestamp(line, when);
  line.push_back(' ');
  line += level_text(level);
  line.push_back(' ');
  line += target;
  line += ": ";
  line += message;
  for (const auto& f : fields) {
    line.push_back(' ');
    line += f.name;
    line.push_back('=');
    line += f.value;
  }
  line.push_back('\n');
  return line;
}

std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields) {
  return format_line(log_now(), level, target, message, fields);
}

}  // namespace vintra::logging
