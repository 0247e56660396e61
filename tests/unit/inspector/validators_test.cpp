#include "src/inspector/validators.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vintra::inspector {
namespace {

struct Check {
  std::string text;
  bool valid;
};

void PrintTo(const Check& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class Iban : public ::testing::TestWithParam<Check> {};
TEST_P(Iban, Check) {
  EXPECT_EQ(iban_is_valid(GetParam().text), GetParam().valid);
}
INSTANTIATE_TEST_SUITE_P(
    Validators, Iban,
    ::testing::Values(Check{"FR76 3000 6000 0112 3456 7890 189", true},
                      Check{"FR76 3000 6000 0112 3456 7890 188", false},  // last digit changed
                      Check{"GB82 WEST 1234 5698 7654 32", true}, Check{"DE89370400440532013000", true},
                      Check{"GB82 WEST 1234 5698 7654 32 EUR", false},       // a word the pattern absorbed
                      Check{"NO93 8601 1117 947", true},                     // 15: the shortest national form
                      Check{"AB181234567890", false},                        // 14 characters, remainder 1
                      Check{"gb82 west 1234 5698 7654 32", true},            // upper-cased first
                      Check{"GB82\tWEST\r\n1234\f5698 7654 32", true},       // ASCII white space is dropped
                      Check{"GB82\vWEST12345698765432", false},              // ... vertical tab is not
                      Check{"GB82\xC2\xA0WEST12345698765432", false},        // ... nor NBSP
                      Check{"GB\xD9\xA8\xD9\xA2WEST12345698765432", false},  // Arabic-Indic check digits
                      Check{"1282WEST12345698765432", false},                // no country letters
                      Check{"GB82WEST12345698765432GB82WEST1234567", false},  // 35 characters
                      Check{"", false}));

class Luhn : public ::testing::TestWithParam<Check> {};
TEST_P(Luhn, Check) {
  EXPECT_EQ(luhn_is_valid(GetParam().text), GetParam().valid);
}
INSTANTIATE_TEST_SUITE_P(
    Validators, Luhn,
    ::testing::Values(Check{"4111 1111 1111 1111", true}, Check{"4111-1111-1111-1111", true},
                      Check{"4111 1111 1111 1112", false}, Check{"5111 1111 1111 1111", false},
                      Check{"4222222222222", true},    // 13 digits
                      Check{"378282246310005", true},  // 15 digits
                      Check{"4111111111111111111", false}, Check{"0000000000000", true},
                      Check{"0000000000000000000", true},    // 19 zeros
                      Check{"000000000000", false},          // 12
                      Check{"00000000000000000000", false},  // 20
                      // Digits of other scripts are skipped: fewer than 13 ASCII digits remain.
                      Check{"\xD9\xA4\xD9\xA1\xD9\xA1\xD9\xA1 1111 1111 1111", false},
                      Check{"\xD9\xA4 4111 1111 1111 1111", true}));

TEST(Validators, DispatchByEntityName) {
  // Entity names compare by content, not by address.
  const std::string iban = "IBAN", card = "CREDIT_CARD", nir = "FRENCH_NIR";
  const Candidate c_iban{iban, Severity::kCritical, 0, 0};
  const Candidate c_card{card, Severity::kCritical, 0, 0};
  const Candidate c_nir{nir, Severity::kHigh, 0, 0};
  EXPECT_TRUE(candidate_is_retained(c_iban, "GB82 WEST 1234 5698 7654 32"));
  EXPECT_FALSE(candidate_is_retained(c_iban, "GB82 WEST 1234 5698 7654 33"));
  EXPECT_TRUE(candidate_is_retained(c_card, "4111 1111 1111 1111"));
  EXPECT_FALSE(candidate_is_retained(c_card, "4111 1111 1111 1112"));
  EXPECT_TRUE(candidate_is_retained(c_nir, "4111 1111 1111 1112"));
  for (const char* other : {"EMAIL", "PHONE_FR", "AWS_KEY", "GCP_KEY", "AZURE_KEY", "JWT",
                            "PRIVATE_KEY_BLOCK", "GENERIC_API_KEY", "iban", "credit_card"}) {
    EXPECT_TRUE(candidate_is_retained(Candidate{other, Severity::kLow, 0, 0}, "x")) << other;
  }
}

}  // namespace
}  // namespace vintra::inspector
