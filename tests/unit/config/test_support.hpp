// Helpers shared by the configuration tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "common/config/notations/notations.hpp"
#include "common/config/value.hpp"

namespace vintra::config {

// The whole tree in a JSON-like form, for failure messages.
inline std::string dump(const Value& v) {
  if (const auto* i = v.as_int()) return std::to_string(*i) + "i";
  if (const auto* u = v.as_uint()) return std::to_string(*u) + "u";
  if (const auto* d = v.as_double()) return double_text(*d) + "d";
  if (const Array* a = v.as_array()) {
    std::string out = "[";
    for (const auto& item : *a) out += (out.size() > 1 ? ", " : "") + dump(item);
    return out + "]";
  }
  if (const Table* t = v.as_table()) {
    std::string out = "{";
    for (const auto& [key, item] : *t) out += (out.size() > 1 ? ", " : "") + key + ": " + dump(item);
    return out + "}";
  }
  return describe(v);
}
inline void PrintTo(const Value& v, std::ostream* os) { *os << dump(v); }
inline void PrintTo(const Table& t, std::ostream* os) { *os << dump(Value(t)); }

}  // namespace vintra::config

namespace vintra::config::testing {

inline Table table(std::initializer_list<std::pair<const char*, Value>> entries) {
  Table t;
  for (const auto& [k, v] : entries) t.set(k, v);
  return t;
}

// A reader's input and the tree it must give.
struct Accepted {
  const char* text;
  Value want;
};

// A reader's input and a piece of the error text it must give.
struct Rejected {
  const char* text;
  const char* error_contains;
};

using Reader = Result<Value> (*)(std::string_view);

inline void expect_accepted(Reader read, const std::vector<Accepted>& cases) {
  for (const auto& c : cases) {
    auto got = read(c.text);
    if (!got) {
      ADD_FAILURE() << "rejected:\n" << c.text << "\nerror: " << got.error().render();
      continue;
    }
    EXPECT_EQ(*got, c.want) << "input:\n" << c.text << "\ngot: " << dump(*got);
  }
}

inline void expect_rejected(Reader read, const std::vector<Rejected>& cases) {
  for (const auto& c : cases) {
    auto got = read(c.text);
    if (got) {
      ADD_FAILURE() << "accepted:\n" << c.text;
      continue;
    }
    EXPECT_NE(got.error().render().find(c.error_contains), std::string::npos)
        << "input:\n" << c.text << "\nerror: " << got.error().render() << "\nwanted: " << c.error_contains;
  }
}

}  // namespace vintra::config::testing
