#include "zelq/core/component.hpp"

#include "zelq/core/pytext.hpp"

namespace zelq::core {

const Logger& Component::_logger() const {
  std::call_once(logger_once_, [this] { logger_ = LoggerManager().get_logger(class_name()); });
  return logger_;
}

std::string start_prefix(const Component& component) {
  return "[Start " + py_repr(component.class_name()) + "] ";
}

std::string finished_prefix(const Component& component) {
  return "[Finished " + py_repr(component.class_name()) + "] ";
}

}  // namespace zelq::core
