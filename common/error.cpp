#include "common/error.hpp"

#include <atomic>
#include <cstring>

#include "common/platform/backtrace.hpp"

namespace vintra {
namespace {
std::atomic<bool> g_backtraces{false};
}  // namespace

void set_error_backtraces(bool enabled) { g_backtraces.store(enabled, std::memory_order_relaxed); }
bool error_backtraces_enabled() { return g_backtraces.load(std::memory_order_relaxed); }

Error::Error(std::string message) : message_(std::move(message)) {
  if (error_backtraces_enabled()) backtrace_ = platform::capture_backtrace(1);
}

std::string os_error_text(int err) {
  char buf[256];
  // strerror_r has two incompatible signatures; strerror under a copy is good enough
  // and strerror_l would need a locale object. Only the text is wanted.
  const char* text = nullptr;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  text = strerror_r(err, buf, sizeof buf);
#else
  if (strerror_r(err, buf, sizeof buf) == 0) text = buf;
#endif
  std::string out = text ? text : "Unknown error";
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

Error Error::from_errno(int err) {
  Error e(os_error_text(err));
  e.os_error_ = err;
  return e;
}

Error Error::from_errno(int err, std::string context) { return from_errno(err).context(std::move(context)); }

Error Error::context(std::string message) && {
  Error outer(std::string{});
  outer.message_ = std::move(message);
  outer.causes_.reserve(causes_.size() + 1);
  outer.causes_.push_back(std::move(message_));
  for (auto& c : causes_) outer.causes_.push_back(std::move(c));
  outer.backtrace_ = std::move(backtrace_);
  outer.os_error_ = os_error_;
  return outer;
}

Error Error::context(std::string message) const& { return Error(*this).context(std::move(message)); }

std::string Error::render() const {
  std::string out = message_;
  if (!causes_.empty()) {
    out += "\n\nCaused by:";
    if (causes_.size() == 1) {
      out += "\n    ";
      out += causes_[0];
    } else {
      for (std::size_t i = 0; i < causes_.size(); ++i) {
        out += "\n    ";
        out += std::to_string(i);
        out += ": ";
        out += causes_[i];
      }
    }
  }
  if (!backtrace_.empty()) {
    out += "\n\nStack backtrace:\n";
    out += backtrace_;
    while (!out.empty() && out.back() == '\n') out.pop_back();
  }
  return out;
}

}  // namespace vintra
