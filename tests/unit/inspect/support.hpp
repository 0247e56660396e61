// Helpers of the inspection tests: the catalogue and policies from YAML text.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "src/inspector/patterns.hpp"
#include "src/policy/policies.hpp"

namespace vintra::inspector::testing {

inline std::shared_ptr<const Catalogue> catalogue() {
  static const std::shared_ptr<const Catalogue> c = [] {
    auto built = build_catalogue();
    if (!built) std::abort();
    return std::move(built).value();
  }();
  return c;
}

inline policy::Policies policies_from(std::string_view yaml) {
  auto p = policy::parse_policies(yaml);
  if (!p) {
    ADD_FAILURE() << "policies do not parse: " << p.error().render();
    return {};
  }
  return std::move(p).value();
}

}  // namespace vintra::inspector::testing
