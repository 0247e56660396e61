#include "src/events/consumer.hpp"

#include "src/events/journal.hpp"
#include "common/utf8.hpp"
#include "src/logging/log.hpp"

namespace vintra::events {

void run_event_consumer(std::string events_path, runtime::Receiver<DlpEvent> rx,
                        std::stop_token stop) {
  using logging::Field;
  using logging::Level;
  while (std::optional<DlpEvent> event = rx.receive(stop)) {
    // The log line comes first, so even an event that cannot be persisted is seen.
    VINTRA_LOG(Level::kInfo, logging::kTargetMain, "DLP event: " + to_utf8_lossy(event->file_path),
               {Field::display("channel", log_name(event->channel)),
                Field::display("severity", log_name(event->severity)),
                Field::uint("matches", event->findings.size())});
    // Once taken from the queue the event is written even if a stop arrives now.
    Status st = append_event_line(events_path, *event);
    if (!st) {
      VINTRA_LOG(Level::kError, logging::kTargetMain, "persist event: " + st.error().render());
    }
  }
}

}  // namespace vintra::events
