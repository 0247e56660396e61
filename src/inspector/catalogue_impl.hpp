// The compiled form behind a Catalogue. Internal to the inspector.
#pragma once

#include <memory>
#include <vector>

#include "src/inspector/class_alphabet.hpp"
#include "src/inspector/patterns.hpp"

namespace re2 {
class RE2;
}

namespace vintra::inspector {

struct Catalogue::Impl {
  struct Compiled {
    std::unique_ptr<re2::RE2> ascii;    // over the bytes of all-ASCII text
    std::unique_ptr<re2::RE2> classes;  // over class bytes (detail::ClassAlphabet)
    Compiled();
    Compiled(Compiled&&) noexcept;
    Compiled& operator=(Compiled&&) noexcept;
    ~Compiled();
  };

  std::vector<Detector> detectors;
  std::vector<Compiled> compiled;  // parallel to detectors
  detail::ClassAlphabet alphabet;
};

}  // namespace vintra::inspector
