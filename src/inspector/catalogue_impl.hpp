// The compiled form behind a Catalogue. Internal to the inspector.
#pragma once

#include <memory>
#include <vector>

#include "src/inspector/class_alphabet.hpp"
#include "src/inspector/patterns.hpp"
#include "src/inspector/plan.hpp"

namespace re2 {
class RE2;
}

namespace vintra::inspector {

struct Catalogue::Impl {
  struct Compiled {
    std::unique_ptr<re2::RE2> ascii;    // over the bytes of all-ASCII text
    std::unique_ptr<re2::RE2> classes;  // over class bytes (detail::ClassAlphabet)
    detail::Plan ascii_plan;            // prefilters for each form
    detail::Plan class_plan;
    Compiled();
    Compiled(Compiled&&) noexcept;
    Compiled& operator=(Compiled&&) noexcept;
    ~Compiled();
  };

  std::vector<Detector> detectors;
  std::vector<Compiled> compiled;  // parallel to detectors
  detail::ClassAlphabet alphabet;
};

// What the detectors run over: the text itself when it is all ASCII, otherwise its
// class bytes. Offsets into `bytes()` are code points (class text) or bytes (ASCII).
struct Subject {
  std::string_view text;
  bool ascii = true;
  detail::MappedText mapped;  // class text, when not ascii

  std::string_view bytes() const { return ascii ? text : mapped.classes(); }
  std::size_t text_offset(std::size_t i) const { return ascii ? i : mapped.byte_offset(i); }
};

Subject prepare_subject(const Catalogue::Impl& impl, std::string_view text);

// Runs detector `index` over the subject.
void scan_detector(const Catalogue::Impl& impl, std::size_t index, const Subject& subject,
                   CandidateSink sink);

}  // namespace vintra::inspector
