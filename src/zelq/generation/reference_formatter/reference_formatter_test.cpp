#include "zelq/generation/reference_formatter/reference_formatter.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/reference_formatter/no_op_reference_formatter.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::generation::reference_formatter {
namespace {

using core::ChunkPtr;
using core::make_chunk;
using core::Value;
using inference::testing::RecordingEventEmitter;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kResponseError =
    "The input kwargs for reference formatter must include a non-empty `response` key of type "
    "`str`.";
const std::string kChunksError =
    "The input kwargs for reference formatter must include a `chunks` key of type "
    "`list[Chunk]`.";

ChunkPtr doc(Value metadata, std::string content = "text") {
  return make_chunk(std::move(content), std::move(metadata));
}

std::string value_error(const BaseReferenceFormatter& formatter, FormatReferenceOptions options) {
  try {
    core::run_sync(formatter.format_reference(std::move(options)));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "<no error>";
}

TEST(FormatReferencesAsStringTest, NumbersFirstOccurrencesOfEqualEntries) {
  EXPECT_EQ(format_references_as_string({}), "");
  EXPECT_EQ(format_references_as_string({"A"}), "References:\n1. A");
  EXPECT_EQ(format_references_as_string({"A", "B", "A", nullptr, "None", nullptr, 7, 7.0, true, 1}),
            "References:\n1. A\n2. B\n3. None\n4. None\n5. 7\n6. True");
  // Python's ==: mappings regardless of key order, lists element-wise, bytes
  // never equal to text.
  EXPECT_EQ(format_references_as_string({Value{{"k", 1}, {"j", 2}}, Value{{"j", 2.0}, {"k", true}},
                                         core::bytes_value({'a'}), "a", Value::array({0}),
                                         Value::array({-0.0}), 1.5}),
            "References:\n1. {'k': 1, 'j': 2}\n2. b'a'\n3. a\n4. [0]\n5. 1.5");
}

// Values nested far deeper than a recursive copy could go are read where
// they are, as Python reads them: deduplicating and printing them raises
// RecursionError, never exhausts the stack. (Built by moves, freed without
// recursion.)
TEST(FormatReferencesAsStringTest, ValuesTooDeepToCopyRaiseRecursionError) {
  const auto nested = [](std::size_t levels) {
    Value value = "t";
    for (std::size_t i = 0; i < levels; ++i) value = Value::array({std::move(value)});
    return value;
  };
  const auto runtime_error_of = [](const auto& call) -> std::string {
    try {
      call();
    } catch (const core::RuntimeError& error) {
      return error.what();
    }
    return "<no error>";
  };
  const std::string kRepr = "maximum recursion depth exceeded while getting the repr of an object";
  std::vector<Value> entries;
  entries.push_back(nested(200'000));
  entries.push_back(nested(200'000));
  EXPECT_EQ(runtime_error_of([&] { format_references_as_string(entries); }), kRepr);
  // A link's target is only read, never copied.
  Value metadata = {{"file_name", "f"}};
  metadata["file_url"] = nested(200'000);
  const ChunkPtr chunk = doc(std::move(metadata));
  const FormatChunkFunc render = format_chunk_as_string(DEFAULT_FORMAT_CHUNK_METADATA_MAP);
  EXPECT_EQ(runtime_error_of([&] { render(*chunk); }), kRepr);
}

TEST(FormatChunkAsStringTest, LinksTitlesAndBareValues) {
  const FormatChunkFunc render = format_chunk_as_string(DEFAULT_FORMAT_CHUNK_METADATA_MAP);
  EXPECT_EQ(DEFAULT_FORMAT_CHUNK_METADATA_MAP,
            (Value{{"title", "file_name"}, {"url", "file_url"}}));
  EXPECT_EQ(render(*doc({{"file_name", "a [b].pdf"}, {"file_url", "http://x/(1)"}})),
            "[a [b].pdf](http://x/(1))");
  EXPECT_EQ(render(*doc({{"file_name", "a.pdf"}})), "a.pdf");
  EXPECT_EQ(render(*doc({{"file_name", "a.pdf"}, {"file_url", ""}})), "a.pdf");
  EXPECT_EQ(render(*doc({{"file_name", 7}, {"file_url", nullptr}})), 7);
  EXPECT_EQ(render(*doc({{"file_url", "u"}})), "[None](u)");
  EXPECT_EQ(render(*doc({{"other", 1}})), nullptr);
  // Only "title" and "url" count; a missing role reads nothing.
  const FormatChunkFunc titles =
      format_chunk_as_string(Value{{"title", "name"}, {"x", "file_url"}});
  EXPECT_EQ(titles(*doc({{"name", "N"}, {"file_url", "u"}})), "N");
  const FormatChunkFunc links = format_chunk_as_string(Value{{"url", "link"}});
  EXPECT_EQ(links(*doc({{"link", "u"}})), "[None](u)");
  EXPECT_EQ(links(*doc({{"file_name", "f"}})), nullptr);
  // A shared map is read at every call.
  auto shared = std::make_shared<Value>(Value{{"title", "a"}});
  const FormatChunkFunc live = format_chunk_as_string(std::shared_ptr<const Value>(shared));
  const ChunkPtr chunk = doc({{"a", "first"}, {"b", "second"}});
  EXPECT_EQ(live(*chunk), "first");
  (*shared)["title"] = "b";
  EXPECT_EQ(live(*chunk), "second");
  EXPECT_THROW(format_chunk_as_string(Value::array()), core::ValueError);
  EXPECT_THROW(format_chunk_as_string(std::shared_ptr<const Value>()), core::ValueError);
}

TEST(BaseReferenceFormatterTest, ValidatesResponseFirstThenChunks) {
  core::LogCapture capture;
  NoOpReferenceFormatter formatter;
  const std::vector<ChunkPtr> chunks{doc({})};
  EXPECT_EQ(value_error(formatter, {.response = " \n\t ", .chunks = chunks}), kResponseError);
  EXPECT_EQ(value_error(formatter, {.chunks = chunks}), kResponseError);
  EXPECT_EQ(value_error(formatter, {}), kResponseError);
  EXPECT_EQ(value_error(formatter, {.response = "r"}), kChunksError);
  EXPECT_EQ(
      value_error(formatter, {.response = "r", .chunks = std::vector<ChunkPtr>{doc({}), nullptr}}),
      kChunksError);
  EXPECT_EQ(value_error(formatter, {.response = "r", .chunks = std::vector<ChunkPtr>{}}),
            "<no error>");
  // Nothing ran for a rejected call: the hooks log only around accepted ones.
  EXPECT_THAT(capture.messages("NoOpReferenceFormatter", zelq::core::LogLevel::debug),
              ElementsAre("[Start 'NoOpReferenceFormatter'] Formatting references using 0 "
                          "candidate chunks.",
                          "[Finished 'NoOpReferenceFormatter'] Successfully formatted "
                          "references:\n''"));
}

TEST(BaseReferenceFormatterTest, EventsCarryTheResultUnderOneIdPerCall) {
  core::LogCapture capture;
  auto emitter = std::make_shared<RecordingEventEmitter>();
  const std::vector<ChunkPtr> chunks{doc({{"file_name", "a"}, {"file_url", "u"}}, "one"),
                                     doc({{"file_name", "b"}}, "two"),
                                     doc({{"file_name", "b"}}, "three")};
  NoOpReferenceFormatter text_formatter;
  const std::string text = "References:\n1. [a](u)\n2. b";
  EXPECT_EQ(
      std::get<std::string>(core::run_sync(text_formatter.format_reference("r", chunks, emitter))),
      text);
  EXPECT_THAT(capture.messages("NoOpReferenceFormatter", zelq::core::LogLevel::debug),
              ElementsAre("[Start 'NoOpReferenceFormatter'] Formatting references using 3 "
                          "candidate chunks.",
                          "[Finished 'NoOpReferenceFormatter'] Successfully formatted "
                          "references:\n'References:\\n1. [a](u)\\n2. b'"));
  NoOpReferenceFormatter list_formatter({.stringify = false});
  EXPECT_EQ(std::get<std::vector<ChunkPtr>>(
                core::run_sync(list_formatter.format_reference("r", chunks, emitter))),
            chunks);
  // Empty results and non-streamable formatters send nothing.
  core::run_sync(text_formatter.format_reference("r", {}, emitter));
  core::run_sync(list_formatter.format_reference("r", {}, emitter));
  NoOpReferenceFormatter quiet({.streamable = false});
  core::run_sync(quiet.format_reference("r", chunks, emitter));
  const std::vector<core::Event> events = emitter->events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].type, "reference");
  EXPECT_EQ(events[0].value, text);
  EXPECT_EQ(events[0].id.size(), 36u);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(events[i].type, "reference");
    EXPECT_EQ(events[i].value, chunks[i - 1]->model_dump());
    EXPECT_EQ(events[i].id, events[1].id);
  }
  EXPECT_NE(events[0].id, events[1].id);
  // A failing emit stops the events after it and fails the call.
  auto failing = std::make_shared<RecordingEventEmitter>();
  failing->fail_at(1);
  EXPECT_THROW(core::run_sync(list_formatter.format_reference("r", chunks, failing)),
               core::RuntimeError);
  ASSERT_EQ(failing->events().size(), 1u);
  EXPECT_EQ(failing->events()[0].value["content"], "one");
}

TEST(BaseReferenceFormatterTest, CustomRenderersAndMapsReplaceTheDefaults) {
  const std::vector<ChunkPtr> chunks{doc({{"file_name", "f"}, {"source", "S"}})};
  NoOpReferenceFormatter mapped({.format_chunk_metadata_map = Value{{"title", "source"}}});
  EXPECT_EQ(std::get<std::string>(core::run_sync(mapped.format_reference("r", chunks))),
            "References:\n1. S");
  NoOpReferenceFormatter empty_map({.format_chunk_metadata_map = Value::object()});
  EXPECT_EQ(std::get<std::string>(core::run_sync(empty_map.format_reference("r", chunks))),
            "References:\n1. f");
  NoOpReferenceFormatter custom(
      {.format_references_func =
           [](const std::vector<Value>& entries) { return std::to_string(entries.size()) + "!"; },
       .format_chunk_func = [](const core::Chunk& chunk) -> Value { return chunk.text(); },
       .format_chunk_metadata_map = Value{{"title", "source"}}});
  EXPECT_EQ(custom._format_as_string(chunks), "1!");
  EXPECT_EQ(custom.format_chunk_func(*chunks[0]), "text");
  EXPECT_THROW(NoOpReferenceFormatter({.format_chunk_metadata_map = Value::array({1})}),
               core::ValueError);
}

// CPython prints and compares values up to its recursion limit of 1000 and
// raises RecursionError beyond, with the message of what it was doing.
TEST(BaseReferenceFormatterTest, TitlesAsDeepAsPythonPrintsAreFormatted) {
  const auto nested_title = [](int levels) {
    Value title = "t";
    for (int i = 0; i < levels; ++i) title = Value::array({std::move(title)});
    return title;
  };
  NoOpReferenceFormatter formatter;
  for (const int levels : {600, 1000}) {
    const std::vector<ChunkPtr> chunks{doc({{"file_name", nested_title(levels)}}),
                                       doc({{"file_name", nested_title(levels)}})};
    EXPECT_EQ(std::get<std::string>(core::run_sync(formatter.format_reference("r", chunks))),
              "References:\n1. " + std::string(levels, '[') + "'t'" + std::string(levels, ']'));
  }
  const auto error_of = [&](std::vector<ChunkPtr> chunks) -> std::string {
    try {
      core::run_sync(formatter.format_reference("r", std::move(chunks)));
    } catch (const core::RuntimeError& error) {
      return error.what();
    }
    return "<no error>";
  };
  // The first entry is printed before the next is compared with it.
  for (const std::size_t count : {1, 2}) {
    EXPECT_EQ(error_of(std::vector<ChunkPtr>(count, doc({{"file_name", nested_title(1001)}}))),
              "maximum recursion depth exceeded while getting the repr of an object");
  }
}

TEST(ChunkReprTest, PrintsLikeTheRecord) {
  core::Chunk chunk{.id = "i", .content = core::Bytes{'x'}, .metadata = {{"a", 1}}, .score = 0.5};
  EXPECT_EQ(chunk_repr(chunk), "Chunk(id='i', content=b'x', metadata={'a': 1}, score=0.5)");
  chunk.content = std::string("it's");
  chunk.score.reset();
  EXPECT_EQ(chunk_repr(chunk), "Chunk(id='i', content=\"it's\", metadata={'a': 1}, score=None)");
}

}  // namespace
}  // namespace zelq::generation::reference_formatter
