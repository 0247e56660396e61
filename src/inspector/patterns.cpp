#include "src/inspector/patterns.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include "src/inspector/catalogue_impl.hpp"
#include "src/inspector/class_alphabet.hpp"
#include "src/inspector/dialect.hpp"
#include "src/inspector/utf8.hpp"

namespace vintra::inspector {
namespace {

struct DetectorSpec {
  std::string_view entity;
  Severity severity;
  std::string_view pattern;
};

// The catalogue, in running order.
constexpr DetectorSpec kCatalogue[] = {
    {"CREDIT_CARD", Severity::kCritical, R"(\b(?:\d[ -]?){12,18}\d\b)"},
    {"IBAN", Severity::kCritical, R"(\b[A-Z]{2}\d{2}[A-Z0-9 ]{11,30}\b)"},
    {"FRENCH_NIR", Severity::kHigh, R"(\b[12]\s?\d{2}\s?\d{2}\s?\d{2,5}\s?\d{3}\s?\d{2}\b)"},
    {"EMAIL", Severity::kMedium, R"(\b[A-Za-z0-9._%+\-]+@[A-Za-z0-9.\-]+\.[A-Za-z]{2,}\b)"},
    {"PHONE_FR", Severity::kMedium, R"(\b0[1-9](?:[ .\-]?\d{2}){4}\b)"},
    // Long-term AWS access key identifiers.
    {"AWS_KEY", Severity::kCritical, R"(\bAKIA[0-9A-Z]{16}\b)"},
    // Google Cloud API keys.
    {"GCP_KEY", Severity::kCritical, R"(\bAIza[0-9A-Za-z_\-]{35}\b)"},
    {"AZURE_KEY", Severity::kCritical, R"(\b[A-Za-z0-9+/]{86}==\b)"},
    {"JWT", Severity::kHigh, R"(\beyJ[A-Za-z0-9_\-]{10,}\.eyJ[A-Za-z0-9_\-]{10,}\.[A-Za-z0-9_\-]{10,}\b)"},
    // The begin-marker line of a PEM private key, not its body.
    {"PRIVATE_KEY_BLOCK", Severity::kCritical, R"(-----BEGIN (?:(?:RSA|EC|DSA|OPENSSH|PGP) )?PRIVATE KEY-----)"},
    {"GENERIC_API_KEY", Severity::kHigh,
     R"((?i)\b(?:api[_\-]?key|secret[_\-]?key|access[_\-]?token|bearer)\s*[:=]\s*['"]?[A-Za-z0-9_\-]{20,}['"]?)"},
};

// RE2's automaton budget per pattern. The default (8 MiB) is too small for the
// counted digit groups of CREDIT_CARD on long digit runs: the DFA would keep
// flushing its state cache and RE2 would fall back to its much slower NFA.
constexpr std::int64_t kMaxMem = 64 << 20;

Result<std::unique_ptr<RE2>> compile(std::string_view entity, const std::string& re2_pattern) {
  RE2::Options opt;
  opt.set_encoding(RE2::Options::EncodingLatin1);
  opt.set_case_sensitive(true);  // case folding is already in the sets
  opt.set_never_capture(true);
  opt.set_log_errors(false);
  opt.set_max_mem(kMaxMem);
  auto re = std::make_unique<RE2>(re2_pattern, opt);
  if (!re->ok()) return Unexpected(Error(fmt::format("{}: {}", entity, re->error())));
  return re;
}

std::bitset<256> ascii_bytes(const detail::CodePointSet& s) {
  std::bitset<256> out;
  for (const auto& r : s.ranges()) {
    for (char32_t c = r.first; c <= r.last && c < 0x80; ++c) out.set(c);
  }
  return out;
}

}  // namespace

Catalogue::Catalogue(std::unique_ptr<const Impl> impl) : impl_(std::move(impl)) {}
Catalogue::~Catalogue() = default;
const std::vector<Detector>& Catalogue::detectors() const { return impl_->detectors; }

Result<std::shared_ptr<const Catalogue>> build_catalogue() {
  auto impl = std::make_unique<Catalogue::Impl>();
  std::vector<detail::Node> trees;
  std::vector<detail::CodePointSet> sets;
  for (const auto& spec : kCatalogue) {
    auto tree = detail::parse_pattern(spec.pattern);
    if (!tree) return Unexpected(Error(fmt::format("{}: {}", spec.entity, tree.error().message())));
    detail::collect_sets(*tree, sets);
    trees.push_back(std::move(*tree));
    impl->detectors.push_back(Detector{spec.entity, spec.severity, spec.pattern});
  }
  VINTRA_TRY(impl->alphabet, detail::ClassAlphabet::build(sets, detail::word_set()));
  const auto& alphabet = impl->alphabet;
  for (std::size_t i = 0; i < trees.size(); ++i) {
    const auto entity = impl->detectors[i].entity;
    Catalogue::Impl::Compiled c;
    VINTRA_TRY(c.ascii, compile(entity, detail::render_re2(trees[i], ascii_bytes)));
    VINTRA_TRY(c.classes, compile(entity, detail::render_re2(trees[i], [&](const detail::CodePointSet& s) {
                                    return alphabet.bytes_of(s);
                                  })));
    impl->compiled.push_back(std::move(c));
  }
  return std::make_shared<const Catalogue>(std::move(impl));
}

namespace {

// All leftmost-first, non-overlapping matches of `re` in `subject`, as offsets.
template <class Emit>
void for_each_match(const RE2& re, std::string_view subject, Emit&& emit) {
  const re2::StringPiece whole(subject.data(), subject.size());
  std::size_t pos = 0;
  re2::StringPiece m;
  while (pos < subject.size() && re.Match(whole, pos, subject.size(), RE2::UNANCHORED, &m, 1)) {
    const auto start = static_cast<std::size_t>(m.data() - subject.data());
    const std::size_t end = start + m.size();
    emit(start, end);
    pos = end > start ? end : end + 1;  // no pattern matches empty; guard anyway
  }
}

}  // namespace

void find_candidates(const Catalogue& catalogue, std::string_view text, CandidateSink sink) {
  const auto& impl = catalogue.impl();
  const auto& detectors = impl.detectors;
  if (is_ascii(text)) {
    for (std::size_t i = 0; i < detectors.size(); ++i) {
      const auto& d = detectors[i];
      for_each_match(*impl.compiled[i].ascii, text, [&](std::size_t s, std::size_t e) {
        sink(Candidate{d.entity, d.severity, s, e});
      });
    }
    return;
  }
  detail::MappedText mapped;
  impl.alphabet.map(text, mapped);
  for (std::size_t i = 0; i < detectors.size(); ++i) {
    const auto& d = detectors[i];
    for_each_match(*impl.compiled[i].classes, mapped.classes(), [&](std::size_t s, std::size_t e) {
      sink(Candidate{d.entity, d.severity, mapped.byte_offset(s), mapped.byte_offset(e)});
    });
  }
}

std::vector<Candidate> find_candidates(const Catalogue& catalogue, std::string_view text) {
  std::vector<Candidate> out;
  find_candidates(catalogue, text, [&](const Candidate& c) { out.push_back(c); });
  return out;
}

}  // namespace vintra::inspector

namespace vintra::inspector {
Catalogue::Impl::Compiled::Compiled() = default;
Catalogue::Impl::Compiled::Compiled(Compiled&&) noexcept = default;
Catalogue::Impl::Compiled& Catalogue::Impl::Compiled::operator=(Compiled&&) noexcept = default;
Catalogue::Impl::Compiled::~Compiled() = default;
}  // namespace vintra::inspector
