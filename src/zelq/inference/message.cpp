#include "zelq/inference/message.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {

Attachment Attachment::from_bytes(core::Bytes data, std::string mime_type, std::string filename) {
  return Attachment{.data = std::move(data),
                    .mime_type = std::move(mime_type),
                    .filename = std::move(filename),
                    .url = {}};
}

Attachment Attachment::from_url(std::string url, std::string mime_type) {
  return Attachment{
      .data = {}, .mime_type = std::move(mime_type), .filename = {}, .url = std::move(url)};
}

const std::string& MessageContent::text() const {
  if (const auto* text = std::get_if<std::string>(&content_)) return *text;
  throw core::TypeError("message content is an attachment, not text");
}

const Attachment& MessageContent::attachment() const {
  if (const auto* attachment = std::get_if<Attachment>(&content_)) return *attachment;
  throw core::TypeError("message content is text, not an attachment");
}

std::string MessageContent::repr() const {
  if (is_text()) return core::py_repr(text());
  const Attachment& a = attachment();
  std::string out = "Attachment(";
  if (!a.filename.empty()) out += "filename=" + core::py_repr(a.filename) + ", ";
  if (!a.url.empty()) out += "url=" + core::py_repr(a.url) + ", ";
  out += "mime_type=" + core::py_repr(a.mime_type);
  if (a.url.empty()) out += ", size=" + std::to_string(a.data.size());
  return out + ")";
}

std::string repr(const std::vector<MessageContent>& contents) {
  std::string out = "[";
  for (std::size_t i = 0; i < contents.size(); ++i) {
    if (i > 0) out += ", ";
    out += contents[i].repr();
  }
  return out + "]";
}

std::string_view to_string(MessageRole role) {
  switch (role) {
    case MessageRole::SYSTEM:
      return "system";
    case MessageRole::USER:
      return "user";
    case MessageRole::ASSISTANT:
      return "assistant";
  }
  return "user";
}

Message Message::system(std::string text) {
  return Message{.role = MessageRole::SYSTEM, .contents = {std::move(text)}};
}

Message Message::user(std::string text) {
  return Message{.role = MessageRole::USER, .contents = {std::move(text)}};
}

Message Message::user(std::vector<MessageContent> contents) {
  return Message{.role = MessageRole::USER, .contents = std::move(contents)};
}

Message Message::assistant(std::string text) {
  return Message{.role = MessageRole::ASSISTANT, .contents = {std::move(text)}};
}

std::string Message::text() const {
  std::string out;
  bool first = true;
  for (const auto& content : contents) {
    if (!content.is_text()) continue;
    if (!first) out += '\n';
    out += content.text();
    first = false;
  }
  return out;
}

}  // namespace zelq::inference
