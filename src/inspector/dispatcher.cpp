#include "src/inspector/dispatcher.hpp"

#include <utility>

#include "src/inspector/inspect.hpp"

namespace vintra::inspector {
namespace {

// What one job owns. Held through a shared pointer so that the dispatcher still has it
// when the pool refuses the job (the refused std::function is gone by then).
struct Work {
  ScanJob job;
  std::shared_ptr<const Catalogue> catalogue;
  std::shared_ptr<const policy::Policies> policies;
  runtime::Sender<DlpEvent> events;

  void run() { inspect_file(job, std::move(catalogue), std::move(policies), std::move(events)); }
};

}  // namespace

void run_scan_dispatcher(runtime::Receiver<ScanJob> jobs, std::shared_ptr<const Catalogue> catalogue,
                         std::shared_ptr<const policy::Policies> policies, runtime::Sender<DlpEvent> events,
                         runtime::BlockingPool& pool, std::stop_token stop) {
  while (std::optional<ScanJob> item = jobs.receive(stop)) {
    auto work = std::make_shared<Work>(Work{std::move(*item), catalogue, policies, events});
    if (!pool.spawn([work] { work->run(); })) work->run();
  }
  jobs.close();
  events.release();
  policies.reset();
  catalogue.reset();
}

}  // namespace vintra::inspector
