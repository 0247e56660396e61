// The neutral value tree every configuration source produces: the built-in
// defaults, each file notation and the environment. Layers are merged as trees and
// only then converted into the typed record, so every source obeys the same
// conversion rules.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vintra::config {

class Value;
using Array = std::vector<Value>;

// A table keeps its keys in the order they were first set, so the merged tree and
// anything rendered from it are deterministic. Look-up is linear: configuration
// tables hold tens of keys.
class Table {
 public:
  using Entry = std::pair<std::string, Value>;

  Table() = default;

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Sets `key`: an existing key keeps its position and gets the new value, a new key
  // is appended. Returns the stored value.
  Value& set(std::string key, Value value);
  // Appends `key` unless it is present; returns false (and changes nothing) when it is.
  bool insert_new(std::string key, Value value);

  std::size_t size() const;
  bool empty() const;
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;
  // Hands out the entries, leaving the table empty.
  std::vector<Entry> take_entries();

  friend bool operator==(const Table& a, const Table& b);

 private:
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Kind : std::uint8_t { kNull, kBool, kInt, kUint, kDouble, kString, kArray, kTable };

  Value() = default;  // null
  Value(bool b) : v_(b) {}  // NOLINT: implicit by design, values read like literals
  template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>)
  Value(I i) {  // NOLINT
    if constexpr (std::is_signed_v<I>)
      v_ = static_cast<std::int64_t>(i);
    else
      v_ = static_cast<std::uint64_t>(i);
  }
  Value(double d) : v_(d) {}                       // NOLINT
  Value(std::string s) : v_(std::move(s)) {}       // NOLINT
  Value(std::string_view s) : v_(std::string(s)) {}  // NOLINT
  Value(const char* s) : v_(std::string(s)) {}     // NOLINT
  Value(Array a) : v_(std::move(a)) {}             // NOLINT
  Value(Table t) : v_(std::move(t)) {}             // NOLINT

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_table() const { return kind() == Kind::kTable; }

  // The held value when it is of that kind, else nullptr.
  const bool* as_bool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* as_int() const { return std::get_if<std::int64_t>(&v_); }
  const std::uint64_t* as_uint() const { return std::get_if<std::uint64_t>(&v_); }
  const double* as_double() const { return std::get_if<double>(&v_); }
  const std::string* as_string() const { return std::get_if<std::string>(&v_); }
  const Array* as_array() const { return std::get_if<Array>(&v_); }
  Array* as_array() { return std::get_if<Array>(&v_); }
  const Table* as_table() const { return std::get_if<Table>(&v_); }
  Table* as_table() { return std::get_if<Table>(&v_); }

  // Structural equality; an int and a uint of the same number are different values.
  friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

 private:
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Array, Table> v_;
};

// Defined here, where Value is complete, since they instantiate the entry type.
inline std::size_t Table::size() const { return entries_.size(); }
inline bool Table::empty() const { return entries_.empty(); }
inline std::vector<Table::Entry>::const_iterator Table::begin() const { return entries_.begin(); }
inline std::vector<Table::Entry>::const_iterator Table::end() const { return entries_.end(); }
inline std::vector<Table::Entry> Table::take_entries() { return std::exchange(entries_, {}); }

// Merges `overlay` into `base` key by key: a key whose value is a table on both sides
// is merged recursively; any other key of `overlay` replaces the key of `base` (a
// single value may replace a table and the reverse; lists are replaced whole).
void merge_into(Table& base, Table overlay);

// Sets the value at a dotted path given as its segments (at least one), creating the
// tables on the way; a non-table value on the way is replaced by a table.
void set_path(Table& root, const std::vector<std::string_view>& path, Value value);

// Splits a dotted key into its segments ("a.b.c" gives a, b, c). Empty segments are
// kept, so callers can refuse "a..b", ".a" and "".
std::vector<std::string_view> split_dotted(std::string_view key);

// How a value is shown in error texts: texts quoted with escapes ("maybe"), numbers
// and booleans in their text form, and "nothing", "a list", "a table" for the rest.
std::string describe(const Value& value);

// The text form of a floating-point number: the shortest decimal that reads back as
// the same number, without exponent ("1.5", "1", "100000000000000000000",
// "0.0001"), and "NaN", "inf", "-inf".
std::string double_text(double d);

}  // namespace vintra::config
