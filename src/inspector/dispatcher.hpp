// The scan dispatcher: takes ScanJob items off the scan queue, one at a time, and
// starts one inspection job per item on the blocking pool.
#pragma once

#include <memory>
#include <stop_token>

#include "src/events/event.hpp"
#include "src/inspector/patterns.hpp"
#include "src/inspector/scan_job.hpp"
#include "src/policy/policies.hpp"
#include "src/runtime/bounded_queue.hpp"
#include "src/runtime/runtime.hpp"

namespace vintra::inspector {

// Runs until the scan queue reports its end (every sender released and nothing left)
// or `stop` is requested while it waits. Every item becomes exactly one inspect_file
// job on `pool`, in queue order, with its own references to the catalogue and the
// policies and its own sending handle of `events`; the dispatcher never waits for a
// job and keeps no handle to it. Should the pool refuse a job (shut down, or no thread
// can be made), the job runs here instead, so that no item is lost. At its end the
// dispatcher closes the scan queue (a producer's send fails from then on) and
// releases its references and its sender before it returns, so the event queue ends
// for its consumer once the jobs still running are done. Writes no log lines.
void run_scan_dispatcher(runtime::Receiver<ScanJob> jobs, std::shared_ptr<const Catalogue> catalogue,
                         std::shared_ptr<const policy::Policies> policies, runtime::Sender<DlpEvent> events,
                         runtime::BlockingPool& pool, std::stop_token stop);

}  // namespace vintra::inspector
