#include "common/config/value.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vintra::config {

const Value* Table::find(std::string_view key) const {
  for (const auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

Value* Table::find(std::string_view key) {
  for (auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

Value& Table::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return *existing;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  return entries_.back().second;
}

bool Table::insert_new(std::string key, Value value) {
  if (find(key) != nullptr) return false;
  entries_.emplace_back(std::move(key), std::move(value));
  return true;
}

bool operator==(const Table& a, const Table& b) { return a.entries_ == b.entries_; }

void merge_into(Table& base, Table overlay) {
  for (auto& [key, value] : overlay.take_entries()) {
    Value* existing = base.find(key);
    if (existing != nullptr && existing->is_table() && value.is_table()) {
      merge_into(*existing->as_table(), std::move(*value.as_table()));
    } else {
      base.set(std::move(key), std::move(value));
    }
  }
}

void set_path(Table& root, const std::vector<std::string_view>& path, Value value) {
  Table* table = &root;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    Value* next = table->find(path[i]);
    if (next == nullptr || !next->is_table()) next = &table->set(std::string(path[i]), Table{});
    table = next->as_table();
  }
  table->set(std::string(path.back()), std::move(value));
}

std::vector<std::string_view> split_dotted(std::string_view key) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = key.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(key.substr(start));
      return parts;
    }
    parts.push_back(key.substr(start, dot - start));
    start = dot + 1;
  }
}

namespace {

void append_quoted(std::string& out, const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xf]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

std::string double_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  // Fixed notation with the shortest digits that round-trip: the largest double
  // needs 309 digits, the smallest subnormal 2 + 323 zeros + 1 digit.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  if (res.ec != std::errc()) return "NaN";  // unreachable with this buffer
  return std::string(buf, res.ptr);
}

std::string describe(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::kNull: return "nothing";
    case Value::Kind::kBool: return *value.as_bool() ? "true" : "false";
    case Value::Kind::kInt: return std::to_string(*value.as_int());
    case Value::Kind::kUint: return std::to_string(*value.as_uint());
    case Value::Kind::kDouble: return double_text(*value.as_double());
    case Value::Kind::kString: {
      std::string out;
      append_quoted(out, *value.as_string());
      return out;
    }
    case Value::Kind::kArray: return "a list";
    case Value::Kind::kTable: return "a table";
  }
  return "nothing";
}

}  // namespace vintra::config
