// Errors are values. An Error carries a message and a chain of causes (outermost
// first); Result<T> holds either a T or an Error, shaped like std::expected so the
// code reads the same once the toolchains catch up.
//
// Rendering (used after "Error: " on standard error and inside log messages):
//   message
//
//   Caused by:
//       cause                      (one cause)
//       0: cause / 1: cause ...    (several causes, numbered)
// and, when backtraces are switched on, a blank line, "Stack backtrace:" and the
// backtrace of the place where the innermost error was created.
#pragma once

#include <cassert>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vintra {

class Error {
 public:
  explicit Error(std::string message);

  // An error from an operating-system error number: its text is strerror-like,
  // "Permission denied (os error 13)".
  static Error from_errno(int err);
  // The same, wrapped in a context: "create /etc/hosts.korvane-tmp", caused by the OS error.
  static Error from_errno(int err, std::string context);

  // Wraps this error as the cause of a new one with the given message.
  [[nodiscard]] Error context(std::string message) &&;
  [[nodiscard]] Error context(std::string message) const&;

  const std::string& message() const { return message_; }
  const std::vector<std::string>& causes() const { return causes_; }
  // The OS error number this error came from, or 0.
  int os_error() const { return os_error_; }
  const std::string& backtrace() const { return backtrace_; }

  // The full text: message, causes and (when captured) backtrace.
  std::string render() const;

 private:
  std::string message_;
  std::vector<std::string> causes_;
  std::string backtrace_;
  int os_error_ = 0;
};

// The text of an OS error number as the system gives it, with the number:
// "No such file or directory (os error 2)".
std::string os_error_text(int err);

// Switches backtrace capture for errors created from now on. The process entry
// turns it on when the environment asks for it.
void set_error_backtraces(bool enabled);
bool error_backtraces_enabled();

// Tag that carries an Error into a Result: `return Unexpected(Error("..."));`
struct Unexpected {
  explicit Unexpected(Error e) : error(std::move(e)) {}
  Error error;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Unexpected u) : v_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT
  Result(Error e) : v_(std::in_place_index<1>, std::move(e)) {}  // NOLINT

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { assert(has_value()); return std::get<0>(v_); }
  const T& value() const& { assert(has_value()); return std::get<0>(v_); }
  T&& value() && { assert(has_value()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { assert(!has_value()); return std::get<1>(v_); }
  Error&& error() && { assert(!has_value()); return std::get<1>(std::move(v_)); }

  template <class U>
  T value_or(U&& fallback) const& { return has_value() ? value() : T(std::forward<U>(fallback)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Unexpected u) : error_(std::move(u.error)), failed_(true) {}  // NOLINT
  Result(Error e) : error_(std::move(e)), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  void value() const { assert(has_value()); }

  const Error& error() const& { assert(failed_); return error_; }
  Error&& error() && { assert(failed_); return std::move(error_); }

 private:
  Error error_{std::string()};
  bool failed_ = false;
};

using Status = Result<void>;

inline Status ok() { return {}; }

}  // namespace vintra

// Propagates an error out of the enclosing function: VINTRA_TRY(auto x, parse(...));
#define VINTRA_CONCAT_INNER(a, b) a##b
#define VINTRA_CONCAT(a, b) VINTRA_CONCAT_INNER(a, b)
#define VINTRA_TRY_IMPL(tmp, decl, expr)                          \
  auto tmp = (expr);                                              \
  if (!tmp.has_value()) return ::vintra::Unexpected(std::move(tmp).error()); \
  decl = std::move(tmp).value()
#define VINTRA_TRY(decl, expr) VINTRA_TRY_IMPL(VINTRA_CONCAT(vintra_try_, __LINE__), decl, expr)
#define VINTRA_TRY_STATUS(expr)                                             \
  do {                                                                      \
    auto vintra_status_ = (expr);                                           \
    if (!vintra_status_.has_value())                                        \
      return ::vintra::Unexpected(std::move(vintra_status_).error());       \
  } while (0)
