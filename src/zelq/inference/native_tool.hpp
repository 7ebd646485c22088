// Tools that a provider runs on its own side (MCP servers, data stores, code
// interpreter, web search).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/inference/model_id.hpp"

namespace zelq::inference {

enum class NativeToolType { MCP_SERVER, DATA_STORE, CODE_INTERPRETER, WEB_SEARCH };

// "mcp_server", "data_store", "code_interpreter" or "web_search".
std::string_view to_string(NativeToolType type);
// Parses one of the texts above (exact text). Throws ValueError naming the
// text and the valid values.
NativeToolType parse_native_tool_type(std::string_view text);

// A provider-side tool: its type and its settings. `kwargs` is an object;
// the keys in use are "name", "url", "allowed_tools", "extra_params" and,
// for a data store, "data_stores" (a list of AttachmentStore::to_value()).
struct NativeTool {
  NativeToolType type = NativeToolType::WEB_SEARCH;
  core::Value kwargs = core::Value::object();

  // A tool of that type with no settings.
  static NativeTool from_str_or_dict(NativeToolType type);
  // A tool from its type text ("web_search"). Throws ValueError for an
  // unknown type.
  static NativeTool from_str_or_dict(std::string_view type);
  static NativeTool from_str_or_dict(const std::string& type) {
    return from_str_or_dict(std::string_view(type));
  }
  static NativeTool from_str_or_dict(const char* type) {
    return from_str_or_dict(std::string_view(type));
  }
  // A tool from a type text, or from an object {"type": ..., further
  // settings...} whose other members become `kwargs` in order. Throws
  // ValueError for any other value, a missing or unknown type.
  static NativeTool from_str_or_dict(const core::Value& value);
  // A DATA_STORE tool whose kwargs hold the stores under "data_stores".
  static NativeTool data_store(const std::vector<AttachmentStore>& stores);

  // {"type": "<type>", ...kwargs}.
  core::Value to_value() const;

  bool operator==(const NativeTool&) const = default;
};

}  // namespace zelq::inference
