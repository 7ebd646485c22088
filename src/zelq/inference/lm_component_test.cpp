#include "zelq/inference/lm_component.hpp"

#include <chrono>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::inference {
namespace {

using core::Value;
using ::testing::ElementsAre;
using testing::RecordingEventEmitter;
using testing::ScriptedLMInvoker;

// A component with one default slot and default templates.
class Answerer : public LMComponent {
 public:
  explicit Answerer(LMInvokerPtr lm, std::vector<LMInvokerPtr> fallbacks = {}) {
    _init_lm_component(std::move(lm), std::move(fallbacks));
  }
  std::set<std::string, std::less<>> prompt_vars() const override { return {"context", "query"}; }
  std::optional<std::string> default_system_template() const override { return "Use {context}."; }
  std::optional<std::string> default_user_template() const override { return "{query}"; }
};

// A component with two named slots and no system template.
class MapReducer : public LMComponent {
 public:
  MapReducer(LMInvokerSlots lms, LMFallbackSlots fallbacks, LMPromptSlots prompts = {},
             LMSchemaSlots schemas = {}) {
    _init_lm_component(std::move(lms), std::move(fallbacks), std::move(prompts),
                       std::move(schemas));
  }
  LMSlots lm_slots() const override {
    return {
        {"map", {.prompt_vars = {"context", "query"}, .default_user_template = "{context}"}},
        {"reduce", {.prompt_vars = {"context", "query"}, .default_user_template = "{context}"}}};
  }
};

// A component without default templates: it must be given a prompt.
class Bare : public LMComponent {
 public:
  explicit Bare(LMInvokerPtr lm, std::optional<PromptBuilder> prompt = std::nullopt,
                std::optional<Value> schema = std::nullopt) {
    _init_lm_component(std::move(lm), {}, std::move(prompt), std::move(schema));
  }
};

std::shared_ptr<ScriptedLMInvoker> scripted() { return std::make_shared<ScriptedLMInvoker>(); }

// Spawned instead of _invoke_lm itself: co_spawn's own result path trips a
// false -Wmaybe-uninitialized of GCC 12 for LMOutput.
boost::asio::awaitable<void> invoke_into(const LMComponent& component, InvokeLMOptions options,
                                         std::optional<LMOutput>& output) {
  output = co_await component._invoke_lm(std::move(options));
}

TEST(LMComponentTest, FillsThePromptAndPassesTheRequestThrough) {
  auto lm = scripted();
  lm->push_text("fine");
  Answerer answerer(lm);
  EXPECT_EQ(answerer._prompt_builder().system_template(), "Use {context}.");
  auto output = core::run_sync(
      answerer._invoke_lm({.query = "how?",
                           .history = std::vector<Message>{Message::assistant("earlier")},
                           .extra_contents = std::vector<MessageContent>{"extra"},
                           .hyperparameters = Value{{"temperature", 0}},
                           .variables = Value{{"context", "ctx"}}}));
  EXPECT_EQ(output.text(), "fine");
  auto request = lm->requests().at(0);
  ASSERT_EQ(request.messages.size(), 3u);
  EXPECT_EQ(request.messages[0], Message::system("Use ctx."));
  EXPECT_EQ(request.messages[1], Message::assistant("earlier"));
  EXPECT_EQ(request.messages[2], Message::user(std::vector<MessageContent>{"how?", "extra"}));
  EXPECT_EQ(request.hyperparameters, (Value{{"temperature", 0}}));
  EXPECT_EQ(request.prompt_variables.dump(), R"({"query":"how?","context":"ctx"})");
  EXPECT_FALSE(request.streamed);
  EXPECT_EQ(answerer.lm_invoker(), lm);
  EXPECT_TRUE(answerer.fallback_lms().empty());
}

TEST(LMComponentTest, FallbacksAreTriedInOrderOnlyAfterAFailure) {
  auto main = scripted(), first = scripted(), second = scripted(), third = scripted();
  Answerer answerer(main, {first, second, third});
  auto call = [&] {
    return core::run_sync(answerer._invoke_lm({.query = "q", .variables = {{"context", "c"}}}));
  };
  main->push_text("from main");
  EXPECT_EQ(call().text(), "from main");
  EXPECT_EQ(first->call_count(), 0u);

  core::LogCapture capture;
  main->push_exception(core::RuntimeError("main down"));
  first->push_exception(core::ValueError("first down"));
  second->push_text("from second");
  EXPECT_EQ(call().text(), "from second");
  EXPECT_EQ(main->call_count(), 2u);
  EXPECT_EQ(first->call_count(), 1u);
  EXPECT_EQ(second->call_count(), 1u);
  EXPECT_EQ(third->call_count(), 0u);
  // The fallback got the very request the main invoker got.
  EXPECT_EQ(second->requests()[0].messages, main->requests()[1].messages);
  EXPECT_THAT(capture.messages("LMComponent", core::LogLevel::warn),
              ElementsAre("LM invoker 1 of 4 for slot 'default' failed: main down. Trying the "
                          "next one.",
                          "LM invoker 2 of 4 for slot 'default' failed: first down. Trying the "
                          "next one."));
}

TEST(LMComponentTest, CallLimitCapsTheModelCallsOfOneInvocation) {
  for (int max_calls = 1; max_calls <= 5; ++max_calls) {
    std::vector<std::shared_ptr<ScriptedLMInvoker>> lms;
    for (int i = 0; i < 4; ++i) {
      lms.push_back(scripted());
      lms.back()->fail_at(0, std::make_exception_ptr(
                                 core::RuntimeError("invoker " + std::to_string(i) + " failed")));
    }
    Answerer answerer(lms[0], {lms[1], lms[2], lms[3]});
    try {
      core::run_sync(answerer._invoke_lm(
          {.query = "q", .max_calls = max_calls, .variables = {{"context", "c"}}}));
      FAIL() << "expected the last failure";
    } catch (const core::RuntimeError& error) {
      const int calls = std::min(max_calls, 4);
      EXPECT_EQ(std::string(error.what()), "invoker " + std::to_string(calls - 1) + " failed");
      for (int i = 0; i < 4; ++i) EXPECT_EQ(lms[i]->call_count(), i < calls ? 1u : 0u);
    }
  }
  Answerer answerer(scripted());
  EXPECT_THROW(core::run_sync(answerer._invoke_lm({.query = "q", .max_calls = 0})),
               core::ValueError);
}

TEST(LMComponentTest, StreamsOneResponseBlockOnlyWhenAnEmitterIsGiven) {
  auto lm = scripted();
  lm->push_text("Hello big world").push_text("quiet");
  Answerer answerer(lm);
  auto emitter = std::make_shared<RecordingEventEmitter>();
  auto output = core::run_sync(answerer._invoke_lm(
      {.query = "q", .event_emitter = emitter, .variables = {{"context", "c"}}}));
  EXPECT_EQ(output.text(), "Hello big world");
  auto events = emitter->events();
  EXPECT_THAT(emitter->types(),
              ElementsAre("response_start", "response", "response", "response", "response_end"));
  const std::string id = events.at(0).id;
  EXPECT_EQ(id.size(), 36u);
  std::string streamed;
  for (const auto& event : events) {
    EXPECT_EQ(event.id, id);
    if (event.type == "response") streamed += event.value.get<std::string>();
  }
  EXPECT_EQ(streamed, "Hello big world");

  emitter->clear();
  EXPECT_EQ(
      core::run_sync(answerer._invoke_lm({.query = "q", .variables = {{"context", "c"}}})).text(),
      "quiet");
  EXPECT_TRUE(emitter->events().empty());
  EXPECT_FALSE(lm->requests().at(1).streamed);
}

TEST(LMComponentTest, SlotsAndBadInput) {
  auto map = scripted(), reduce = scripted(), spare = scripted();
  MapReducer component({{"map", map}, {"reduce", reduce}}, {{"map", {spare}}});
  EXPECT_EQ(component.lm_invoker(), nullptr);
  EXPECT_EQ(component._lm_invokers_slot().slots(), (std::vector<std::string>{"map", "reduce"}));
  EXPECT_EQ(component._prompt_builder("reduce").user_template(), "{context}");
  reduce->push_text("reduced");
  EXPECT_EQ(
      core::run_sync(component._invoke_lm({.slot = "reduce", .variables = {{"context", "x"}}}))
          .text(),
      "reduced");
  EXPECT_EQ(reduce->requests()[0].messages, std::vector<Message>{Message::user("x")});

  auto message = [](auto&& make) -> std::string {
    try {
      make();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { core::run_sync(component._invoke_lm({.slot = "summary"})); }),
            "Unknown LM slot 'summary'; known slots: 'map', 'reduce'.");
  EXPECT_EQ(message([&] { component._prompt_builder("summary"); }),
            "Unknown LM slot 'summary'; known slots: 'map', 'reduce'.");
  EXPECT_EQ(message([&] { component._response_schema("summary"); }),
            "Unknown LM slot 'summary'; known slots: 'map', 'reduce'.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}}, {});
            }),
            "No LM invoker given for slot 'reduce'.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}, {"reduce", nullptr}}, {});
            }),
            "The LM invoker of slot 'reduce' is null.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}, {"reduce", reduce}, {"extra", spare}}, {});
            }),
            "LM invoker given for undeclared slot 'extra'; declared slots: 'map', 'reduce'.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}, {"reduce", reduce}}, {{"other", {}}});
            }),
            "Fallback LM invokers given for slot 'other', which has no LM invoker.");
  EXPECT_EQ(message([&] { Answerer(map, {nullptr}); }),
            "Fallback LM invoker 0 of slot 'default' is null.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}, {"map", reduce}}, {});
            }),
            "LM slot 'map' is given twice.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}, {"reduce", reduce}}, {}, {{"sum", PromptBuilder()}});
            }),
            "A prompt builder given for slot 'sum', which has no LM invoker.");
  EXPECT_EQ(message([&] {
              MapReducer({{"map", map}, {"reduce", reduce}}, {}, {}, {{"map", "Verdict"}});
            }),
            "The response schema of slot 'map' must be a JSON Schema object, got 'Verdict'.");
  auto bare = scripted();
  const std::string no_prompt =
      "No prompt given for LM slot 'default', and the component declares no default templates "
      "for it: give the component a prompt builder for this slot.";
  EXPECT_EQ(message([&] { Bare{bare}; }), no_prompt);
  EXPECT_EQ(message([&] { Bare(bare, PromptBuilder()); }), no_prompt);
  Bare ok(bare, PromptBuilder("", "{query}"));
  EXPECT_EQ(message([&] { core::run_sync(ok._invoke_lm({})); }), "'query'");
  EXPECT_EQ(bare->call_count(), 0u);
  // An empty prompt gives way to the slot's defaults and keeps its key defaults.
  MapReducer defaulted({{"map", map}, {"reduce", reduce}}, {},
                       {{"map", PromptBuilder("", "", Value{{"context", "none"}})}});
  EXPECT_EQ(defaulted._prompt_builder("map").user_template(), "{context}");
  EXPECT_EQ(defaulted._prompt_builder("map").key_defaults(), (Value{{"context", "none"}}));
}

TEST(LMComponentTest, CancellationIsNotAnsweredWithAFallback) {
  auto main = scripted(), fallback = scripted();
  main->hold_calls();
  fallback->push_text("should not be used");
  Answerer answerer(main, {fallback});
  boost::asio::io_context context;
  boost::asio::cancellation_signal signal;
  std::exception_ptr failure;
  std::optional<LMOutput> output;
  bool done = false;
  boost::asio::co_spawn(
      context, invoke_into(answerer, {.query = "q", .variables = {{"context", "c"}}}, output),
      boost::asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
        failure = e;
        done = true;
      }));
  context.poll();
  EXPECT_EQ(main->in_flight(), 1u);
  signal.emit(boost::asio::cancellation_type::terminal);
  context.poll();
  ASSERT_TRUE(done);
  EXPECT_FALSE(output);
  EXPECT_THROW(std::rethrow_exception(failure), boost::system::system_error);
  EXPECT_EQ(fallback->call_count(), 0u);
  EXPECT_EQ(main->in_flight(), 0u);
}

TEST(LMComponentTest, FromConfigAndStructuredOutput) {
  const Value schema = {{"title", "Verdict"}, {"type", "object"}};
  auto answerer = LMComponent::from_config<Answerer>(
      testing::scripted_builder(),
      {.model_id = "scripted/judge", .config = {{"response_schema", schema}, {"seed", 7}}});
  auto lm = std::dynamic_pointer_cast<ScriptedLMInvoker>(answerer->lm_invoker());
  ASSERT_NE(lm, nullptr);
  EXPECT_EQ(lm->model_name(), "judge");
  EXPECT_EQ(lm->config().at("seed"), 7);
  EXPECT_EQ(lm->response_schema(), schema);
  EXPECT_EQ(answerer->_response_schema(), schema);
  EXPECT_EQ(answerer->_prompt_builder().system_template(), "Use {context}.");

  lm->push_structured(Value{{"ok", true}});
  auto output =
      core::run_sync(answerer->_invoke_lm({.query = "q", .variables = {{"context", "c"}}}));
  EXPECT_EQ(lm->requests()[0].response_schema, schema);
  EXPECT_EQ(LMComponent::_parse_structured_output(output, kMaxStructuredOutputMemory),
            (Value{{"ok", true}}));
  LMOutput text_only;
  text_only.add_text(R"({"ok": false})");
  EXPECT_EQ(LMComponent::_parse_structured_output(text_only, kMaxStructuredOutputMemory),
            (Value{{"ok", false}}));
  EXPECT_TRUE(
      LMComponent::_parse_structured_output(LMOutput{}, kMaxStructuredOutputMemory).is_null());

  auto custom = LMComponent::from_config<Answerer>(
      testing::scripted_builder(), {.model_id = ModelId{.provider = "scripted", .name = "m"},
                                    .system_template = "Own {context}"});
  EXPECT_THROW(LMComponent::from_config<Answerer>({}, {.model_id = "scripted/m"}),
               core::ValueError);
  EXPECT_EQ(custom->_prompt_builder().system_template(), "Own {context}");
  EXPECT_EQ(custom->_prompt_builder().user_template(), "{query}");
  EXPECT_EQ(custom->_response_schema(), std::nullopt);
  // A bad schema fails before any invoker is built.
  int built = 0;
  EXPECT_THROW(LMComponent::from_config<Answerer>(
                   testing::scripted_builder([&](ScriptedLMInvoker&) { ++built; }),
                   {.model_id = "scripted/m", .config = {{"response_schema", "Verdict"}}}),
               core::ValueError);
  EXPECT_EQ(built, 0);
}

TEST(LMComponentTest, ComponentsSharingAnInvokerEachSendTheirOwnPrompt) {
  auto lm = scripted();
  lm->set_responder([](const ScriptedLMInvoker::Request& request) {
    std::string text;
    for (const auto& message : request.messages) text += (text.empty() ? "" : "|") + message.text();
    LMOutput output;
    output.add_text(text);
    return output;
  });
  // All five calls are in flight at once; the first one finishes last.
  lm->hold_calls();
  const Value schema = {{"type", "object"}};
  Bare one(lm, PromptBuilder("", "One: {query}"));
  Bare two(lm, PromptBuilder("Two.", "{query}"), schema);
  MapReducer both({{"map", lm}, {"reduce", lm}}, {},
                  {{"reduce", PromptBuilder("", "Reduce {context}")}});
  Answerer defaulted(lm);
  EXPECT_EQ(lm->response_schema(), std::nullopt);

  std::vector<boost::asio::awaitable<LMOutput>> calls;
  calls.push_back(one._invoke_lm({.query = "a"}));
  calls.push_back(two._invoke_lm({.query = "b"}));
  calls.push_back(both._invoke_lm({.slot = "map", .variables = {{"context", "m"}}}));
  calls.push_back(both._invoke_lm({.slot = "reduce", .variables = {{"context", "r"}}}));
  calls.push_back(defaulted._invoke_lm({.query = "q", .variables = {{"context", "c"}}}));
  boost::asio::io_context io;
  std::vector<std::string> texts;
  boost::asio::co_spawn(
      io,
      [&]() -> boost::asio::awaitable<void> {
        for (const auto& output : co_await core::parallel_gather(std::move(calls))) {
          texts.push_back(output.text());
        }
      },
      [](std::exception_ptr error) { ASSERT_FALSE(error); });
  io.poll();
  ASSERT_EQ(lm->in_flight(), 5u);
  for (std::size_t call : {1u, 2u, 3u, 4u, 0u}) {
    lm->release(call);
    io.poll();
  }
  io.run();
  EXPECT_THAT(texts, ElementsAre("One: a", "Two.|b", "m", "Reduce r", "Use c.|q"));
  EXPECT_EQ(lm->peak_concurrency(), 5u);
  EXPECT_EQ(lm->completion_order().back(), 0u);
  const auto requests = lm->requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].messages, std::vector<Message>{Message::user("One: a")});
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].response_schema, i == 1 ? std::optional<Value>(schema) : std::nullopt);
  }
}

}  // namespace
}  // namespace zelq::inference
