#include "zelq/core/errors.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace zelq::core {

bool is_cancellation(const std::exception_ptr& failure) {
  if (!failure) return false;
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

bool is_over_limit(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const OverLimit&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string describe_exception(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    // Its what() adds the code and the library's source location.
    return e.code().message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace zelq::core
