#include "zelq/core/run_ledger.hpp"

#include <optional>
#include <utility>

#include <boost/system/system_error.hpp>

#include "zelq/core/text_line.hpp"

namespace zelq::core {

const RunReport* run_report_of(const std::exception_ptr& failure) {
  std::exception_ptr current = failure;
  // Bounded: a chain of causes is short, and a cycle cannot be built.
  for (int depth = 0; current && depth < 64; ++depth) {
    try {
      std::rethrow_exception(current);
    } catch (const RunReport& report) {
      return &report;
    } catch (const std::nested_exception& nested) {
      current = nested.nested_ptr();
    } catch (...) {
      return nullptr;
    }
  }
  return nullptr;
}

bool is_run_left_going(const std::exception_ptr& failure) {
  if (!failure) return false;
  try {
    std::rethrow_exception(failure);
  } catch (const RunMayGoOnError&) {
    return true;
  } catch (...) {
    return false;
  }
}

void RunLedger::creating(std::string endpoint) {
  if (blocks_new_create()) std::rethrow_exception(left_going(nullptr));
  state_ = State::creating;
  cancelled_ = false;
  cancel_failed_ = false;
  endpoint_ = std::move(endpoint);
  id_.clear();
  shown_id_.clear();
}

void RunLedger::refused() noexcept {
  if (state_ == State::creating) state_ = State::none;
  settle();
}

void RunLedger::accepted() noexcept {
  if (state_ == State::creating) state_ = State::accepted;
}

void RunLedger::named(std::string id, std::string shown) {
  if (state_ == State::named && id == id_) return;
  // Also without a create seen: a client that does not speak through the
  // API client (an application's, a fake) still names the run it started.
  state_ = State::named;
  cancelled_ = false;
  cancel_failed_ = false;
  id_ = std::move(id);
  shown_id_ = std::move(shown);
  settle();
}

void RunLedger::ended(bool cancelled) {
  if (state_ == State::none) return;
  state_ = State::ended;
  cancelled_ = cancelled;
  cancel_failed_ = false;
  settle();
}

void RunLedger::cancel_failed() noexcept {
  if (state_ == State::named) cancel_failed_ = true;
}

bool RunLedger::naming() const noexcept {
  return state_ == State::creating || state_ == State::accepted;
}

bool RunLedger::blocks_new_create() const noexcept {
  if (state_ == State::accepted) return true;
  return state_ == State::named && !continues_named_;
}

RunFate RunLedger::fate() const noexcept {
  switch (state_) {
    case State::none:
      return RunFate::not_created;
    case State::creating:
    case State::accepted:
      return RunFate::not_named;
    case State::named:
      return cancel_failed_ ? RunFate::cancel_failed : RunFate::going;
    case State::ended:
      return cancelled_ ? RunFate::cancelled : RunFate::ended;
  }
  return RunFate::not_created;
}

void RunLedger::on_settled(std::function<void()> callback) {
  on_settled_ = std::move(callback);
  if (on_settled_ && !naming()) settle();
}

void RunLedger::settle() {
  if (!on_settled_) return;
  // Taken out first: the callback may set another.
  std::function<void()> callback = std::move(on_settled_);
  on_settled_ = nullptr;
  callback();
}

RunReportError RunLedger::report() const {
  const RunFate fate = this->fate();
  std::string text;
  switch (fate) {
    case RunFate::not_created:
      text = "No run was created at the service.";
      break;
    case RunFate::not_named:
      text = state_ == State::creating
                 ? "The service had not answered " + endpoint_ +
                       ", so the run it may have started was not named and may be going on "
                       "at the service."
                 : "The service accepted " + endpoint_ +
                       " but never named its run, which may be going on at the service.";
      break;
    case RunFate::going:
      text = "The run " + shown_id_ + " of " + endpoint_ + " may be going on at the service.";
      break;
    case RunFate::ended:
      text = "The run " + shown_id_ + " of " + endpoint_ + " has ended at the service.";
      break;
    case RunFate::cancelled:
      text = "The service cancelled the run " + shown_id_ + " of " + endpoint_ + ".";
      break;
    case RunFate::cancel_failed:
      text = "The run " + shown_id_ + " of " + endpoint_ +
             " could not be cancelled and may be going on at the service.";
      break;
  }
  return RunReportError(fate, shown_id_, text);
}

std::exception_ptr RunLedger::reported(const std::exception_ptr& cancellation) const {
  std::optional<boost::system::system_error> stop;
  try {
    std::rethrow_exception(cancellation);
  } catch (const boost::system::system_error& error) {
    stop.emplace(error);
  } catch (...) {
    return cancellation;
  }
  // Thrown while the report is handled, so that the report is nested.
  try {
    throw report();
  } catch (const RunReportError&) {
    try {
      std::throw_with_nested(*stop);
    } catch (...) {
      return std::current_exception();
    }
  }
}

std::exception_ptr RunLedger::left_going(const std::exception_ptr& failure) const {
  const RunReportError said = report();
  std::string text = said.what();
  text.pop_back();  // the full stop
  text += "; no new run was started";
  if (failure) text += ". The attempt failed: " + one_line(describe_exception(failure));
  RunMayGoOnError error(said.fate(), said.shown_id(), as_sentence(std::move(text)));
  if (!failure) return std::make_exception_ptr(std::move(error));
  try {
    std::rethrow_exception(failure);
  } catch (...) {
    try {
      std::throw_with_nested(std::move(error));
    } catch (...) {
      return std::current_exception();
    }
  }
}

}  // namespace zelq::core
