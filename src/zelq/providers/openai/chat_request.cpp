#include "zelq/providers/openai/detail/chat_request.hpp"

#include <algorithm>
#include <array>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"

namespace zelq::providers::openai {

using core::Value;
using inference::Attachment;
using inference::Message;
using inference::MessageContent;
using inference::MessageRole;

namespace {

std::string data_url(const Attachment& attachment) {
  return "data:" + attachment.mime_type + ";base64," + core::base64_encode(attachment.data);
}

[[noreturn]] void unsupported(std::size_t message, std::size_t item, const MessageContent& content,
                              std::string_view why) {
  throw core::ValueError("Unsupported content for an OpenAI chat request: message " +
                         std::to_string(message) + ", item " + std::to_string(item) + " (" +
                         content.repr() + "): " + std::string(why) + ".");
}

// The content part of one attachment, or nullopt when it has no simple form.
std::optional<Value> attachment_part(const Attachment& attachment) {
  const std::string& mime = attachment.mime_type;
  if (!attachment.url.empty()) {
    if (!mime.empty() && !mime.starts_with("image/")) return std::nullopt;
    return Value{{"type", "image_url"}, {"image_url", {{"url", attachment.url}}}};
  }
  if (mime.starts_with("image/")) {
    return Value{{"type", "image_url"}, {"image_url", {{"url", data_url(attachment)}}}};
  }
  if (mime == "application/pdf") {
    Value file = {{"file_data", data_url(attachment)}};
    file["filename"] = attachment.filename.empty() ? "document.pdf" : attachment.filename;
    return Value{{"type", "file"}, {"file", std::move(file)}};
  }
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> audio = {
      {{"audio/wav", "wav"}, {"audio/x-wav", "wav"}, {"audio/mpeg", "mp3"}, {"audio/mp3", "mp3"}}};
  for (const auto& [type, format] : audio) {
    if (mime == type) {
      return Value{
          {"type", "input_audio"},
          {"input_audio", {{"data", core::base64_encode(attachment.data)}, {"format", format}}}};
    }
  }
  return std::nullopt;
}

Value message_content(const Message& message, std::size_t index) {
  const bool all_text = std::all_of(message.contents.begin(), message.contents.end(),
                                    [](const MessageContent& c) { return c.is_text(); });
  if (all_text) return message.text();
  Value parts = Value::array();
  for (std::size_t item = 0; item < message.contents.size(); ++item) {
    const MessageContent& content = message.contents[item];
    if (content.is_text()) {
      parts.push_back(Value{{"type", "text"}, {"text", content.text()}});
      continue;
    }
    if (message.role != MessageRole::USER) {
      unsupported(index, item, content, "only user messages may carry attachments");
    }
    auto part = attachment_part(content.attachment());
    if (!part) {
      unsupported(index, item, content,
                  "images (URL or bytes), PDF bytes and WAV or MP3 bytes are supported");
    }
    parts.push_back(std::move(*part));
  }
  return parts;
}

std::string schema_name(const Value& schema) {
  std::string name;
  if (auto title = schema.find("title"); title != schema.end() && title->is_string()) {
    for (char c : title->get<std::string>()) {
      const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
      if (allowed && name.size() < 64) name += c;
    }
  }
  return name.empty() ? "response" : name;
}

std::optional<std::string> text_field(const Value& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

// Objects are built member by member rather than from braced lists, which
// build each member as a list of two first: a request is built per call.
Value chat_messages(const std::vector<Message>& messages) {
  Value out = Value::array();
  out.get_ref<Value::array_t&>().reserve(messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    Value message = Value::object();
    message.emplace("role", std::string(inference::to_string(messages[i].role)));
    message.emplace("content", message_content(messages[i], i));
    out.push_back(std::move(message));
  }
  return out;
}

Value chat_request_body(const std::string& model, const std::vector<Message>& messages,
                        const inference::LMInvokeOptions& options,
                        const ChatRequestOptions& request) {
  const bool has_schema = options.response_schema.has_value();
  Value body = Value::object();
  body.emplace("model", model);
  body.emplace("messages", chat_messages(messages));
  for (auto it = options.hyperparameters.begin(); it != options.hyperparameters.end(); ++it) {
    const std::string& key = it.key();
    if (key == "model" || key == "messages" || key == "stream" || key == "stream_options" ||
        (key == "response_format" && has_schema)) {
      throw core::ValueError("The hyperparameter " + core::py_repr(key) +
                             " is set by the OpenAI invoker itself; leave it out.");
    }
    body[key] = it.value();
  }
  if (request.stream) body["stream"] = true;
  if (has_schema) {
    body["response_format"] = {{"type", "json_schema"},
                               {"json_schema",
                                {{"name", schema_name(*options.response_schema)},
                                 {"schema", *options.response_schema},
                                 {"strict", request.strict_schema}}}};
  }
  return body;
}

void finish_output(inference::LMOutput& output, const std::string& thinking,
                   std::optional<std::string> text, const std::optional<std::string>& refusal,
                   bool structured, const net::Quoting& quoting, std::size_t max_memory) {
  if (refusal && !refusal->empty()) {
    throw core::RuntimeError("The model refused: " + quoting.mask(*refusal));
  }
  if (!thinking.empty()) output.add_thinking(inference::Thinking{thinking});
  const bool has_text = text.has_value();
  // Moved, not copied: a structured answer may be as large as the client
  // reads, and it is parsed where the output keeps it.
  if (has_text) output.add_text(std::move(*text));
  if (!structured) return;
  const std::string_view answer = has_text ? std::string_view(output.texts().back()) : "";
  output.set_structured_output(
      net::parse_json(answer, "The model's structured answer", quoting, max_memory));
}

ChoicePart read_choice(const Value& answer, std::string_view choice_key, std::string_view source,
                       const net::Quoting& quoting) {
  if (auto error = answer.find("error"); error != answer.end() && !error->is_null()) {
    throw core::RuntimeError(std::string(source) +
                             " reports an error: " + net::parsed_server_message(answer, quoting));
  }
  ChoicePart part;
  auto choices = answer.find("choices");
  const bool has_choice = choices != answer.end() && choices->is_array() && !choices->empty() &&
                          choices->front().is_object();
  if (!has_choice) {
    if (choice_key == "delta") return part;
    throw core::RuntimeError(std::string(source) + " holds no choice.");
  }
  const Value& choice = choices->front();
  part.finish_reason = text_field(choice, "finish_reason");
  auto body = choice.find(choice_key);
  if (body == choice.end() || !body->is_object()) {
    if (choice_key == "delta") return part;
    throw core::RuntimeError(std::string(source) + " holds a choice without a message.");
  }
  part.text = text_field(*body, "content");
  part.refusal = text_field(*body, "refusal");
  part.thinking = text_field(*body, "reasoning_content");
  if (!part.thinking) part.thinking = text_field(*body, "reasoning");
  return part;
}

}  // namespace zelq::providers::openai
