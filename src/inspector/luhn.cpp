#include "src/inspector/luhn.hpp"

namespace vintra::inspector {

bool luhn_is_valid(std::string_view text) {
  // Walk from the right: the rightmost digit counts as it is, the next doubled, and so on.
  unsigned sum = 0;
  unsigned count = 0;
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    const char c = *it;
    if (c < '0' || c > '9') continue;
    unsigned d = static_cast<unsigned>(c - '0');
    if (count % 2 == 1) {
      d *= 2;
      if (d > 9) d -= 9;
    }
    sum += d;
    if (++count > 19) return false;
  }
  return count >= 13 && sum % 10 == 0;
}

}  // namespace vintra::inspector
