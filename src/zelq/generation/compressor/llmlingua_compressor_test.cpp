#include "zelq/generation/compressor/llmlingua_compressor.hpp"

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/compressor.hpp"

namespace zelq::generation::compressor {
namespace {

using core::Value;

// Records every build and call; answers with a scripted result.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> builds;
  std::vector<Value> calls;
  std::vector<std::thread::id> threads;
  std::optional<std::string> answer = "compressed";
};

class RecordingBackend : public PromptCompressorBackend {
 public:
  explicit RecordingBackend(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}
  std::optional<std::string> compress_prompt(const Value& kwargs) override {
    std::lock_guard lock(recorder_->mutex);
    recorder_->calls.push_back(kwargs);
    recorder_->threads.push_back(std::this_thread::get_id());
    return recorder_->answer;
  }

 private:
  std::shared_ptr<Recorder> recorder_;
};

LLMLinguaCompressorOptions recorded(std::shared_ptr<Recorder> recorder,
                                    LLMLinguaCompressorOptions options = {}) {
  options.prompt_compressor_factory = [recorder](const std::string& model,
                                                 const std::string& device) {
    recorder->builds.push_back(model + " on " + device);
    return std::make_shared<RecordingBackend>(recorder);
  };
  return options;
}

std::string compress(const LLMLinguaCompressor& compressor, CompressOptions options = {}) {
  return core::run_sync(compressor.compress("Para one.\n\nPara two.", "Why?", std::move(options)));
}

TEST(LLMLinguaCompressorTest, PassesStoredSettingsUnlessTheCallNamesTheKey) {
  auto recorder = std::make_shared<Recorder>();
  const LLMLinguaCompressor compressor(recorded(recorder));
  EXPECT_EQ(recorder->builds, std::vector<std::string>{"NousResearch/Llama-2-7b-hf on cuda"});
  EXPECT_EQ(compress(compressor), "compressed");
  EXPECT_EQ(compress(compressor, {.instruction = "", .options = Value::object()}), "compressed");
  const Value defaults = {{"context", {"Para one.\n\nPara two."}},
                          {"question", "Why?"},
                          {"instruction", ""},
                          {"rate", 0.5},
                          {"target_token", -1},
                          {"use_sentence_level_filter", false},
                          {"use_context_level_filter", true},
                          {"use_token_level_filter", true},
                          {"rank_method", "longllmlingua"}};
  ASSERT_EQ(recorder->calls.size(), 2u);
  EXPECT_EQ(recorder->calls[0].dump(), defaults.dump()) << "keys, values and their order";
  EXPECT_EQ(recorder->calls[1].dump(), defaults.dump());
  EXPECT_NE(recorder->threads[0], std::this_thread::get_id())
      << "the compression runs off the event loop's thread";

  recorder->calls.clear();
  compress(compressor, {.instruction = "Keep names.",
                        .options = {{"rate", 0.3}, {"rank_method", nullptr}, {"other", 1}}});
  Value expected = defaults;
  expected["instruction"] = "Keep names.";
  expected["rate"] = 0.3;
  expected["rank_method"] = nullptr;
  EXPECT_EQ(recorder->calls.at(0).dump(), expected.dump());
  EXPECT_EQ(compressor.rate, 0.5) << "a call never changes the stored settings";
  EXPECT_EQ(compressor.rank_method, "longllmlingua");
  EXPECT_EQ(recorder->builds.size(), 1u) << "the model is built once";

  try {
    compress(compressor, {.options = Value::array({1})});
    ADD_FAILURE();
  } catch (const core::TypeError& error) {
    EXPECT_STREQ(error.what(), "'options' must be a mapping of compression settings, not list");
  }
}

TEST(LLMLinguaCompressorTest, AMissingResultFailsAndAnEmptyOneIsReturned) {
  auto recorder = std::make_shared<Recorder>();
  const LLMLinguaCompressor compressor(recorded(recorder));
  recorder->answer = "";
  EXPECT_EQ(compress(compressor), "");
  recorder->answer = std::nullopt;
  try {
    compress(compressor);
    ADD_FAILURE();
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "Failed to compress the context");
  }

  LLMLinguaCompressorOptions null_factory;
  null_factory.prompt_compressor_factory = [](const std::string&, const std::string&) {
    return std::shared_ptr<PromptCompressorBackend>();
  };
  EXPECT_THROW(LLMLinguaCompressor{null_factory}, core::ValueError);
}

TEST(LLMLinguaCompressorTest, WarnsOncePerConstructionWithAnotherRankMethod) {
  auto recorder = std::make_shared<Recorder>();
  core::LogCapture capture;
  LLMLinguaCompressor recommended(recorded(recorder));
  EXPECT_TRUE(capture.messages("warnings", zelq::core::LogLevel::warn).empty());
  LLMLinguaCompressor other(recorded(recorder, {.rank_method = "llmlingua"}));
  LLMLinguaCompressor none(recorded(recorder, {.rank_method = std::nullopt}));
  EXPECT_EQ(capture.messages("warnings", zelq::core::LogLevel::warn),
            (std::vector<std::string>{
                "Using 'llmlingua' instead of the recommended 'longllmlingua' method. This may "
                "affect performance for longer contexts.",
                "Using 'None' instead of the recommended 'longllmlingua' method. This may affect "
                "performance for longer contexts."}));
  capture.clear();
  compress(other);
  EXPECT_TRUE(capture.messages("warnings", zelq::core::LogLevel::warn).empty());
  EXPECT_EQ(recorder->calls.back()["rank_method"], "llmlingua");
  compress(none);
  EXPECT_TRUE(recorder->calls.back()["rank_method"].is_null());
}

// A backend whose compression waits until the test lets it go; it reports
// when a compression starts and when the backend is destroyed.
struct Gate {
  std::promise<void> started;
  std::promise<void> let_go;
  std::promise<void> backend_gone;
};

class GatedBackend : public PromptCompressorBackend {
 public:
  explicit GatedBackend(std::shared_ptr<Gate> gate)
      : gate_(std::move(gate)), let_go_(gate_->let_go.get_future()) {}
  ~GatedBackend() override { gate_->backend_gone.set_value(); }
  std::optional<std::string> compress_prompt(const Value&) override {
    gate_->started.set_value();
    let_go_.wait();
    return "late";
  }

 private:
  std::shared_ptr<Gate> gate_;
  std::future<void> let_go_;
};

TEST(LLMLinguaCompressorTest, CancellationLeavesAStartedCompressionToFinishOnThePool) {
  using namespace std::chrono_literals;
  namespace asio = boost::asio;
  auto gate = std::make_shared<Gate>();
  std::future<void> started = gate->started.get_future();
  std::future<void> gone = gate->backend_gone.get_future();
  LLMLinguaCompressorOptions options;
  options.prompt_compressor_factory = [gate](const std::string&, const std::string&) {
    return std::make_shared<GatedBackend>(gate);
  };
  auto compressor = std::make_unique<LLMLinguaCompressor>(options);

  asio::io_context io;
  asio::cancellation_signal signal;
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(
      io, compressor->compress("Para one.", "Why?"),
      asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr error, std::string) {
        failure = error;
        done = true;
      }));
  io.poll();
  if (started.wait_for(60s) != std::future_status::ready) {
    gate->let_go.set_value();
    FAIL() << "the compression did not start";
  }
  // The call ends at once while the compression still runs.
  asio::post(io, [&signal] { signal.emit(asio::cancellation_type::terminal); });
  io.run();
  EXPECT_TRUE(done);
  EXPECT_TRUE(core::is_cancellation(failure));

  // The compression holds the backend after the instance is gone, then
  // finishes and lets it go; its result is dropped.
  compressor.reset();
  EXPECT_EQ(gone.wait_for(0s), std::future_status::timeout);
  gate->let_go.set_value();
  EXPECT_EQ(gone.wait_for(60s), std::future_status::ready);
}

}  // namespace
}  // namespace zelq::generation::compressor
