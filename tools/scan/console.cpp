#include "tools/scan/console.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

namespace vintra::scan {
namespace {

void write(std::FILE* f, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), f);
}

// "2025-03-04T09:15:02.481337Z  WARN vintra_dlp::policy: message fields\n" gives
// "warning: message fields\n".
class ConsoleLogSink : public logging::Sink {
 public:
  explicit ConsoleLogSink(Console& console) : console_(console) {}

  void write_line(std::string_view line) override {
    std::string_view rest = line;
    if (const auto z = rest.find("Z "); z != std::string_view::npos) rest.remove_prefix(z + 2);
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    const auto space = rest.find(' ');
    const std::string_view level = rest.substr(0, space);
    if (space != std::string_view::npos) rest.remove_prefix(space + 1);
    if (const auto colon = rest.find(": "); colon != std::string_view::npos) rest.remove_prefix(colon + 2);
    const char* label = level == "ERROR" ? "error: " : level == "WARN" ? "warning: " : "note: ";
    std::string text = label + std::string(rest);
    if (text.empty() || text.back() != '\n') text += '\n';
    console_.err(text);
  }

 private:
  Console& console_;
};

}  // namespace

void Console::clear_locked() {
  if (!shown_) return;
  write(stderr, "\r\x1b[K");
  shown_ = false;
}

void Console::err(std::string_view text) {
  std::lock_guard lock(mu_);
  clear_locked();
  std::fflush(stdout);
  write(stderr, text);
}

void Console::out(std::string_view text) {
  std::lock_guard lock(mu_);
  if (shared_terminal_) clear_locked();
  write(stdout, text);
}

void Console::flush_out() {
  std::lock_guard lock(mu_);
  std::fflush(stdout);
}

void Console::progress(std::string_view text) {
  if (!progress_enabled_) return;
  std::lock_guard lock(mu_);
  std::fflush(stdout);
  write(stderr, "\r");
  write(stderr, text);
  write(stderr, "\x1b[K");
  shown_ = true;
}

void Console::clear_progress() {
  std::lock_guard lock(mu_);
  clear_locked();
}

std::shared_ptr<logging::Sink> console_log_sink(Console& console) {
  return std::make_shared<ConsoleLogSink>(console);
}

}  // namespace vintra::scan
