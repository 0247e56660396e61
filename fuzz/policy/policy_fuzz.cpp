// Feeds arbitrary bytes to the policy parser and, when they parse, evaluates the
// result for every source and a few entity sets, as the inspection job would.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "src/policy/evaluate.hpp"
#include "src/policy/policies.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vintra;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = policy::parse_policies(text);
  if (!parsed) return 0;
  for (auto source : {ScanSource::kUsb, ScanSource::kCloud}) {
    for (std::uint16_t bits : {0x0000, 0x0001, 0x0100, 0x07ff}) {
      (void)policy::evaluate_policies(*parsed, policy::EntitySet::from_bits(bits), source);
    }
  }
  return 0;
}
