// What one call knows of the run its attempts asked an outside service to
// start. A run the service accepted is paid for: the ledger is the one place
// that decides whether an attempt may send another create request, and it
// tells a stop whether to wait for the run's name before cancelling it.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "zelq/core/errors.hpp"

namespace zelq::core {

// How a call left the run it asked a service to start.
enum class RunFate {
  // No create request got a 2xx answer: the service started nothing.
  not_created,
  // The service accepted the create but never named the run: it cannot be
  // cancelled and may be going on.
  not_named,
  // The run is named and may be going on: nobody asked to stop it (a
  // service without a cancel call), or a stop came too late to ask.
  going,
  // The service reported that the run ended.
  ended,
  // The service answered the request to cancel the run.
  cancelled,
  // The request to cancel the run failed: it may be going on.
  cancel_failed,
};

// Whether a run left so may still be going on at the service.
inline bool may_go_on(RunFate fate) noexcept {
  return fate == RunFate::not_named || fate == RunFate::going || fate == RunFate::cancel_failed;
}

// The fate of a call's run, as the failure a call ends with carries it: a
// stopped call's cancellation carries a RunReportError nested, and
// RunMayGoOnError is one.
class RunReport {
 public:
  RunReport(RunFate fate, std::string shown_id) : fate_(fate), shown_id_(std::move(shown_id)) {}
  virtual ~RunReport() = default;
  RunFate fate() const noexcept { return fate_; }
  // The run's id as messages show it (quoted, key masked); "" before it was
  // named.
  const std::string& shown_id() const noexcept { return shown_id_; }

 private:
  RunFate fate_;
  std::string shown_id_;
};

// A run report as an error, its what() one sentence on the run's fate.
class RunReportError : public RuntimeError, public RunReport {
 public:
  RunReportError(RunFate fate, std::string shown_id, const std::string& text)
      : RuntimeError(text), RunReport(fate, std::move(shown_id)) {}
};

// A call ended without its result while the run the service accepted may be
// going on (never named, or its cancel failed). No retry repeats it: a new
// attempt would buy a second run. The attempt's failure is nested.
class RunMayGoOnError : public RunReportError {
 public:
  using RunReportError::RunReportError;
};

// The run report `failure` is or carries (nested at any depth); nullptr when
// it has none. The pointer lives as long as `failure`.
const RunReport* run_report_of(const std::exception_ptr& failure);

// Whether `failure` is a RunMayGoOnError.
bool is_run_left_going(const std::exception_ptr& failure);

// Shared by the attempts of one call and the transport requests they make,
// all on the call's executor (not thread-safe).
class RunLedger {
 public:
  // `continues_named`: whether the call's next attempt continues a named run
  // rather than creating another (a service whose runs are followed by id).
  explicit RunLedger(bool continues_named = false) : continues_named_(continues_named) {}

  // A create request is about to be sent to `endpoint` ("POST https://...",
  // as errors name it). Throws RunMayGoOnError when an earlier create of
  // this call was accepted and its run may still be going on.
  void creating(std::string endpoint);
  // The create got no 2xx answer: nothing was started.
  void refused() noexcept;
  // The create got a 2xx head: a run may exist from now on.
  void accepted() noexcept;
  // The service named the run; `shown` is the id as messages show it. Wakes
  // a stop that waits for the name.
  void named(std::string id, std::string shown);
  // The service reported that the run ended (`cancelled`: it answered the
  // request to cancel it). Wakes a stop that waits for the name.
  void ended(bool cancelled = false);
  // The request to cancel the run failed.
  void cancel_failed() noexcept;

  // A create was sent and its run is not named yet: a stop should let it
  // finish and wait for the name, so that the run can be cancelled.
  bool naming() const noexcept;
  // Whether the next attempt must not send a create: an accepted run may
  // still be going on and the next attempt would not continue it.
  bool blocks_new_create() const noexcept;
  // The run's id (raw, for requests); "" until named.
  const std::string& id() const noexcept { return id_; }
  RunFate fate() const noexcept;

  // Called once, the next time the run is named or ends (or at once when
  // neither is pending); replaced by the next call, cleared by nullptr.
  void on_settled(std::function<void()> callback);

  // The failure that ends a call whose attempt failed with `failure` while
  // its run may go on: RunMayGoOnError naming the run or the endpoint, with
  // `failure` nested.
  std::exception_ptr left_going(const std::exception_ptr& failure) const;
  // The report of the run as it stands.
  RunReportError report() const;
  // `cancellation` (a system_error) carrying report() nested, as a stopped
  // call ends; any other failure unchanged.
  std::exception_ptr reported(const std::exception_ptr& cancellation) const;

 private:
  enum class State { none, creating, accepted, named, ended };
  void settle();

  bool continues_named_;
  State state_ = State::none;
  bool cancelled_ = false;
  bool cancel_failed_ = false;
  std::string endpoint_;
  std::string id_;
  std::string shown_id_;
  std::function<void()> on_settled_;
};

using RunLedgerPtr = std::shared_ptr<RunLedger>;

}  // namespace zelq::core
