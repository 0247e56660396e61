// Running one detector: its plan picks the windows, RE2 confirms the matches.
#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

#include "src/inspector/plan.hpp"

namespace re2 {
class RE2;
}

namespace vintra::inspector::detail {

// A non-owning reference to a callable taking (start, end).
class MatchSink {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, MatchSink>>>
  MatchSink(F&& f)  // NOLINT: implicit by design
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, std::size_t s, std::size_t e) {
          (*static_cast<std::remove_reference_t<F>*>(o))(s, e);
        }) {}
  void operator()(std::size_t start, std::size_t end) const { call_(object_, start, end); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t, std::size_t);
};

// Passes every leftmost-first, non-overlapping match of `re` in `subject` to
// `sink`, in order: exactly the matches of a plain RE2 loop over the whole
// subject, found through `plan`. Linear in the subject. Thread-safe.
void scan(const re2::RE2& re, const Plan& plan, std::string_view subject, MatchSink sink);

// The plain RE2 loop over [from, to) of `subject` (the rest is context).
void scan_plain(const re2::RE2& re, std::string_view subject, std::size_t from, std::size_t to,
                MatchSink sink);

}  // namespace vintra::inspector::detail
