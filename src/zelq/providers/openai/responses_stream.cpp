#include "zelq/providers/openai/detail/responses_stream.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

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

// The text of `key` in place ("" when it is missing or not a string).
const std::string& text_in(const Value& object, std::string_view key) {
  static const std::string no_text;
  const auto* text = member(object, key).get_ptr<const std::string*>();
  return text ? *text : no_text;
}

std::string part_key(const Value& data, std::string_view index_key) {
  return text_of(data, "item_id") + "/" + member(data, index_key).dump();
}

// The byte offsets of the characters (code points) of one UTF-8 text: the
// service counts characters, not bytes, where it marks a span. One pass over
// the text keeps the offset of every kStride-th character; a look-up starts
// at the checkpoint before it and reads at most kStride characters on, so N
// spans of a text of T bytes cost O(T + N), in any order.
class CharacterOffsets {
 public:
  explicit CharacterOffsets(const std::string& text) : text_(&text) {
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
      if (continues(text[pos])) continue;
      if (count_ % kStride == 0) checkpoints_.push_back(pos);
      ++count_;
    }
  }

  // The byte offset of character `index`; the text's size when the text
  // has no such character (a negative index included).
  std::size_t operator()(long long index) const {
    if (index < 0 || static_cast<unsigned long long>(index) >= count_) return text_->size();
    const auto at = static_cast<std::size_t>(index);
    std::size_t pos = checkpoints_[at / kStride];
    for (std::size_t left = at % kStride; left > 0; --left) {
      do ++pos;
      while (continues((*text_)[pos]));
    }
    return pos;
  }

 private:
  static constexpr std::size_t kStride = 64;
  static bool continues(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

  const std::string* text_;
  std::vector<std::size_t> checkpoints_;
  std::size_t count_ = 0;
};

// Real citations quote a sentence or a link each, a few of them the same
// one, so together they quote their text a few times over at most. A
// response whose citations would quote more than kQuoteFactor times its
// texts, and kQuoteAllowance bytes besides (a short answer backed by many
// sources), is refused before any quote is copied: the copies would
// otherwise grow with the square of what the server sent.
constexpr std::size_t kQuoteFactor = 4;
constexpr std::size_t kQuoteAllowance = std::size_t{64} << 10;

// Each citation holds a few hundred bytes, whatever it quotes. Real
// ones mark a sentence or the link that follows it, so a text holds far
// fewer than one per kCitationSpacing bytes; kCitationAllowance more let a
// short answer be backed by many sources. A response that sends more is
// refused as each arrives, before it is held.
constexpr std::size_t kCitationSpacing = 64;
constexpr std::size_t kCitationAllowance = 1024;

// The character indices a url_citation marks, when both are integers.
std::optional<std::pair<long long, long long>> marked_indices(const Value& annotation) {
  const Value& start = member(annotation, "start_index");
  const Value& end = member(annotation, "end_index");
  if (!start.is_number_integer() || !end.is_number_integer()) return std::nullopt;
  return std::pair(start.get<long long>(), end.get<long long>());
}

// The span a citation marks in its text, in bytes; empty without integer
// indices, or when it ends before it starts. The url and title are where
// the citation keeps them.
struct CitedSpan {
  const std::string* text;
  const std::string* url;
  const std::string* title;
  std::size_t from = 0;
  std::size_t to = 0;
};

CitedSpan cited_span(const std::string& text, const CharacterOffsets& offsets,
                     const std::optional<std::pair<long long, long long>>& indices,
                     const std::string& url, const std::string& title) {
  CitedSpan span{&text, &url, &title};
  if (indices) {
    span.from = offsets(indices->first);
    span.to = std::max(span.from, offsets(indices->second));
  }
  return span;
}

std::vector<core::ChunkPtr> citation_chunks(const std::vector<CitedSpan>& spans) {
  std::vector<core::ChunkPtr> chunks;
  chunks.reserve(spans.size());
  for (const CitedSpan& span : spans) {
    auto chunk = std::make_shared<core::Chunk>();
    chunk->content = span.text->substr(span.from, span.to - span.from);
    chunk->metadata = {{"url", *span.url}, {"title", *span.title}};
    chunks.push_back(std::move(chunk));
  }
  return chunks;
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
                                             std::string source, net::Quoting quoting,
                                             std::size_t max_memory)
    : emitter_(std::move(emitter)),
      source_(std::move(source)),
      quoting_(std::move(quoting)),
      max_memory_(max_memory),
      thinking_block_(emitter_, inference::BlockKind::THINKING),
      text_block_(emitter_, inference::BlockKind::RESPONSE) {}

asio::awaitable<bool> ResponsesStreamReader::take(const net::SseEvent& event) {
  if (event.data == "[DONE]") co_return false;
  const Value data =
      net::parse_json_object(event.data, "An event of " + source_, quoting_, max_memory_);
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
  if (kind == Kind::TEXT) text_bytes_ += delta.size();
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
  check_citation_count(annotations_.size() + 1, text_bytes_);
  const std::size_t part = part_index(Kind::TEXT, "t" + part_key(data, "content_index"));
  // Only what a citation shows is kept, not whatever else the server put
  // in the annotation.
  annotations_.push_back(Annotation{part, marked_indices(annotation), text_in(annotation, "url"),
                                    text_in(annotation, "title")});
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
  std::string text = "The " + named_response() + " " + what;
  if (!code.empty()) text += " (" + quoting_.line(code) + ")";
  if (!message.empty()) text += ": " + quoting_.line(message);
  throw core::RuntimeError(net::sentence(std::move(text)));
}

asio::awaitable<LMOutput> ResponsesStreamReader::finish() {
  co_await close_block();
  const bool has_text = std::any_of(parts_.begin(), parts_.end(),
                                    [](const Part& part) { return part.kind == Kind::TEXT; });
  // Measured and checked before any part is moved out.
  std::vector<core::ChunkPtr> citations;
  if (has_text) citations = streamed_citations();
  LMOutput output;
  for (Part& part : parts_) {
    if (part.kind == Kind::THINKING && !part.text.empty()) {
      output.add_thinking(inference::Thinking{std::move(part.text)});
    }
  }
  if (!has_text) {
    fill_from_final(output);
    co_return output;
  }
  output.add_citation(std::move(citations));
  for (Part& part : parts_) {
    if (part.kind == Kind::TEXT) output.add_text(std::move(part.text));
  }
  co_return output;
}

std::vector<core::ChunkPtr> ResponsesStreamReader::streamed_citations() const {
  std::vector<std::optional<CharacterOffsets>> offsets(parts_.size());
  std::vector<CitedSpan> spans;
  spans.reserve(annotations_.size());
  std::size_t quoted = 0;
  for (const Annotation& annotation : annotations_) {
    const std::string& text = parts_[annotation.part].text;
    if (!offsets[annotation.part]) offsets[annotation.part].emplace(text);
    spans.push_back(cited_span(text, *offsets[annotation.part], annotation.indices, annotation.url,
                               annotation.title));
    quoted += spans.back().to - spans.back().from;
  }
  check_quotes(quoted, text_bytes_);
  return citation_chunks(spans);
}

void ResponsesStreamReader::fill_from_final(LMOutput& output) const {
  const Value& items = member(final_response_, "output");
  if (!items.is_array()) return;
  static const std::string no_text;
  std::vector<const std::string*> texts;
  std::vector<CitedSpan> spans;
  std::size_t text_bytes = 0;
  std::size_t quoted = 0;
  for (const Value& item : items) {
    if (text_of(item, "type") != "message" || !member(item, "content").is_array()) continue;
    for (const Value& content : member(item, "content")) {
      if (text_of(content, "type") != "output_text") continue;
      const std::string* text = member(content, "text").get_ptr<const std::string*>();
      texts.push_back(text ? text : &no_text);
      text_bytes += texts.back()->size();
      const Value& notes = member(content, "annotations");
      if (!notes.is_array()) continue;
      std::optional<CharacterOffsets> offsets;
      for (const Value& note : notes) {
        if (!is_citation(note)) continue;
        if (!offsets) offsets.emplace(*texts.back());
        spans.push_back(cited_span(*texts.back(), *offsets, marked_indices(note),
                                   text_in(note, "url"), text_in(note, "title")));
        quoted += spans.back().to - spans.back().from;
      }
    }
  }
  check_citation_count(spans.size(), text_bytes);
  check_quotes(quoted, text_bytes);
  output.add_citation(citation_chunks(spans));
  for (const std::string* text : texts) output.add_text(*text);
}

std::string ResponsesStreamReader::named_response() const {
  // The id is the service's: shown as its texts are (key masked, one line).
  return "OpenAI response " + (response_id_.empty() ? "" : quoting_.line(response_id_) + " ") +
         "of " + source_;
}

void ResponsesStreamReader::check_citation_count(std::size_t citations,
                                                 std::size_t text_bytes) const {
  const std::size_t limit = text_bytes / kCitationSpacing + kCitationAllowance;
  if (citations <= limit) return;
  const std::string text = "The citations of the " + named_response() + " number " +
                           std::to_string(citations) + " for its " + std::to_string(text_bytes) +
                           " bytes of text, more than the limit of " + std::to_string(limit) +
                           " (one per " + std::to_string(kCitationSpacing) + " bytes of text and " +
                           std::to_string(kCitationAllowance) + " besides)";
  throw core::OverLimitError<core::RuntimeError>(net::sentence(text));
}

void ResponsesStreamReader::check_quotes(std::size_t quoted, std::size_t text_bytes) const {
  const std::size_t limit = kQuoteFactor * text_bytes + kQuoteAllowance;
  if (quoted <= limit) return;
  const std::string text = "The citations of the " + named_response() + " quote " +
                           std::to_string(quoted) + " bytes of its " + std::to_string(text_bytes) +
                           " bytes of text, more than the limit of " + std::to_string(limit) +
                           " (" + std::to_string(kQuoteFactor) + " times the text and " +
                           std::to_string(kQuoteAllowance) + " bytes)";
  throw core::OverLimitError<core::RuntimeError>(net::sentence(text));
}

}  // namespace zelq::providers::openai
