#include "zelq/providers/openai/detail/responses_stream.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/chunk.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;

namespace {

std::string text_of(const Value& object, std::string_view key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const Value& member(const Value& object, std::string_view key) {
  static const Value null_value = nullptr;
  if (!object.is_object()) return null_value;
  auto it = object.find(key);
  return it == object.end() ? null_value : *it;
}

std::string part_key(const Value& data, std::string_view index_key) {
  return text_of(data, "item_id") + "/" + member(data, index_key).dump();
}

// The byte offset of code point `index` in the UTF-8 `text` (its size when
// the text is shorter): the service counts characters, not bytes.
std::size_t byte_offset(const std::string& text, long long index) {
  std::size_t pos = 0;
  for (long long seen = 0; pos < text.size(); ++pos) {
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) continue;
    if (seen++ == index) return pos;
  }
  return text.size();
}

core::ChunkPtr citation_chunk(const std::string& text, const Value& annotation) {
  auto chunk = std::make_shared<core::Chunk>();
  const Value& start = member(annotation, "start_index");
  const Value& end = member(annotation, "end_index");
  if (start.is_number_integer() && end.is_number_integer()) {
    const std::size_t from = byte_offset(text, start.get<long long>());
    const std::size_t to = std::max(from, byte_offset(text, end.get<long long>()));
    chunk->content = text.substr(from, to - from);
  }
  chunk->metadata = {{"url", text_of(annotation, "url")}, {"title", text_of(annotation, "title")}};
  return chunk;
}

bool is_citation(const Value& annotation) {
  return text_of(annotation, "type") == "url_citation";
}

}  // namespace

std::optional<inference::Activity> item_activity(const Value& item) {
  const std::string type = text_of(item, "type");
  if (type == "web_search_call") {
    Value fields = Value::object();
    std::string kind = "search";
    if (const Value& action = member(item, "action"); action.is_object()) {
      for (auto it = action.begin(); it != action.end(); ++it) {
        if (it.key() == "type" && it->is_string()) {
          kind = it->get<std::string>();
        } else if (it.key() != "type") {
          fields[it.key()] = it.value();
        }
      }
    }
    return inference::Activity(kind, std::move(fields));
  }
  if (type == "code_interpreter_call") {
    return inference::Activity("code_interpreter", Value{{"code", member(item, "code")}});
  }
  if (type == "mcp_call") {
    return inference::Activity("mcp_call", Value{{"server_label", member(item, "server_label")},
                                                 {"name", member(item, "name")},
                                                 {"arguments", member(item, "arguments")}});
  }
  return std::nullopt;
}

ResponsesStreamReader::ResponsesStreamReader(std::shared_ptr<core::EventEmitter> emitter,
                                             std::string source, std::string secret)
    : emitter_(std::move(emitter)),
      source_(std::move(source)),
      secret_(std::move(secret)),
      thinking_block_(emitter_, inference::BlockKind::THINKING),
      text_block_(emitter_, inference::BlockKind::RESPONSE) {}

asio::awaitable<bool> ResponsesStreamReader::take(const net::SseEvent& event) {
  if (event.data == "[DONE]") co_return false;
  const Value data = net::parse_json_object(event.data, "An event of " + source_, secret_);
  if (const Value& sequence = member(data, "sequence_number"); sequence.is_number_integer()) {
    if (last_sequence_ && sequence.get<long long>() <= *last_sequence_) co_return false;
    last_sequence_ = sequence.get<long long>();
  }
  ++taken_;
  std::string type = text_of(data, "type");
  if (type.empty()) type = event.event;
  if (const Value& response = member(data, "response"); response_id_.empty()) {
    response_id_ = text_of(response, "id");
  }
  if (type == "response.reasoning_summary_text.delta") {
    co_await piece(Kind::THINKING, "r" + part_key(data, "summary_index"), text_of(data, "delta"));
  } else if (type == "response.output_text.delta") {
    co_await piece(Kind::TEXT, "t" + part_key(data, "content_index"), text_of(data, "delta"));
  } else if (type == "response.output_text.annotation.added") {
    annotate(data);
  } else if (type == "response.output_text.done") {
    co_await close_part("t" + part_key(data, "content_index"));
  } else if (type == "response.reasoning_summary_part.done" ||
             type == "response.reasoning_summary_text.done") {
    co_await close_part("r" + part_key(data, "summary_index"));
  } else if (type == "response.output_item.done") {
    co_await activity(member(data, "item"));
  } else if (type == "response.completed") {
    ended_ = true;
    final_response_ = member(data, "response");
    co_return true;
  } else if (type == "response.failed" || type == "response.incomplete" ||
             type == "response.cancelled" || type == "error") {
    ended_ = type != "error";
    fail(data, type);
  }
  co_return false;
}

asio::awaitable<void> ResponsesStreamReader::piece(Kind kind, std::string key, std::string delta) {
  const std::size_t index = part_index(kind, std::move(key));
  parts_[index].text += delta;
  if (!emitter_ || delta.empty()) co_return;
  if (open_part_ != index) {
    co_await close_block();
    open_part_ = index;
    co_await block_of(kind).start();
  }
  co_await block_of(kind).content(std::move(delta));
}

asio::awaitable<void> ResponsesStreamReader::close_block() {
  if (!open_part_) co_return;
  const Kind kind = parts_[*open_part_].kind;
  open_part_.reset();
  co_await block_of(kind).end();
}

asio::awaitable<void> ResponsesStreamReader::close_part(const std::string& key) {
  auto it = part_of_key_.find(key);
  if (it != part_of_key_.end() && open_part_ == it->second) co_await close_block();
}

asio::awaitable<void> ResponsesStreamReader::activity(const Value& item) {
  std::optional<inference::Activity> found = item_activity(item);
  if (!found || !emitter_) co_return;
  co_await close_block();
  core::Event event = inference::ActivityEvent::from_activity(*found);
  co_await emitter_->emit(std::move(event));
}

std::size_t ResponsesStreamReader::part_index(Kind kind, std::string key) {
  auto [it, added] = part_of_key_.try_emplace(std::move(key), parts_.size());
  if (added) parts_.push_back(Part{kind, {}});
  return it->second;
}

void ResponsesStreamReader::annotate(const Value& data) {
  const Value& annotation = member(data, "annotation");
  if (!is_citation(annotation)) return;
  const std::size_t part = part_index(Kind::TEXT, "t" + part_key(data, "content_index"));
  annotations_.push_back(Annotation{part, annotation});
}

void ResponsesStreamReader::fail(const Value& data, const std::string& type) const {
  const Value& response = member(data, "response");
  const Value& error = type == "error" ? (member(data, "error").is_object() ? member(data, "error")
                                                                           : data)
                                       : member(response, "error");
  std::string message = text_of(error, "message");
  const std::string code = text_of(error, "code");
  if (type == "response.incomplete") {
    message = text_of(member(response, "incomplete_details"), "reason");
  }
  std::string what = type == "response.failed"       ? "failed"
                     : type == "response.incomplete" ? "is incomplete"
                     : type == "response.cancelled"  ? "was cancelled"
                                                      : "reports an error";
  std::string text = "The OpenAI response " + (response_id_.empty() ? "" : response_id_ + " ") +
                     "of " + source_ + " " + what;
  if (!code.empty()) text += " (" + net::one_line(code, secret_) + ")";
  if (!message.empty()) text += ": " + net::one_line(message, secret_);
  throw core::RuntimeError(net::sentence(net::mask_secret(text, secret_)));
}

asio::awaitable<LMOutput> ResponsesStreamReader::finish() {
  co_await close_block();
  LMOutput output;
  bool has_text = false;
  for (Part& part : parts_) {
    if (part.kind == Kind::THINKING) {
      if (!part.text.empty()) output.add_thinking(inference::Thinking{std::move(part.text)});
    } else {
      has_text = true;
    }
  }
  if (!has_text) {
    fill_from_final(output);
    co_return output;
  }
  for (const Annotation& annotation : annotations_) {
    output.add_citation(citation_chunk(parts_[annotation.part].text, annotation.value));
  }
  for (Part& part : parts_) {
    if (part.kind == Kind::TEXT) output.add_text(std::move(part.text));
  }
  co_return output;
}

void ResponsesStreamReader::fill_from_final(LMOutput& output) const {
  const Value& items = member(final_response_, "output");
  if (!items.is_array()) return;
  for (const Value& item : items) {
    if (text_of(item, "type") != "message" || !member(item, "content").is_array()) continue;
    for (const Value& content : member(item, "content")) {
      if (text_of(content, "type") != "output_text") continue;
      const std::string text = text_of(content, "text");
      if (const Value& notes = member(content, "annotations"); notes.is_array()) {
        for (const Value& note : notes) {
          if (is_citation(note)) output.add_citation(citation_chunk(text, note));
        }
      }
      output.add_text(text);
    }
  }
}

}  // namespace zelq::providers::openai
