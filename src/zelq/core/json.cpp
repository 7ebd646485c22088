#include "zelq/core/json.hpp"

#include <string>

#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

// The DOM builder of nlohmann, with a nesting counter in front of it. The
// parser itself is iterative; the bound protects whatever walks the value
// afterwards.
class BoundedDomParser : public nlohmann::detail::json_sax_dom_parser<Value> {
 public:
  BoundedDomParser(Value& result, std::string_view source)
      : json_sax_dom_parser(result, /*allow_exceptions_=*/false), source_(source) {}

  bool start_object(std::size_t elements) {
    enter();
    return json_sax_dom_parser::start_object(elements);
  }
  bool end_object() {
    --depth_;
    return json_sax_dom_parser::end_object();
  }
  bool start_array(std::size_t elements) {
    enter();
    return json_sax_dom_parser::start_array(elements);
  }
  bool end_array() {
    --depth_;
    return json_sax_dom_parser::end_array();
  }

 private:
  void enter() {
    if (++depth_ > kMaxJsonDepth) {
      throw ValueError(std::string(source_) + " is nested deeper than " +
                       std::to_string(kMaxJsonDepth) + " levels");
    }
  }

  std::string_view source_;
  std::size_t depth_ = 0;
};

}  // namespace

Value parse_json(std::string_view text, std::string_view source) {
  Value result;
  BoundedDomParser sax(result, source);
  const bool ok = Value::sax_parse(text, &sax, nlohmann::detail::input_format_t::json,
                                   /*strict=*/true);
  if (!ok || sax.is_errored()) return Value(Value::value_t::discarded);
  return result;
}

namespace detail {

void throw_recursion_error(std::string_view context) {
  throw RuntimeError("maximum recursion depth exceeded " + std::string(context));
}

}  // namespace detail

}  // namespace zelq::core
