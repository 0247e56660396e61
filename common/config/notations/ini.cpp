// INI through inih.
//
// How INI maps onto the tree:
//   - a name before any section header is a top-level key;
//   - "[section]" opens a top-level table; a dotted header names a nested table, so
//     "[vintra_dlp.network]" holds the keys of vintra_dlp.network; headers may repeat
//     and add to the same table;
//   - a dotted name is a path too: "network.enabled = true" under "[vintra_dlp]" is
//     vintra_dlp.network.enabled;
//   - every value is text (INI has no other kind); the converter then applies its text
//     rules, so "enabled = yes" is a boolean and "usb_poll_seconds = 5" a number, while
//     list keys cannot be given in INI (a single text is not a list);
//   - a value wrapped in one pair of double quotes loses them ("" gives the empty text);
//   - a continuation line (indented, after a name), or the same name again on the next
//     line, extends the value with a new line (inih reports both the same way); a name
//     given again further down replaces the earlier value;
//   - comments start a line with ";" or "#", or follow " ;" inside a line.
#include <ini.h>

#include <fmt/format.h>

#include <cstring>

#include "common/config/notations/notations.hpp"
#include "common/config/notations/text.hpp"

namespace vintra::config {
namespace {

struct State {
  std::string_view text;
  std::size_t offset = 0;     // where the next line starts
  std::size_t line = 0;       // the number of the line last handed to inih
  bool line_too_long = false;
  std::optional<Error> error;  // the first problem the handler found
  Table root;
  // The last (section, name) the handler saw, to join continuation lines.
  std::string last_section;
  std::string last_name;
};

// inih reads lines through a fixed buffer and would silently split a longer line in
// two; such a line is refused instead.
char* read_line(char* buf, int size, void* stream) {
  auto* st = static_cast<State*>(stream);
  if (st->offset >= st->text.size() || st->line_too_long || size < 2) return nullptr;
  std::size_t end = st->text.find('\n', st->offset);
  std::size_t next = end == std::string_view::npos ? st->text.size() : end + 1;
  std::size_t len = next - st->offset;
  if (len > static_cast<std::size_t>(size) - 1) {
    ++st->line;
    st->line_too_long = true;
    return nullptr;
  }
  std::memcpy(buf, st->text.data() + st->offset, len);
  buf[len] = '\0';
  st->offset = next;
  ++st->line;
  return buf;
}

bool valid_path(const std::vector<std::string_view>& parts) {
  for (auto p : parts)
    if (p.empty()) return false;
  return true;
}

std::string unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return std::string(v);
}

int on_entry(void* user, const char* section, const char* name, const char* value) {
  auto* st = static_cast<State*>(user);
  if (st->error) return 0;
  std::string_view sec(section);
  std::string_view key(name);
  std::vector<std::string_view> path;
  if (!sec.empty()) path = split_dotted(sec);
  for (auto part : split_dotted(key)) path.push_back(part);
  if (!valid_path(path)) {
    st->error = text::line_error(st->line, fmt::format("invalid name \"{}\" in section \"{}\"", key, sec));
    return 0;
  }
  std::string text = unquote(value);
  if (sec == st->last_section && key == st->last_name) {
    // The value just set under this path is extended.
    const Value* existing = nullptr;
    const Table* table = &st->root;
    for (auto part : path) {
      existing = table == nullptr ? nullptr : table->find(part);
      table = existing == nullptr ? nullptr : existing->as_table();
    }
    if (existing != nullptr && existing->as_string() != nullptr) text = *existing->as_string() + "\n" + text;
  }
  set_path(st->root, path, Value(std::move(text)));
  st->last_section = sec;
  st->last_name = key;
  return 1;
}

}  // namespace

Result<Value> parse_ini(std::string_view input) {
  VINTRA_TRY_STATUS(text::check_utf8(input));
  State st;
  st.text = input;
  int rc = ini_parse_stream(read_line, &st, on_entry, &st);
  if (st.line_too_long) return text::line_error(st.line, "line is too long");
  if (st.error) return std::move(*st.error);
  if (rc == -2) return Error("invalid INI: out of memory");
  if (rc != 0) return text::line_error(static_cast<std::size_t>(rc), "syntax error");
  return Value(std::move(st.root));
}

}  // namespace vintra::config
