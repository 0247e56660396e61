#include "src/logging/daily_file.hpp"

#include <mutex>
#include <utility>

#include "common/paths.hpp"

namespace vintra::logging {
namespace {

constexpr int kStandardError = 2;
constexpr std::string_view kFilePrefix = "vintra-dlp.log.";

LogClock::time_point next_midnight(LogClock::time_point now) {
  return std::chrono::floor<std::chrono::days>(now) + std::chrono::days{1};
}

Error with_os_error(std::string_view what, const Error& os) {
  std::string text(what);
  text += ": ";
  text += os.message();
  return Error(std::move(text));
}

Result<platform::UniqueFd> open_day_file(const std::string& directory, LogClock::time_point now) {
  const std::string path = join_path(directory, DailyFileSink::file_name_for(now));
  auto fd = platform::open_append_nofollow(path);
  if (fd) return fd;
  // Most often the directory is missing (first start, or removed by someone); a
  // second try after creating it tells the two causes apart.
  if (auto made = platform::create_directories(directory); !made)
    return with_os_error("failed to create log directory", made.error());
  fd = platform::open_append_nofollow(path);
  if (!fd) return with_os_error("failed to create log file", fd.error());
  return fd;
}

// One line on standard error, for failures the emitting code is never told about.
void notice(std::string text) noexcept {
  text.push_back('\n');
  (void)platform::write_all(kStandardError, text);
}

}  // namespace

std::string DailyFileSink::file_name_for(LogClock::time_point when) {
  const std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(when)};
  // The prefix is 15 bytes and the date 10: one formatted buffer, no stream.
  char date[16];
  const int year = static_cast<int>(ymd.year());
  const unsigned month = static_cast<unsigned>(ymd.month());
  const unsigned day = static_cast<unsigned>(ymd.day());
  std::string name(kFilePrefix);
  name.reserve(kFilePrefix.size() + 10);
  auto put = [&](unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) date[i] = static_cast<char>('0' + value % 10);
    name.append(date, static_cast<std::size_t>(width));
  };
  put(static_cast<unsigned>(year), 4);
  name.push_back('-');
  put(month, 2);
  name.push_back('-');
  put(day, 2);
  return name;
}

DailyFileSink::DailyFileSink(std::string directory, platform::UniqueFd fd,
                             LogClock::time_point next_rotation)
    : directory_(std::move(directory)),
      next_rotation_(next_rotation.time_since_epoch().count()),
      fd_(std::move(fd)) {}

Result<std::shared_ptr<DailyFileSink>> DailyFileSink::open(std::string directory) {
  const auto now = log_now();
  VINTRA_TRY(auto fd, open_day_file(directory, now));
  return std::shared_ptr<DailyFileSink>(
      new DailyFileSink(std::move(directory), std::move(fd), next_midnight(now)));
}

void DailyFileSink::write_line(std::string_view line) noexcept {
  const auto now = log_now();
  LogClock::rep due = next_rotation_.load(std::memory_order_acquire);
  if (now.time_since_epoch().count() >= due) {
    const LogClock::rep next = next_midnight(now).time_since_epoch().count();
    // Of all threads that see the day change, only the one that moves the rotation
    // point opens the new file; the others write on into the old one meanwhile.
    if (next_rotation_.compare_exchange_strong(due, next, std::memory_order_acq_rel)) rotate(now);
  }

  Status written = ok();
  {
    std::shared_lock lock(file_mutex_);
    written = platform::write_all(fd_.get(), line);
  }
  if (!written) {
    try {
      std::string text = "vintra-dlp: log event lost: " + written.error().message();
      for (const auto& cause : written.error().causes()) text += ": " + cause;
      notice(std::move(text));
    } catch (...) {
    }
  }
}

void DailyFileSink::rotate(LogClock::time_point now) noexcept {
  try {
    auto fd = open_day_file(directory_, now);
    if (!fd) {
      notice("Couldn't create writer for logs: " + fd.error().render());
      return;
    }
    platform::UniqueFd old;
    {
      std::unique_lock lock(file_mutex_);
      old = std::exchange(fd_, std::move(*fd));
    }
    // `old` is closed here, after the lock is released.
  } catch (...) {
    // Only allocation can fail here; keep writing to the old file.
  }
}

}  // namespace vintra::logging
