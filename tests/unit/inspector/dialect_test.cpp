#include "src/inspector/dialect.hpp"

#include <gtest/gtest.h>

#include "src/inspector/class_alphabet.hpp"
#include "src/inspector/patterns.hpp"

namespace vintra::inspector::detail {
namespace {

const CodePointSet& only_set(const Node& n) {
  static const CodePointSet none;
  if (n.kind == Node::Kind::kSet) return n.set;
  return n.children.size() == 1 ? only_set(n.children.front()) : none;
}

TEST(Dialect, CaseFoldingIsUnicodeSimpleFolding) {
  auto k = parse_pattern("(?i)k");
  ASSERT_TRUE(k.has_value());
  EXPECT_TRUE(only_set(*k).contains('k'));
  EXPECT_TRUE(only_set(*k).contains('K'));
  EXPECT_TRUE(only_set(*k).contains(0x212A));  // KELVIN SIGN
  auto s = parse_pattern("(?i)[a-z]");
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(only_set(*s).contains(0x17F));  // LATIN SMALL LETTER LONG S
  EXPECT_TRUE(only_set(*s).contains('Q'));
  EXPECT_FALSE(only_set(*s).contains(0x130));  // İ folds only under full/Turkic folding
  EXPECT_FALSE(only_set(*s).contains(0x131));
  auto plain = parse_pattern("k");
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(only_set(*plain), CodePointSet::of('k'));
  auto scoped = parse_pattern("(?i:a)b");
  ASSERT_TRUE(scoped.has_value());
  ASSERT_EQ(scoped->children.size(), 2u);
  EXPECT_EQ(scoped->children[1].set, CodePointSet::of('b'));
}

TEST(Dialect, ClassesAndEscapes) {
  auto p = parse_pattern(R"([A-Za-z0-9._%+\-])");
  ASSERT_TRUE(p.has_value());
  for (char c : std::string("AZaz09._%+-"))
    EXPECT_TRUE(only_set(*p).contains(static_cast<unsigned char>(c))) << c;
  EXPECT_FALSE(only_set(*p).contains(','));
  auto q = parse_pattern(R"([ -])");  // a hyphen before ']' is literal
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(only_set(*q).ranges().size(), 2u);
  auto v = parse_pattern(R"(\s)");
  ASSERT_TRUE(v.has_value());
  for (char32_t c :
       {U'\t', U'\n', U'\v', U'\f', U'\r', U' ', U'\u0085', U'\u00A0', U'\u2007', U'\u202F', U'\u3000'}) {
    EXPECT_TRUE(only_set(*v).contains(c)) << static_cast<unsigned>(c);
  }
  EXPECT_FALSE(only_set(*v).contains(0x200B));
}

TEST(Dialect, RejectsWhatItDoesNotImplement) {
  for (const char* bad : {"^a", "a$", "a*?", "a+?", "(?x)a", "(?=a)", R"(\1)", R"(\p{L})", "[a", "(a", "a)",
                          "a{2,1}", "a{1001}", "*a", R"(\b*)", "(?)", R"(\x{D800})"}) {
    EXPECT_FALSE(parse_pattern(bad).has_value()) << bad;
  }
}

// The alphabet must keep every predicate: each code point's class byte is a word
// byte for RE2 exactly when the code point is a word character, and belongs to the
// bytes of a pattern set exactly when the code point belongs to the set.
TEST(ClassAlphabet, ClassBytesKeepEveryPredicate) {
  std::vector<CodePointSet> sets;
  auto catalogue = build_catalogue();
  ASSERT_TRUE(catalogue.has_value());
  for (const auto& d : (*catalogue)->detectors()) {
    auto tree = parse_pattern(d.pattern);
    ASSERT_TRUE(tree.has_value()) << d.entity;
    collect_sets(*tree, sets);
  }
  auto alphabet = ClassAlphabet::build(sets, word_set());
  ASSERT_TRUE(alphabet.has_value()) << alphabet.error().render();
  EXPECT_LT(alphabet->class_count(), 80u);
  std::vector<std::bitset<256>> bytes;
  for (const auto& s : sets) bytes.push_back(alphabet->bytes_of(s));
  for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::uint8_t b = alphabet->class_of(c);
    ASSERT_EQ(is_re2_word_byte(b), word_set().contains(c)) << std::hex << static_cast<unsigned>(c);
    // Membership in the pattern sets: checked at the edges of their ranges and for
    // all of the BMP, which holds every range edge but a few.
    if (c > 0xFFFF && (c & 0xFF) != 0 && (c & 0xFF) != 0xFF) continue;
    for (std::size_t i = 0; i < sets.size(); ++i) {
      ASSERT_EQ(bytes[i][b], sets[i].contains(c))
          << "set " << i << " code point " << std::hex << static_cast<unsigned>(c);
    }
  }
  for (std::size_t i = 0; i < sets.size(); ++i) {
    for (const auto& r : sets[i].ranges()) {
      for (char32_t c : {r.first, r.last, char32_t(r.first - 1), char32_t(r.last + 1)}) {
        if (c > kMaxCodePoint) continue;
        EXPECT_EQ(bytes[i][alphabet->class_of(c)], sets[i].contains(c))
            << std::hex << static_cast<unsigned>(c);
      }
    }
  }
}

}  // namespace
}  // namespace vintra::inspector::detail
