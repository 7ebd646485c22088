#include "zelq/core/chunk.hpp"

#include "zelq/core/errors.hpp"

namespace zelq::core {

const std::string& Chunk::text() const {
  if (const auto* text = std::get_if<std::string>(&content)) return *text;
  throw TypeError("chunk content is bytes, not text");
}

const Bytes& Chunk::bytes() const {
  if (const auto* bytes = std::get_if<Bytes>(&content)) return *bytes;
  throw TypeError("chunk content is text, not bytes");
}

Value Chunk::model_dump() const {
  Value dump = Value::object();
  dump["id"] = id;
  if (is_text()) {
    dump["content"] = text();
  } else {
    dump["content"] = Value::binary(bytes());
  }
  dump["metadata"] = metadata;
  dump["score"] = score ? Value(*score) : Value(nullptr);
  return dump;
}

ChunkPtr make_chunk(std::string content, Value metadata, std::optional<double> score) {
  auto chunk = std::make_shared<Chunk>();
  chunk->content = std::move(content);
  chunk->metadata = metadata.is_null() ? Value::object() : std::move(metadata);
  chunk->score = score;
  return chunk;
}

ChunkPtr make_chunk(Bytes content, Value metadata, std::optional<double> score) {
  auto chunk = std::make_shared<Chunk>();
  chunk->content = std::move(content);
  chunk->metadata = metadata.is_null() ? Value::object() : std::move(metadata);
  chunk->score = score;
  return chunk;
}

}  // namespace zelq::core
