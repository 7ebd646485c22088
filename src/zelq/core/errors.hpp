// Error kinds of the library. Each type stands for one error kind whose
// identity callers may depend on; what() is exactly the fixed message text.
// A cause is attached with std::throw_with_nested.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace zelq::core {

// A bad argument or a bad combination of arguments.
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A record failed validation at construction.
class ValidationError : public ValueError {
 public:
  using ValueError::ValueError;
};

// An argument of the wrong kind (for example a keyword given twice).
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A missing key in a mapping (for example a template variable).
class KeyError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// An index out of range (for example a positional template field).
class IndexError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// A value lacks the attribute a template field asks for ({value.x}: values
// here have no attributes). Not an argument error in the sense of
// ValueError or TypeError, so a site that falls back on those lets it pass,
// as Python's AttributeError would; it derives from std::logic_error since
// a template that asks for an attribute is wrong whatever the input.
class AttributeError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// An abstract operation that a concrete class has not provided.
class NotImplementedError : public std::logic_error {
 public:
  NotImplementedError() : std::logic_error("") {}
  using std::logic_error::logic_error;
};

// A failure at run time that fits no other kind.
class RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Our own deadline passed (distinct from cancellation by the caller).
class TimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An optional part that was not built, or whose runtime is not installed.
class MissingPackageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The mark of an error raised on what an outside service sent (a body, event
// or record that is malformed, nested too deep or of the wrong shape), as
// opposed to one raised on what the caller passed. A retry policy retries
// the first and not the second (is_worth_another_attempt), whatever their
// kind; but never an answer refused for going over a limit (OverLimit).
// Only ServiceDataError derives from it.
class FromServiceData {
 public:
  virtual ~FromServiceData() = default;

 protected:
  FromServiceData() = default;
  FromServiceData(const FromServiceData&) = default;
  FromServiceData& operator=(const FromServiceData&) = default;
};

// An error of kind `Kind` (ValueError, TypeError, ValidationError, ...)
// raised on what a service sent: callers catch it as a `Kind`, with the same
// what() text; it carries the FromServiceData mark.
//   throw ServiceDataError<TypeError>("The service sent a message that is not text.");
template <class Kind>
class ServiceDataError : public Kind, public FromServiceData {
 public:
  using Kind::Kind;
};

// The mark of an answer refused for going over one of our limits: a body,
// stream, event or parsed value too large, more citations than its text
// can carry. A new attempt would be paid for and refused the same way, so
// no retry repeats it (core::retry never does, whatever its retry_if).
class OverLimit {
 public:
  virtual ~OverLimit() = default;

 protected:
  OverLimit() = default;
  OverLimit(const OverLimit&) = default;
  OverLimit& operator=(const OverLimit&) = default;
};

// A ServiceDataError<Kind> that carries the OverLimit mark as well.
//   throw OverLimitError<RuntimeError>("The answer of ... exceeds 1024 bytes.");
template <class Kind>
class OverLimitError : public ServiceDataError<Kind>, public OverLimit {
 public:
  using ServiceDataError<Kind>::ServiceDataError;
};

// Python's MemoryError: a result too large to be built (for example a format
// spec asking for a 100 GB field). It is a std::bad_alloc, so code that
// handles running out of memory handles it too; what() is Python's text for
// it, which is empty.
class MemoryError : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return ""; }
};

// True when `failure` is the caller's cancellation: a system_error carrying
// boost::asio::error::operation_aborted. Such a failure is never retried or
// answered with a fallback. False for a null pointer.
bool is_cancellation(const std::exception_ptr& failure);

// True when `failure` carries the OverLimit mark: an answer refused for
// going over a limit, which no retry repeats.
bool is_over_limit(const std::exception_ptr& failure);

// The what() text of `failure` (the message of its code for a
// boost::system::system_error, such as a cancellation), or "unknown error"
// for an exception that is not a std::exception. For log lines that name a
// failure.
std::string describe_exception(const std::exception_ptr& failure);

}  // namespace zelq::core
