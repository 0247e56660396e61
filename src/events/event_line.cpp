#include "src/events/event_line.hpp"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <vector>

#include "common/utf8.hpp"

namespace vintra::events {

static_assert(EventLineParser::kPadding >= simdjson::SIMDJSON_PADDING);

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

// ---------------------------------------------------------------------------
// Calendar arithmetic on the proleptic Gregorian calendar (days since 1970-01-01).

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(std::int64_t y, unsigned m) {
  static constexpr std::array<unsigned, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

void put_digits(char* p, std::uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
}

// ---------------------------------------------------------------------------
// String escaping.

// For each byte: 0 copy as is, otherwise the character after the backslash
// ('u' for the \u00xx form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}
constexpr auto kEscape = make_escape_table();

void append_escaped(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = s.data();
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char e = kEscape[static_cast<unsigned char>(p[i])];
    if (e == 0) continue;
    out.append(p + start, i - start);
    if (e == 'u') {
      const auto c = static_cast<unsigned char>(p[i]);
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, 2);
    }
    start = i + 1;
  }
  out.append(p + start, s.size() - start);
  out.push_back('"');
}

// Text of our own making: ill-formed bytes become U+FFFD instead of entering the file.
void append_text(std::string& out, std::string_view s) {
  if (is_valid_utf8(s)) {
    append_escaped(out, s);
  } else {
    append_escaped(out, to_utf8_lossy(s));
  }
}

void append_optional_text(std::string& out, const std::optional<std::string>& s) {
  if (s) {
    append_text(out, *s);
  } else {
    out.append("null");
  }
}

void append_uint(std::string& out, std::uint64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

void append_name(std::string& out, std::string_view name) {
  // Enum names need no escaping.
  out.push_back('"');
  out.append(name);
  out.push_back('"');
}

// ---------------------------------------------------------------------------
// Reading.

enum KeyIndex : int {
  kId,
  kTimestamp,
  kChannel,
  kDirection,
  kFilePath,
  kFileSize,
  kDriveLabel,
  kProcess,
  kDecision,
  kDecidedBy,
  kDecidedAt,
  kFindings,
  kSeverity,
  kUnknownKey = -1,
};

constexpr unsigned kRequiredKeys = (1u << kId) | (1u << kTimestamp) | (1u << kChannel) |
                                   (1u << kDirection) | (1u << kFilePath) | (1u << kFileSize) |
                                   (1u << kDecision) | (1u << kFindings) | (1u << kSeverity);

int key_index(std::string_view k) {
  switch (k.size()) {
    case 2:
      return k == "id" ? kId : kUnknownKey;
    case 7:
      if (k == "channel") return kChannel;
      if (k == "process") return kProcess;
      return kUnknownKey;
    case 8:
      if (k == "decision") return kDecision;
      if (k == "findings") return kFindings;
      if (k == "severity") return kSeverity;
      return kUnknownKey;
    case 9:
      if (k == "timestamp") return kTimestamp;
      if (k == "direction") return kDirection;
      if (k == "file_path") return kFilePath;
      if (k == "file_size") return kFileSize;
      return kUnknownKey;
    case 10:
      if (k == "decided_by") return kDecidedBy;
      if (k == "decided_at") return kDecidedAt;
      return kUnknownKey;
    case 11:
      return k == "drive_label" ? kDriveLabel : kUnknownKey;
    default:
      return kUnknownKey;
  }
}

template <class Enum, std::size_t N>
bool parse_enum(simdjson::dom::element v, const std::array<Enum, N>& values, Enum& out) {
  std::string_view s;
  if (v.get_string().get(s)) return false;
  for (Enum e : values) {
    if (json_name(e) == s) {
      out = e;
      return true;
    }
  }
  return false;
}

constexpr std::array<Channel, 7> kChannels{
    Channel::kRemovableUsb, Channel::kCloudSync,       Channel::kNetworkShare, Channel::kNetworkUpload,
    Channel::kDnsLatencyProbe, Channel::kClipboard, Channel::kPrint};
constexpr std::array<Direction, 2> kDirections{Direction::kOutbound, Direction::kInbound};
constexpr std::array<Decision, 4> kDecisions{Decision::kPending, Decision::kAllowed,
                                             Decision::kDenied, Decision::kExpired};
constexpr std::array<Severity, 4> kSeverities{Severity::kLow, Severity::kMedium, Severity::kHigh,
                                              Severity::kCritical};

bool parse_string(simdjson::dom::element v, std::string& out) {
  std::string_view s;
  if (v.get_string().get(s)) return false;
  out.assign(s.data(), s.size());
  return true;
}

bool parse_optional_string(simdjson::dom::element v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  std::string_view s;
  if (v.get_string().get(s)) return false;
  if (out) {
    out->assign(s.data(), s.size());
  } else {
    out.emplace(s);
  }
  return true;
}

// Integer literals only: simdjson types 1.0 and 1e3 as doubles, which get_uint64
// refuses, as it refuses negative integers.
bool parse_uint(simdjson::dom::element v, std::uint64_t& out) {
  return !v.get_uint64().get(out);
}

bool parse_time(simdjson::dom::element v, UtcTime& out) {
  std::string_view s;
  if (v.get_string().get(s)) return false;
  auto t = parse_rfc3339(s);
  if (!t) return false;
  out = *t;
  return true;
}

// Records `key` as seen; false when it was seen before.
bool first_unknown(std::vector<std::string_view>& seen, std::string_view key) {
  for (std::string_view k : seen) {
    if (k == key) return false;
  }
  seen.push_back(key);
  return true;
}

bool parse_finding(simdjson::dom::element v, Finding& out, std::vector<std::string_view>& unknown) {
  simdjson::dom::object obj;
  if (v.get_object().get(obj)) return false;
  unknown.clear();
  unsigned seen = 0;
  for (auto field : obj) {
    unsigned bit;
    if (field.key == "entity") {
      bit = 1;
      if ((seen & bit) || !parse_string(field.value, out.entity)) return false;
    } else if (field.key == "match_count") {
      bit = 2;
      if ((seen & bit) || !parse_uint(field.value, out.match_count)) return false;
    } else if (field.key == "severity") {
      bit = 4;
      if ((seen & bit) || !parse_enum(field.value, kSeverities, out.severity)) return false;
    } else {
      if (!first_unknown(unknown, field.key)) return false;
      continue;
    }
    seen |= bit;
  }
  return seen == 7;
}

bool parse_findings(simdjson::dom::element v, std::vector<Finding>& out,
                    std::vector<std::string_view>& unknown) {
  simdjson::dom::array arr;
  if (v.get_array().get(arr)) return false;
  std::size_t n = 0;
  for (auto item : arr) {
    if (n == out.size()) out.emplace_back();
    if (!parse_finding(item, out[n], unknown)) return false;
    ++n;
  }
  out.resize(n);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

void append_utc_time(std::string& out, UtcTime t) {
  const std::int64_t ns = t.time_since_epoch().count();
  std::int64_t secs = ns / kNanosPerSecond;
  std::int64_t sub = ns % kNanosPerSecond;
  if (sub < 0) {
    sub += kNanosPerSecond;
    --secs;
  }
  std::int64_t days = secs / kSecondsPerDay;
  std::int64_t sod = secs % kSecondsPerDay;
  if (sod < 0) {
    sod += kSecondsPerDay;
    --days;
  }
  std::int64_t y;
  unsigned m, d;
  civil_from_days(days, y, m, d);

  // The range of UtcTime (1677..2262) always has four-digit years.
  char buf[32] = "0000-00-00T00:00:00";
  put_digits(buf, static_cast<std::uint64_t>(y), 4);
  put_digits(buf + 5, m, 2);
  put_digits(buf + 8, d, 2);
  put_digits(buf + 11, static_cast<std::uint64_t>(sod / 3600), 2);
  put_digits(buf + 14, static_cast<std::uint64_t>(sod / 60 % 60), 2);
  put_digits(buf + 17, static_cast<std::uint64_t>(sod % 60), 2);
  std::size_t len = 19;
  if (sub != 0) {
    buf[len++] = '.';
    auto frac = static_cast<std::uint64_t>(sub);
    if (frac % 1'000'000 == 0) {
      put_digits(buf + len, frac / 1'000'000, 3);
      len += 3;
    } else if (frac % 1'000 == 0) {
      put_digits(buf + len, frac / 1'000, 6);
      len += 6;
    } else {
      put_digits(buf + len, frac, 9);
      len += 9;
    }
  }
  buf[len++] = 'Z';
  out.append(buf, len);
}

std::string format_utc_time(UtcTime t) {
  std::string out;
  append_utc_time(out, t);
  return out;
}

std::optional<UtcTime> parse_rfc3339(std::string_view s) {
  auto digits = [&](std::size_t pos, std::size_t n, unsigned& v) {
    if (pos + n > s.size()) return false;
    v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
      const char c = s[i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
  };
  auto at = [&](std::size_t pos, char c) { return pos < s.size() && s[pos] == c; };

  unsigned year, month, day, hour, minute, second;
  if (!digits(0, 4, year) || !at(4, '-') || !digits(5, 2, month) || !at(7, '-') ||
      !digits(8, 2, day) || !(at(10, 'T') || at(10, 't')) || !digits(11, 2, hour) ||
      !at(13, ':') || !digits(14, 2, minute) || !at(16, ':') || !digits(17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  std::int64_t frac = 0;
  if (at(pos, '.')) {
    ++pos;
    const std::size_t first = pos;
    int kept = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (kept < 9) {
        frac = frac * 10 + (s[pos] - '0');
        ++kept;
      }
      ++pos;
    }
    if (pos == first) return std::nullopt;
    for (; kept < 9; ++kept) frac *= 10;
  }
  std::int64_t offset = 0;
  if (at(pos, 'Z') || at(pos, 'z')) {
    ++pos;
  } else if (at(pos, '+') || at(pos, '-')) {
    const bool negative = s[pos] == '-';
    unsigned oh, om;
    if (!digits(pos + 1, 2, oh) || !at(pos + 3, ':') || !digits(pos + 4, 2, om) || oh > 23 ||
        om > 59) {
      return std::nullopt;
    }
    offset = static_cast<std::int64_t>(oh) * 3600 + static_cast<std::int64_t>(om) * 60;
    if (negative) offset = -offset;
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;

  const std::int64_t secs = days_from_civil(year, month, day) * kSecondsPerDay +
                            static_cast<std::int64_t>(hour) * 3600 +
                            static_cast<std::int64_t>(minute) * 60 + second - offset;
  // Before the epoch the whole seconds alone may lie past the range while the instant
  // with its fraction does not (the earliest representable nanoseconds).
  std::int64_t ns;
  const bool borrow = secs < 0 && frac > 0;
  if (__builtin_mul_overflow(borrow ? secs + 1 : secs, kNanosPerSecond, &ns) ||
      __builtin_add_overflow(ns, borrow ? frac - kNanosPerSecond : frac, &ns)) {
    return std::nullopt;
  }
  return UtcTime(std::chrono::nanoseconds(ns));
}

Status append_event_json(std::string& out, const DlpEvent& e) {
  if (!is_valid_utf8(e.file_path)) return Error(std::string(kInvalidPathUtf8));
  out.append("{\"id\":");
  append_text(out, e.id);
  out.append(",\"timestamp\":\"");
  append_utc_time(out, e.timestamp);
  out.append("\",\"channel\":");
  append_name(out, json_name(e.channel));
  out.append(",\"direction\":");
  append_name(out, json_name(e.direction));
  out.append(",\"file_path\":");
  append_escaped(out, e.file_path);
  out.append(",\"file_size\":");
  append_uint(out, e.file_size);
  out.append(",\"drive_label\":");
  append_optional_text(out, e.drive_label);
  out.append(",\"process\":");
  append_optional_text(out, e.process);
  out.append(",\"decision\":");
  append_name(out, json_name(e.decision));
  out.append(",\"decided_by\":");
  append_optional_text(out, e.decided_by);
  out.append(",\"decided_at\":");
  if (e.decided_at) {
    out.push_back('"');
    append_utc_time(out, *e.decided_at);
    out.push_back('"');
  } else {
    out.append("null");
  }
  out.append(",\"findings\":[");
  bool first = true;
  for (const Finding& f : e.findings) {
    if (!first) out.push_back(',');
    first = false;
    out.append("{\"entity\":");
    append_text(out, f.entity);
    out.append(",\"match_count\":");
    append_uint(out, f.match_count);
    out.append(",\"severity\":");
    append_name(out, json_name(f.severity));
    out.push_back('}');
  }
  out.append("],\"severity\":");
  append_name(out, json_name(e.severity));
  out.push_back('}');
  return ok();
}

Result<std::string> serialize_event_line(const DlpEvent& event) {
  std::string out;
  out.reserve(320 + event.file_path.size());
  VINTRA_TRY_STATUS(append_event_json(out, event));
  return out;
}

// ---------------------------------------------------------------------------

struct EventLineParser::Impl {
  simdjson::dom::parser parser;
  std::string scratch;
  std::vector<std::string_view> unknown_keys;
  std::vector<std::string_view> unknown_finding_keys;

  // The DOM parser validates the whole line (every value, also those of keys we
  // skip) and rejects anything after the object; its object iteration yields every
  // member, duplicates included, which is how duplicates are caught here.
  bool parse(const char* data, std::size_t len, DlpEvent& out) {
    simdjson::dom::element root;
    if (parser.parse(data, len, false).get(root)) return false;
    simdjson::dom::object obj;
    if (root.get_object().get(obj)) return false;
    unknown_keys.clear();
    unsigned seen = 0;
    for (auto field : obj) {
      const int k = key_index(field.key);
      if (k == kUnknownKey) {
        if (!first_unknown(unknown_keys, field.key)) return false;
        continue;
      }
      const unsigned bit = 1u << k;
      if (seen & bit) return false;
      seen |= bit;
      bool good = false;
      switch (k) {
        case kId: good = parse_string(field.value, out.id); break;
        case kTimestamp: good = parse_time(field.value, out.timestamp); break;
        case kChannel: good = parse_enum(field.value, kChannels, out.channel); break;
        case kDirection: good = parse_enum(field.value, kDirections, out.direction); break;
        case kFilePath: good = parse_string(field.value, out.file_path); break;
        case kFileSize: good = parse_uint(field.value, out.file_size); break;
        case kDriveLabel: good = parse_optional_string(field.value, out.drive_label); break;
        case kProcess: good = parse_optional_string(field.value, out.process); break;
        case kDecision: good = parse_enum(field.value, kDecisions, out.decision); break;
        case kDecidedBy: good = parse_optional_string(field.value, out.decided_by); break;
        case kDecidedAt:
          if (field.value.is_null()) {
            out.decided_at.reset();
            good = true;
          } else {
            UtcTime t;
            good = parse_time(field.value, t);
            if (good) out.decided_at = t;
          }
          break;
        case kFindings:
          good = parse_findings(field.value, out.findings, unknown_finding_keys);
          break;
        case kSeverity: good = parse_enum(field.value, kSeverities, out.severity); break;
        default: break;
      }
      if (!good) return false;
    }
    if ((seen & kRequiredKeys) != kRequiredKeys) return false;
    if (!(seen & (1u << kDriveLabel))) out.drive_label.reset();
    if (!(seen & (1u << kProcess))) out.process.reset();
    if (!(seen & (1u << kDecidedBy))) out.decided_by.reset();
    if (!(seen & (1u << kDecidedAt))) out.decided_at.reset();
    return true;
  }
};

EventLineParser::EventLineParser() : impl_(std::make_unique<Impl>()) {}
EventLineParser::~EventLineParser() = default;

bool EventLineParser::parse(std::string_view line, DlpEvent& out) {
  std::string& buf = impl_->scratch;
  buf.reserve(line.size() + kPadding);
  buf.assign(line.data(), line.size());
  return impl_->parse(buf.data(), buf.size(), out);
}

bool EventLineParser::parse_padded(std::string_view line, DlpEvent& out) {
  return impl_->parse(line.data(), line.size(), out);
}

std::optional<DlpEvent> parse_event_line(std::string_view line) {
  thread_local EventLineParser parser;
  DlpEvent event;
  if (!parser.parse(line, event)) return std::nullopt;
  return event;
}

}  // namespace vintra::events
