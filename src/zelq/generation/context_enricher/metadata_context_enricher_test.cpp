#include "zelq/generation/context_enricher/metadata_context_enricher.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/generation/context_enricher.hpp"

namespace zelq::generation::context_enricher {
namespace {

using core::Bytes;
using core::ChunkPtr;
using core::make_chunk;
using core::Value;

std::vector<ChunkPtr> enrich(const MetadataContextEnricher& enricher,
                             std::vector<ChunkPtr> chunks) {
  return core::run_sync(enricher.enrich(std::move(chunks)));
}

// The content one text chunk with `metadata` gets.
std::string enriched(const MetadataContextEnricher& enricher, Value metadata,
                     std::string content = "Body") {
  ChunkPtr chunk = make_chunk(std::move(content), std::move(metadata));
  enrich(enricher, {chunk});
  return chunk->text();
}

// The line one value gives under the field "k", or "" for no line.
std::string line_of(const MetadataContextEnricher& enricher, Value value) {
  const std::string text = enriched(enricher, Value{{"k", std::move(value)}}, "");
  return text.empty() ? "" : text.substr(0, text.size() - enricher.separator.size());
}

TEST(MetadataContextEnricherTest, WritesTheChosenFieldsInPlaceBeforeOrAfterTheText) {
  const MetadataContextEnricher enricher({"title", "page"});
  ChunkPtr chunk = make_chunk("Body", Value{{"author", "Ann"}, {"page", 3}, {"title", "Intro"}});
  std::vector<ChunkPtr> input{chunk};
  const std::vector<ChunkPtr> output = enrich(enricher, input);
  EXPECT_EQ(output, input) << "the caller's own chunks come back";
  EXPECT_EQ(chunk->text(), "- title: Intro\n- page: 3\n---\nBody");
  EXPECT_TRUE(enrich(enricher, {}).empty());

  MetadataContextEnricher suffix({"title"}, {.position = MetadataPosition::SUFFIX});
  EXPECT_EQ(enriched(suffix, {{"title", "T"}}), "Body\n---\n- title: T");
  for (const char* other : {"PREFIX", "", "middle"}) {
    suffix.position = other;
    EXPECT_EQ(enriched(suffix, {{"title", "T"}}), "Body\n---\n- title: T") << other;
  }
  suffix.position = "prefix";
  suffix.separator = " | ";
  EXPECT_EQ(enriched(suffix, {{"title", "T"}}), "- title: T | Body");

  const MetadataContextEnricher twice({"k", "k"}, {.skip_empty = false});
  ChunkPtr again = make_chunk("Body", Value{{"k", "v"}, {"blank", " "}});
  enrich(twice, {again});
  enrich(twice, {again});
  EXPECT_EQ(again->text(), "- k: v\n- k: v\n---\n- k: v\n- k: v\n---\nBody");
}

// Many fields over metadata of many keys, past the size where lookups
// switch to a table: lines follow the configured order, absent keys and
// nulls give no line.
TEST(MetadataContextEnricherTest, ManyFieldsFollowTheConfiguredOrder) {
  Value metadata = Value::object();
  for (int i = 0; i < 500; ++i) metadata["f" + std::to_string(i)] = i % 7 == 0 ? Value() : Value(i);
  std::vector<std::string> fields;
  std::string expected;
  for (int i = 599; i >= 0; i -= 3) {
    fields.push_back("f" + std::to_string(i));
    if (i >= 500 || i % 7 == 0) continue;
    if (!expected.empty()) expected += '\n';
    expected += "- f" + std::to_string(i) + ": " + std::to_string(i);
  }
  fields.push_back("f1");
  expected += "\n- f1: 1";
  const MetadataContextEnricher enricher(fields);
  EXPECT_EQ(enriched(enricher, metadata), expected + enricher.separator + "Body");
}

TEST(MetadataContextEnricherTest, BlankAndNullValuesGiveNoLineAndNoSeparator) {
  const MetadataContextEnricher enricher({"missing", "null", "empty", "blank", "list", "map"});
  const Value metadata = {{"null", nullptr},
                          {"empty", ""},
                          {"blank", " \t\n\u3000\x1c"},
                          {"list", Value::array()},
                          {"map", Value::object()}};
  EXPECT_EQ(enriched(enricher, metadata), "Body");
  EXPECT_EQ(enriched(enricher, Value::object()), "Body");
  EXPECT_EQ(enriched(enricher, nullptr), "Body");
  EXPECT_EQ(enriched(MetadataContextEnricher({}), {{"k", "v"}}), "Body");

  const MetadataContextEnricher k({"k"});
  EXPECT_EQ(line_of(k, 0), "- k: 0");
  EXPECT_EQ(line_of(k, false), "- k: False");
  EXPECT_EQ(line_of(k, "  spaced "), "- k:   spaced ") << "only the test strips";
  EXPECT_THROW(enriched(k, Value::array({1})), core::TypeError) << "metadata must be a mapping";
}

TEST(MetadataContextEnricherTest, FlattensNestedValuesAndFormatsScalarsAsPythonStr) {
  const MetadataContextEnricher k({"k"});
  EXPECT_EQ(line_of(k, {1, "", 2}), "- k: 1, 2");
  EXPECT_EQ(line_of(k, {{"a", 1}, {"b", ""}}), "- k: a: 1");
  EXPECT_EQ(line_of(k, {{"k", {1, 2}}}), "- k: k: 1, 2");
  EXPECT_EQ(line_of(k, Value::array({nullptr})), "- k: None");
  EXPECT_EQ(line_of(k, {{1, 2}, 3}), "- k: 1, 2, 3");
  EXPECT_EQ(line_of(k, {" ", "a"}), "- k:  , a") << "whitespace items are kept";
  EXPECT_EQ(line_of(k, {{"x", {{"y", nullptr}, {"z", {core::bytes_value({0, 1})}}}}}),
            "- k: x: y: None, z: <Binary> (AAE=)");
  EXPECT_EQ(line_of(k, {1.0, 1e-05, 1e16, 2.5, -0.0, true}),
            "- k: 1.0, 1e-05, 1e+16, 2.5, -0.0, True");

  Value deep = 1;
  for (int i = 0; i < 999; ++i) deep = Value::array({std::move(deep)});
  EXPECT_EQ(line_of(k, deep), "- k: 1");
  deep = Value::array({std::move(deep)});
  try {
    line_of(k, deep);
    ADD_FAILURE() << "no depth limit";
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(),
                 "maximum recursion depth exceeded while formatting a metadata value");
  }
}

TEST(MetadataContextEnricherTest, FillsTheTemplateAndAFailureLeavesLaterChunksUnchanged) {
  EXPECT_EQ(line_of(MetadataContextEnricher({"k"}, {.field_template = "{field}={value}"}), "v"),
            "k=v");
  EXPECT_EQ(
      line_of(MetadataContextEnricher({"k"}, {.field_template = "{{{field:>3}}} {value!r}"}), "v"),
      "{  k} 'v'");
  EXPECT_EQ(enriched(MetadataContextEnricher({"a", "b"}, {.field_template = "same"}),
                     {{"a", 1}, {"b", 2}}),
            "same\nsame\n---\nBody");

  const MetadataContextEnricher failing({"k"}, {.field_template = "{field} {other}"});
  ChunkPtr no_line = make_chunk(Bytes{0, 1}, Value{{"other", "x"}});
  ChunkPtr with_line = make_chunk("second", Value{{"k", "v"}});
  ChunkPtr after = make_chunk("third", Value{{"k", "v"}});
  try {
    enrich(failing, {no_line, with_line, after});
    ADD_FAILURE() << "the template names an unknown field";
  } catch (const core::KeyError& error) {
    EXPECT_STREQ(error.what(), "'other'");
  }
  EXPECT_EQ(no_line->text(), "<Binary> (AAE=)");
  EXPECT_EQ(with_line->text(), "second");
  EXPECT_EQ(after->text(), "third");
}

TEST(MetadataContextEnricherTest, WritesBytesThroughTheBinaryHandler) {
  const Value metadata = {{"raw", core::bytes_value({0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff})},
                          {"mixed", {core::bytes_value({1}), "x"}}};
  const std::vector<std::string> fields{"raw", "mixed"};
  EXPECT_EQ(enriched(MetadataContextEnricher(fields), metadata),
            "- raw: <Binary> (+vv8/f7/)\n- mixed: <Binary> (AQ==), x\n---\nBody");
  const MetadataContextEnricher hex(fields, {.binary_handling = core::BinaryHandlingStrategy::HEX});
  EXPECT_EQ(enriched(hex, metadata),
            "- raw: <Binary> (fafbfcfdfeff)\n- mixed: <Binary> (01), x\n---\nBody");
  const MetadataContextEnricher none(fields,
                                     {.binary_handling = core::BinaryHandlingStrategy::NONE});
  EXPECT_EQ(enriched(none, metadata), "- mixed: x\n---\nBody");

  ChunkPtr binary = make_chunk(Bytes{0, 1}, Value{{"raw", "r"}});
  enrich(hex, {binary});
  EXPECT_EQ(binary->text(), "- raw: r\n---\n<Binary> (0001)");
  ChunkPtr kept = make_chunk(Bytes{0, 1}, Value{{"raw", "r"}});
  ChunkPtr plain = make_chunk(Bytes{2}, Value::object());
  enrich(none, {kept, plain});
  EXPECT_EQ(kept->bytes(), (Bytes{0, 1})) << "binary data must not be lost";
  EXPECT_EQ(plain->bytes(), (Bytes{2}));

  MetadataContextEnricher recording({"b", "a"});
  std::vector<Bytes> seen;
  recording.binary_handler = [&seen](const Bytes& bytes) -> std::optional<std::string> {
    seen.push_back(bytes);
    return "";
  };
  ChunkPtr ordered =
      make_chunk(Bytes{3}, Value{{"a", core::bytes_value({1})}, {"b", core::bytes_value({2})}});
  enrich(recording, {ordered});
  EXPECT_EQ(seen, (std::vector<Bytes>{{2}, {1}, {3}})) << "fields in order, the content last";
  EXPECT_EQ(ordered->text(), "- b: <Binary> ()\n- a: <Binary> ()\n---\n<Binary> ()");
}

}  // namespace
}  // namespace zelq::generation::context_enricher
