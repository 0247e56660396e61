// The decision and alert consumer: the single reader of the event queue. Each event
// is announced in the log ("DLP event: {file_path}" with channel, severity and the
// number of findings) and then appended to the journal; an append that fails is
// logged as "persist event: {error}" and the event is dropped.
#pragma once

#include <stop_token>
#include <string>

#include "src/events/event.hpp"
#include "src/runtime/bounded_queue.hpp"

namespace vintra::events {

// Handles events one after another in queue order until the queue ends (empty, all
// senders released) or `stop` is requested while waiting. Keeps no file open
// between events, so a journal deleted or replaced meanwhile is picked up.
void run_event_consumer(std::string events_path, runtime::Receiver<DlpEvent> rx,
                        std::stop_token stop);

}  // namespace vintra::events
