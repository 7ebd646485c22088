#include "zelq/inference/native_tool.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {
namespace {

constexpr NativeToolType kAllTypes[] = {NativeToolType::MCP_SERVER, NativeToolType::DATA_STORE,
                                        NativeToolType::CODE_INTERPRETER,
                                        NativeToolType::WEB_SEARCH};

}  // namespace

std::string_view to_string(NativeToolType type) {
  switch (type) {
    case NativeToolType::MCP_SERVER:
      return "mcp_server";
    case NativeToolType::DATA_STORE:
      return "data_store";
    case NativeToolType::CODE_INTERPRETER:
      return "code_interpreter";
    case NativeToolType::WEB_SEARCH:
      return "web_search";
  }
  return "web_search";
}

NativeToolType parse_native_tool_type(std::string_view text) {
  for (auto type : kAllTypes) {
    if (to_string(type) == text) return type;
  }
  throw core::ValueError("Unknown native tool type " + core::py_repr(text) +
                         "; valid types: 'mcp_server', 'data_store', 'code_interpreter', "
                         "'web_search'.");
}

NativeTool NativeTool::from_str_or_dict(NativeToolType type) {
  return NativeTool{.type = type, .kwargs = core::Value::object()};
}

NativeTool NativeTool::from_str_or_dict(std::string_view type) {
  return from_str_or_dict(parse_native_tool_type(type));
}

NativeTool NativeTool::from_str_or_dict(const core::Value& value) {
  if (value.is_string()) return from_str_or_dict(value.get<std::string>());
  if (!value.is_object()) {
    throw core::ValueError("A native tool must be a type text or an object, got " +
                           core::py_repr(value) + ".");
  }
  auto type = value.find("type");
  if (type == value.end() || !type->is_string()) {
    throw core::ValueError("A native tool object needs a 'type' text, got " + core::py_repr(value) +
                           ".");
  }
  NativeTool tool = from_str_or_dict(type->get<std::string>());
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (it.key() != "type") tool.kwargs[it.key()] = it.value();
  }
  return tool;
}

NativeTool NativeTool::data_store(const std::vector<AttachmentStore>& stores) {
  core::Value list = core::Value::array();
  for (const auto& store : stores) list.push_back(store.to_value());
  return NativeTool{.type = NativeToolType::DATA_STORE,
                    .kwargs = core::Value{{"data_stores", std::move(list)}}};
}

core::Value NativeTool::to_value() const {
  core::Value out = core::Value::object();
  out["type"] = std::string(to_string(type));
  for (auto it = kwargs.begin(); it != kwargs.end(); ++it) out[it.key()] = it.value();
  return out;
}

}  // namespace zelq::inference
