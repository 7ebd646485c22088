// A retrieved unit of content: text or bytes, with metadata and a score.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "zelq/core/uuid.hpp"
#include "zelq/core/value.hpp"

namespace zelq::core {

// Chunks are shared between the caller and the components, never copied by
// them: component APIs take and return ChunkPtr lists, and "the caller's own
// chunks" means the same pointers.
struct Chunk {
  using Content = std::variant<std::string, Bytes>;

  // A fresh lower-case v4 UUID text unless the caller sets one.
  std::string id = new_uuid();
  Content content = std::string();
  // Always an object; an empty object means "no metadata".
  Value metadata = Value::object();
  std::optional<double> score;

  // True when the content is text.
  bool is_text() const noexcept { return std::holds_alternative<std::string>(content); }

  // The text content. Throws TypeError when the content is bytes.
  const std::string& text() const;
  // The byte content. Throws TypeError when the content is text.
  const Bytes& bytes() const;

  // The chunk as a mapping: {"id", "content", "metadata", "score"}. Byte
  // content becomes a binary Value; a missing score is null.
  Value model_dump() const;
};

using ChunkPtr = std::shared_ptr<Chunk>;

// Makes a shared chunk with a text content.
ChunkPtr make_chunk(std::string content, Value metadata = Value::object(),
                    std::optional<double> score = std::nullopt);
// Makes a shared chunk with a byte content.
ChunkPtr make_chunk(Bytes content, Value metadata = Value::object(),
                    std::optional<double> score = std::nullopt);

}  // namespace zelq::core
