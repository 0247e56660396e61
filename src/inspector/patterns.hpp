// The detector catalogue: the fixed list of sensitive-data detectors, compiled once
// at start and shared read-only by every inspection job.
//
// Patterns are written in a Perl-style dialect with Unicode semantics: \d is any
// decimal digit (Nd), \s any White_Space character, \b a boundary between a word
// character (Alphabetic, marks, Nd, Pc, Join_Control) and anything else, (?i) is
// Unicode simple case folding; matching is leftmost-first, greedy and
// non-overlapping, over code points. RE2 runs them in linear time through a class
// alphabet that keeps these semantics exactly (see class_alphabet.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "src/events/event.hpp"

namespace vintra::inspector {

struct Detector {
  std::string_view entity;  // "CREDIT_CARD", ...: static text
  Severity severity;
  std::string_view pattern;  // the dialect source of the pattern, as written
};

// One match of one detector. Offsets are bytes into the text that was searched;
// the matched text is text.substr(start, end - start) (never empty).
struct Candidate {
  std::string_view entity;  // the detector's entity: static text
  Severity severity;
  std::size_t start;
  std::size_t end;

  bool operator==(const Candidate&) const = default;
};

// Receives candidates; a non-owning reference to any callable taking
// `const Candidate&`, valid while the callable is.
class CandidateSink {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, CandidateSink>>>
  CandidateSink(F&& f)  // NOLINT: implicit, so that a lambda can be passed directly
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, const Candidate& c) { (*static_cast<std::remove_reference_t<F>*>(o))(c); }) {}

  void operator()(const Candidate& c) const { call_(object_, c); }

 private:
  void* object_;
  void (*call_)(void*, const Candidate&);
};

// The compiled catalogue. Immutable; any number of threads may search with one
// catalogue at the same time without locking each other out (the engine keeps its
// scratch state per search, its automaton caches behind its own locks).
class Catalogue {
 public:
  struct Impl;

  explicit Catalogue(std::unique_ptr<const Impl> impl);
  ~Catalogue();
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  // The detectors in the order in which they run and report.
  const std::vector<Detector>& detectors() const;
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<const Impl> impl_;
};

// Compiles the eleven detectors, in catalogue order. Takes a few milliseconds; call
// once per process. The error carries the engine's message; with the built-in
// patterns it does not occur.
Result<std::shared_ptr<const Catalogue>> build_catalogue();

// Runs every detector over `text` (well-formed UTF-8, as decode_lossy gives it)
// and passes each match to `sink`: grouped by detector in catalogue order, in text
// order within a detector. Nothing is de-duplicated across detectors.
//
// Time is linear in the length of the text for every detector. Text that is all
// ASCII is searched as it is, with no extra memory; other text is first mapped to
// one class byte per code point, which takes text.size() + text.size() / 16 bytes
// for the duration of the call.
void find_candidates(const Catalogue& catalogue, std::string_view text, CandidateSink sink);

// The same, collected. Mind that adversarial text can have hundreds of thousands
// of candidates; the inspection job validates and tallies them through the sink.
std::vector<Candidate> find_candidates(const Catalogue& catalogue, std::string_view text);

}  // namespace vintra::inspector
