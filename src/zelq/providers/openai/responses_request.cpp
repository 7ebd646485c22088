#include "zelq/providers/openai/responses_request.hpp"

#include <algorithm>
#include <cmath>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/inference/model_id.hpp"

namespace zelq::providers::openai {

using core::Value;
using inference::Attachment;
using inference::Message;
using inference::MessageContent;
using inference::NativeTool;
using inference::NativeToolType;

namespace {

constexpr std::string_view kDeepResearch = "deep-research";

// Moves the entries of `from` (an object; anything else adds nothing) into
// `to`, a key already there keeping its position.
void merge_into(Value& to, const Value& from) {
  if (!from.is_object()) return;
  for (auto it = from.begin(); it != from.end(); ++it) to[it.key()] = it.value();
}

std::string required_text(const Value& kwargs, std::string_view key, std::string_view what) {
  auto it = kwargs.find(key);
  if (it == kwargs.end() || !it->is_string() || it->get<std::string>().empty()) {
    throw core::ValueError(std::string(what) + " needs " + core::py_repr(key) +
                           " as a non-empty text, got the settings " + core::py_repr(kwargs) +
                           ".");
  }
  return it->get<std::string>();
}

Value mcp_tool(const Value& kwargs) {
  Value out = {{"type", "mcp"},
               {"server_label", required_text(kwargs, "name", "An MCP server tool")},
               {"server_url", required_text(kwargs, "url", "An MCP server tool")},
               {"require_approval", "never"}};
  if (auto it = kwargs.find("allowed_tools"); it != kwargs.end() && !it->is_null()) {
    out["allowed_tools"] = *it;
  }
  return out;
}

Value file_search_tool(const Value& kwargs) {
  Value ids = Value::array();
  if (auto stores = kwargs.find("data_stores"); stores != kwargs.end() && stores->is_array()) {
    for (const Value& store : *stores) {
      const inference::AttachmentStore parsed = inference::AttachmentStore::from_value(store);
      if (parsed.provider == inference::ModelProvider::OPENAI) ids.push_back(parsed.id);
    }
  }
  if (ids.empty()) {
    throw core::ValueError("A data store tool needs at least one OpenAI store in 'data_stores', "
                           "got the settings " +
                           core::py_repr(kwargs) + ".");
  }
  return Value{{"type", "file_search"}, {"vector_store_ids", std::move(ids)}};
}

Value read_tools(const Value& tools, std::string_view key) {
  if (!tools.is_array()) {
    throw core::ValueError("Invalid OpenAI setting " + core::py_repr(key) +
                           ": expected a list of native tools, got " + core::py_repr(tools) + ".");
  }
  Value out = Value::array();
  for (std::size_t i = 0; i < tools.size(); ++i) {
    try {
      out.push_back(responses_tool(NativeTool::from_str_or_dict(tools[i])));
    } catch (const core::ValueError& error) {
      throw core::ValueError("Invalid OpenAI setting " + core::py_repr(key) + ": item " +
                             std::to_string(i) + " (" + core::py_repr(tools[i]) +
                             ") is not a usable native tool: " + error.what());
    }
  }
  return out;
}

// Hyperparameter tools: native tools are mapped, tools already in their
// Responses form ("web_search_preview", "mcp", ...) are sent as given.
Value call_tools(const Value& tools) {
  if (!tools.is_array()) return read_tools(tools, "tools");
  Value out = Value::array();
  for (std::size_t i = 0; i < tools.size(); ++i) {
    const Value& tool = tools[i];
    const Value* type = tool.is_object() && tool.contains("type") ? &tool.at("type") : &tool;
    bool native = false;
    if (type->is_string()) {
      try {
        inference::parse_native_tool_type(type->get<std::string>());
        native = true;
      } catch (const core::ValueError&) {
      }
    }
    out.push_back(native ? read_tools(Value::array({tool}), "tools").at(0) : tool);
  }
  return out;
}

bool read_bool(const Value& value, std::string_view key) {
  if (!value.is_boolean()) {
    throw core::ValueError("Invalid OpenAI setting " + core::py_repr(key) +
                           ": expected a bool, got " + core::py_repr(value) + ".");
  }
  return value.get<bool>();
}

core::RetryConfig read_retry(const Value& value, std::string_view key) {
  try {
    return core::retry_config_from_value(value);
  } catch (const core::ValueError& error) {
    throw core::ValueError("Invalid OpenAI setting " + core::py_repr(key) + ": " + error.what());
  }
}

std::string data_url(const Attachment& attachment) {
  return "data:" + attachment.mime_type + ";base64," + core::base64_encode(attachment.data);
}

std::optional<Value> attachment_part(const Attachment& attachment) {
  const bool image = attachment.mime_type.starts_with("image/") ||
                     (attachment.mime_type.empty() && !attachment.url.empty());
  if (image) {
    return Value{{"type", "input_image"},
                 {"image_url", attachment.url.empty() ? data_url(attachment) : attachment.url}};
  }
  if (!attachment.url.empty()) return Value{{"type", "input_file"}, {"file_url", attachment.url}};
  if (attachment.mime_type == "application/pdf" || attachment.mime_type.starts_with("text/")) {
    return Value{{"type", "input_file"},
                 {"filename", attachment.filename.empty() ? "document" : attachment.filename},
                 {"file_data", data_url(attachment)}};
  }
  return std::nullopt;
}

[[noreturn]] void unsupported(std::size_t message, std::size_t item, const MessageContent& content,
                              std::string_view why) {
  throw core::ValueError("Unsupported content for an OpenAI Responses request: message " +
                         std::to_string(message) + ", item " + std::to_string(item) + " (" +
                         content.repr() + "): " + std::string(why) + ".");
}

Value message_content(const Message& message, std::size_t index) {
  if (std::all_of(message.contents.begin(), message.contents.end(),
                  [](const MessageContent& c) { return c.is_text(); })) {
    return message.text();
  }
  Value parts = Value::array();
  for (std::size_t item = 0; item < message.contents.size(); ++item) {
    const MessageContent& content = message.contents[item];
    if (content.is_text()) {
      parts.push_back(Value{{"type", "input_text"}, {"text", content.text()}});
      continue;
    }
    if (message.role != inference::MessageRole::USER) {
      unsupported(index, item, content, "only user messages may carry attachments");
    }
    auto part = attachment_part(content.attachment());
    if (!part) unsupported(index, item, content, "images, files by URL, PDF and text bytes are");
    parts.push_back(std::move(*part));
  }
  return parts;
}

}  // namespace

const std::vector<std::string_view>& responses_config_keys() {
  static const std::vector<std::string_view> keys = {"tools", "thinking", "retry_config"};
  return keys;
}

ResponsesSettings ResponsesSettings::from_config(const Value& config) {
  ResponsesSettings settings;
  if (!config.is_object()) return settings;
  if (auto it = config.find("tools"); it != config.end() && !it->is_null()) {
    settings.tools = read_tools(*it, "tools");
  }
  if (auto it = config.find("thinking"); it != config.end() && !it->is_null()) {
    settings.thinking = read_bool(*it, "thinking");
  }
  if (auto it = config.find("retry_config"); it != config.end() && !it->is_null()) {
    settings.retry_config = read_retry(*it, "retry_config");
  }
  return settings;
}

bool uses_responses_api(std::string_view model_name, const ResponsesSettings& settings) {
  return model_name.find(kDeepResearch) != std::string_view::npos || !settings.tools.empty();
}

Value responses_tool(const NativeTool& tool) {
  const Value kwargs = tool.kwargs.is_object() ? tool.kwargs : Value::object();
  Value out;
  switch (tool.type) {
    case NativeToolType::WEB_SEARCH:
      out = {{"type", "web_search_preview"}};
      break;
    case NativeToolType::CODE_INTERPRETER:
      out = {{"type", "code_interpreter"}, {"container", {{"type", "auto"}}}};
      break;
    case NativeToolType::MCP_SERVER:
      out = mcp_tool(kwargs);
      break;
    case NativeToolType::DATA_STORE:
      out = file_search_tool(kwargs);
      break;
  }
  if (tool.type == NativeToolType::WEB_SEARCH || tool.type == NativeToolType::CODE_INTERPRETER) {
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
      if (it.key() != "extra_params") out[it.key()] = it.value();
    }
  }
  if (auto extra = kwargs.find("extra_params"); extra != kwargs.end()) merge_into(out, *extra);
  return out;
}

Value responses_input(const std::vector<Message>& messages, std::string& instructions) {
  Value input = Value::array();
  instructions.clear();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const Message& message = messages[i];
    if (message.role == inference::MessageRole::SYSTEM) {
      const std::string text = message.text();
      if (text.empty()) continue;
      instructions += (instructions.empty() ? "" : "\n\n") + text;
      continue;
    }
    input.push_back(Value{{"role", std::string(inference::to_string(message.role))},
                          {"content", message_content(message, i)}});
  }
  return input;
}

ResponsesCall responses_call(const std::string& model, const std::vector<Message>& messages,
                             const Value& hyperparameters, const ResponsesSettings& settings) {
  const Value params = hyperparameters.is_object() ? hyperparameters : Value::object();
  ResponsesCall call{.retry_config = settings.retry_config};
  bool thinking = settings.thinking;
  Value tools = settings.tools;
  for (auto it = params.begin(); it != params.end(); ++it) {
    const std::string& key = it.key();
    if (key == "model" || key == "input" || key == "background" || key == "stream") {
      throw core::ValueError("The hyperparameter " + core::py_repr(key) +
                             " is set by the OpenAI invoker itself; leave it out.");
    }
    if (key == "thinking") thinking = read_bool(it.value(), key);
    if (key == "tools") tools = call_tools(it.value());
    if (key == "retry_config") call.retry_config = read_retry(it.value(), key);
  }
  if (auto it = params.find("timeout"); it != params.end()) {
    const bool ok = it->is_null() || (it->is_number() && std::isfinite(it->get<double>()) &&
                                      it->get<double>() > 0);
    if (!ok) {
      throw core::ValueError("Invalid OpenAI setting 'timeout': expected a number of seconds > 0 "
                             "or null, got " +
                             core::py_repr(*it) + ".");
    }
    if (!call.retry_config) call.retry_config = core::RetryConfig{.max_retries = 0};
    call.retry_config->timeout =
        it->is_null() ? std::nullopt : std::optional<double>(it->get<double>());
  }
  std::string instructions;
  Value input = responses_input(messages, instructions);
  Value& body = call.body;
  body["model"] = model;
  if (!instructions.empty()) body["instructions"] = std::move(instructions);
  body["input"] = std::move(input);
  if (!tools.empty()) body["tools"] = std::move(tools);
  if (thinking) body["reasoning"] = {{"summary", "auto"}};
  for (auto it = params.begin(); it != params.end(); ++it) {
    const std::string& key = it.key();
    if (key == "thinking" || key == "tools" || key == "retry_config" || key == "timeout") continue;
    if (key == "reasoning" && thinking && it->is_object()) {
      merge_into(body["reasoning"], *it);
    } else {
      body[key] = *it;
    }
  }
  body["background"] = true;
  body["stream"] = true;
  return call;
}

}  // namespace zelq::providers::openai
