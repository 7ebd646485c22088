// Conversation records of a language-model request: messages, their content
// items and non-text attachments.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::inference {

// A non-text content item: bytes with a MIME type, or a URL the provider
// fetches itself. Exactly one of `data` and `url` is meant to be set.
struct Attachment {
  core::Bytes data{};
  std::string mime_type{};
  std::string filename{};
  std::string url{};

  static Attachment from_bytes(core::Bytes data, std::string mime_type, std::string filename = {});
  static Attachment from_url(std::string url, std::string mime_type = {});

  bool operator==(const Attachment&) const = default;
};

// One content item of a message or one extra content of a request: a text,
// or an attachment. A text converts implicitly, so a list of contents can be
// written as {"a text", Attachment::from_bytes(...)}.
class MessageContent {
 public:
  MessageContent(std::string text) : content_(std::move(text)) {}    // NOLINT: implicit by design
  MessageContent(const char* text) : content_(std::string(text)) {}  // NOLINT
  MessageContent(Attachment attachment) : content_(std::move(attachment)) {}  // NOLINT

  // True for a plain text item.
  bool is_text() const noexcept { return std::holds_alternative<std::string>(content_); }
  // The text. Throws TypeError for an attachment.
  const std::string& text() const;
  // The attachment. Throws TypeError for a text.
  const Attachment& attachment() const;

  // The printed form used in log messages: a text as its Python repr
  // ('hi'); an attachment as Attachment(mime_type='image/png', size=3)
  // with filename='…' or url='…' first when set.
  std::string repr() const;

  bool operator==(const MessageContent&) const = default;

 private:
  std::variant<std::string, Attachment> content_;
};

// "[a, b]" with each item's repr(): the printed form of a content list.
std::string repr(const std::vector<MessageContent>& contents);

enum class MessageRole { SYSTEM, USER, ASSISTANT };

// "system", "user" or "assistant".
std::string_view to_string(MessageRole role);

// One entry of a conversation: a role and its content items in order.
struct Message {
  MessageRole role = MessageRole::USER;
  std::vector<MessageContent> contents{};

  static Message system(std::string text);
  static Message user(std::string text);
  static Message user(std::vector<MessageContent> contents);
  static Message assistant(std::string text);

  // The text items joined by "\n"; attachments are left out.
  std::string text() const;

  bool operator==(const Message&) const = default;
};

}  // namespace zelq::inference
