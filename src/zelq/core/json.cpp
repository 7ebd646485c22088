#include "zelq/core/json.hpp"

#include <string>
#include <utility>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/core/object_index.hpp"

namespace zelq::core {
namespace {

// Builds the Value of a JSON text from the events of nlohmann's parser, in
// time linear in the text. nlohmann's own builder inserts each key with
// operator[] of the ordered object, which scans every key before it; here
// each object is filled through an ObjectBuilder. A repeated key keeps its
// first position and takes the last value, as Python's json module reads it.
// Nesting is counted on the way: the parser itself is iterative; the bound
// protects whatever walks the value afterwards.
class BoundedDomParser {
 public:
  using number_integer_t = Value::number_integer_t;
  using number_unsigned_t = Value::number_unsigned_t;
  using number_float_t = Value::number_float_t;
  using string_t = Value::string_t;
  using binary_t = Value::binary_t;

  BoundedDomParser(Value& result, std::string_view source, bool throw_parse_errors)
      : root_(result), source_(source), throw_parse_errors_(throw_parse_errors) {}

  bool null() {
    put(nullptr);
    return true;
  }
  bool boolean(bool value) {
    put(value);
    return true;
  }
  bool number_integer(number_integer_t value) {
    put(value);
    return true;
  }
  bool number_unsigned(number_unsigned_t value) {
    put(value);
    return true;
  }
  bool number_float(number_float_t value, const string_t& /*text*/) {
    put(value);
    return true;
  }
  bool string(string_t& value) {
    put(std::move(value));
    return true;
  }
  bool binary(binary_t& value) {
    put(std::move(value));
    return true;
  }

  bool start_object(std::size_t /*elements*/) {
    enter();
    Value& object = put(Value::value_t::object);
    open_.push_back(&object);
    objects_.emplace_back(object);
    return true;
  }
  bool key(string_t& key) {
    element_ = &objects_.back()[std::move(key)];
    return true;
  }
  bool end_object() {
    objects_.pop_back();
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*elements*/) {
    enter();
    open_.push_back(&put(Value::value_t::array));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const Exception& error) {
    errored_ = true;
    if (throw_parse_errors_) throw error;
    return false;
  }

  bool is_errored() const { return errored_; }

 private:
  // Places a new value where the text has reached: the root, the end of the
  // open array, or the member whose key came last.
  template <class T>
  Value& put(T&& value) {
    if (open_.empty()) {
      root_ = Value(std::forward<T>(value));
      return root_;
    }
    Value& container = *open_.back();
    if (container.is_array()) {
      auto& items = container.get_ref<Value::array_t&>();
      items.emplace_back(std::forward<T>(value));
      return items.back();
    }
    *element_ = Value(std::forward<T>(value));
    return *element_;
  }

  void enter() {
    if (open_.size() + 1 > kMaxJsonDepth) {
      throw ValueError(std::string(source_) + " is nested deeper than " +
                       std::to_string(kMaxJsonDepth) + " levels");
    }
  }

  Value& root_;
  std::string_view source_;
  bool throw_parse_errors_;
  bool errored_ = false;
  std::vector<Value*> open_;            // the arrays and objects being filled
  std::vector<ObjectBuilder> objects_;  // one per open object
  Value* element_ = nullptr;            // the member of the key read last
};

Value parse(std::string_view text, std::string_view source, bool throw_parse_errors) {
  Value result;
  BoundedDomParser sax(result, source, throw_parse_errors);
  const bool ok = Value::sax_parse(text, &sax, nlohmann::detail::input_format_t::json,
                                   /*strict=*/true);
  if (!ok || sax.is_errored()) return Value(Value::value_t::discarded);
  return result;
}

}  // namespace

Value parse_json(std::string_view text, std::string_view source) {
  return parse(text, source, /*throw_parse_errors=*/false);
}

Value parse_json_or_throw(std::string_view text, std::string_view source) {
  return parse(text, source, /*throw_parse_errors=*/true);
}

namespace detail {

void throw_recursion_error(std::string_view context) {
  throw RuntimeError("maximum recursion depth exceeded " + std::string(context));
}

}  // namespace detail

}  // namespace zelq::core
