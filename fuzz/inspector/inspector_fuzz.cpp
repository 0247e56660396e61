// Fuzzes the detector matching layer. For any input:
//   - decode_lossy gives well-formed UTF-8;
//   - every detector's plan finds exactly the matches of a plain RE2 loop;
//   - on ASCII text, the class-byte form finds exactly what the ASCII form finds;
//   - candidates lie on character boundaries, in order, without overlap.
#include <re2/re2.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "src/inspector/catalogue_impl.hpp"
#include "src/inspector/scan.hpp"
#include "src/inspector/utf8.hpp"

namespace {

using namespace vintra::inspector;
using Matches = std::vector<std::pair<std::size_t, std::size_t>>;

const Catalogue& catalogue() {
  static const auto c = std::move(*build_catalogue());
  return *c;
}

Matches run(const re2::RE2& re, const detail::Plan* plan, std::string_view subject) {
  Matches out;
  auto sink = [&](std::size_t s, std::size_t e) { out.emplace_back(s, e); };
  if (plan) {
    detail::scan(re, *plan, subject, sink);
  } else {
    detail::scan_plain(re, subject, 0, subject.size(), sink);
  }
  return out;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = decode_lossy(std::string(reinterpret_cast<const char*>(data), size));
  check(valid_utf8_prefix(text) == text.size());
  const auto& impl = catalogue().impl();
  const Subject subject = prepare_subject(impl, text);
  detail::MappedText mapped;
  if (subject.ascii) impl.alphabet.map(text, mapped);
  for (std::size_t i = 0; i < impl.detectors.size(); ++i) {
    const auto& c = impl.compiled[i];
    const re2::RE2& re = subject.ascii ? *c.ascii : *c.classes;
    const auto& plan = subject.ascii ? c.ascii_plan : c.class_plan;
    const Matches plain = run(re, nullptr, subject.bytes());
    check(run(re, &plan, subject.bytes()) == plain);
    if (subject.ascii) {
      check(run(*c.classes, &c.class_plan, mapped.classes()) == plain);
    }
    std::size_t last = 0;
    for (const auto& [s, e] : plain) {
      const std::size_t bs = subject.text_offset(s);
      const std::size_t be = subject.text_offset(e);
      check(bs >= last && bs < be && be <= text.size());
      check((static_cast<unsigned char>(text[bs]) & 0xC0) != 0x80);
      check(be == text.size() || (static_cast<unsigned char>(text[be]) & 0xC0) != 0x80);
      last = be;
    }
  }
  return 0;
}
