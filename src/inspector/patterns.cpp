#include "src/inspector/patterns.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include "src/inspector/catalogue_impl.hpp"
#include "src/inspector/class_alphabet.hpp"
#include "src/inspector/dialect.hpp"
#include "src/inspector/scan.hpp"
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
    {"PRIVATE_KEY_BLOCK", Severity::kCritical,
     R"(-----BEGIN (?:(?:RSA|EC|DSA|OPENSSH|PGP) )?PRIVATE KEY-----)"},
    {"GENERIC_API_KEY", Severity::kHigh,
     R"((?i)\b(?:api[_\-]?key|secret[_\-]?key|access[_\-]?token|bearer)\s*[:=]\s*['"]?[A-Za-z0-9_\-]{20,}['"]?)"},
};

// RE2's automaton budget per pattern. At the default (8 MiB) a DFA that meets many
// states keeps flushing its cache and RE2 abandons it for its much slower NFA (plain
// AZURE_KEY, its 86 counted characters over long base64 runs, does so even at 64
// MiB; its plan now gives RE2 only anchored 88-byte windows). The budget bounds the
// cache, which grows only with the states the text reaches: over the benchmark
// corpora the whole catalogue stays within a few MiB.
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
const std::vector<Detector>& Catalogue::detectors() const {
  return impl_->detectors;
}

Result<std::shared_ptr<const Catalogue>> build_catalogue() {
  auto impl = std::make_unique<Catalogue::Impl>();
  std::vector<detail::Node> trees;
  std::vector<detail::CodePointSet> sets;
  for (const auto& entry : kCatalogue) {
    auto tree = detail::parse_pattern(entry.pattern);
    if (!tree) return Unexpected(Error(fmt::format("{}: {}", entry.entity, tree.error().message())));
    detail::collect_sets(*tree, sets);
    trees.push_back(std::move(*tree));
    impl->detectors.push_back(Detector{entry.entity, entry.severity, entry.pattern});
  }
  VINTRA_TRY(impl->alphabet, detail::ClassAlphabet::build(sets, detail::word_set()));
  const auto& alphabet = impl->alphabet;
  const auto class_bytes = [&](const detail::CodePointSet& s) { return alphabet.bytes_of(s); };
  std::bitset<256> not_ascii;
  for (std::size_t b = 0x80; b < 256; ++b) not_ascii.set(b);
  const std::bitset<256> not_class = ~alphabet.used_bytes();
  for (std::size_t i = 0; i < trees.size(); ++i) {
    const auto entity = impl->detectors[i].entity;
    Catalogue::Impl::Compiled c;
    VINTRA_TRY(c.ascii, compile(entity, detail::render_re2(trees[i], ascii_bytes)));
    VINTRA_TRY(c.classes, compile(entity, detail::render_re2(trees[i], class_bytes)));
    c.ascii_plan = detail::make_plan(trees[i], ascii_bytes, not_ascii);
    c.class_plan = detail::make_plan(trees[i], class_bytes, not_class);
    impl->compiled.push_back(std::move(c));
  }
  return std::make_shared<const Catalogue>(std::move(impl));
}

Subject prepare_subject(const Catalogue::Impl& impl, std::string_view text) {
  Subject s;
  s.text = text;
  s.ascii = is_ascii(text);
  if (!s.ascii) impl.alphabet.map(text, s.mapped);
  return s;
}

void scan_detector(const Catalogue::Impl& impl, std::size_t index, const Subject& subject,
                   CandidateSink sink) {
  const auto& d = impl.detectors[index];
  const auto& c = impl.compiled[index];
  detail::scan(subject.ascii ? *c.ascii : *c.classes, subject.ascii ? c.ascii_plan : c.class_plan,
               subject.bytes(), [&](std::size_t s, std::size_t e) {
                 sink(Candidate{d.entity, d.severity, subject.text_offset(s), subject.text_offset(e)});
               });
}

void find_candidates(const Catalogue& catalogue, std::string_view text, CandidateSink sink) {
  const auto& impl = catalogue.impl();
  const Subject subject = prepare_subject(impl, text);
  for (std::size_t i = 0; i < impl.detectors.size(); ++i) scan_detector(impl, i, subject, sink);
}

std::vector<Candidate> find_candidates(const Catalogue& catalogue, std::string_view text) {
  std::vector<Candidate> out;
  find_candidates(catalogue, text, [&](const Candidate& c) { out.push_back(c); });
  return out;
}

// Out of line, where RE2 is a complete type.
Catalogue::Impl::Compiled::Compiled() = default;
Catalogue::Impl::Compiled::Compiled(Compiled&&) noexcept = default;
Catalogue::Impl::Compiled& Catalogue::Impl::Compiled::operator=(Compiled&&) noexcept = default;
Catalogue::Impl::Compiled::~Compiled() = default;

}  // namespace vintra::inspector
