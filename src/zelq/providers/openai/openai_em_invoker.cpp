#include "zelq/providers/openai/openai_em_invoker.hpp"

#include <algorithm>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;
using inference::Embedding;

namespace {

constexpr std::string_view kPath = "embeddings";

std::optional<long long> read_positive(const Value& config, std::string_view key) {
  if (!config.is_object()) return std::nullopt;
  auto it = config.find(key);
  if (it == config.end() || it->is_null()) return std::nullopt;
  if (!it->is_number_integer() || it->get<long long>() < 1) {
    throw core::ValueError("Invalid OpenAI setting " + core::py_repr(key) +
                           ": expected a positive integer, got " + core::py_repr(*it) + ".");
  }
  return it->get<long long>();
}

Embedding read_vector(const Value& item, const std::string& source) {
  auto vector = item.find("embedding");
  if (vector == item.end() || !vector->is_array() ||
      !std::all_of(vector->begin(), vector->end(), [](const Value& x) { return x.is_number(); })) {
    throw core::RuntimeError(source + " holds an item without a list of numbers as 'embedding'.");
  }
  Embedding out;
  out.reserve(vector->size());
  for (const Value& x : *vector) out.push_back(x.get<double>());
  return out;
}

// The vectors of one answer in the order of their "index" (0 .. count-1).
std::vector<Embedding> read_vectors(const Value& answer, std::size_t count,
                                    const std::string& source) {
  auto data = answer.find("data");
  if (data == answer.end() || !data->is_array() || data->size() != count) {
    throw core::RuntimeError(source + " does not hold one item per input in 'data' (expected " +
                             std::to_string(count) + ").");
  }
  std::vector<std::optional<Embedding>> slots(count);
  for (const Value& item : *data) {
    auto index = item.is_object() ? item.find("index") : item.end();
    if (!item.is_object() || index == item.end() || !index->is_number_unsigned() ||
        index->get<std::size_t>() >= count || slots[index->get<std::size_t>()]) {
      throw core::RuntimeError(source +
                               " holds an item with a missing, repeated or out-of-range "
                               "'index'.");
    }
    slots[index->get<std::size_t>()] = read_vector(item, source);
  }
  std::vector<Embedding> out;
  out.reserve(count);
  for (auto& slot : slots) out.push_back(std::move(*slot));
  return out;
}

asio::awaitable<std::vector<Embedding>> embed_batch(std::shared_ptr<const OpenAIClient> client,
                                                    Value body) {
  const std::size_t count = body["input"].size();
  const Value answer = co_await client->post_json(std::string(kPath), std::move(body));
  const std::string source = "The answer of " + client->endpoint(kPath);
  if (auto error = answer.find("error"); error != answer.end() && !error->is_null()) {
    throw core::RuntimeError(source + " reports an error: " + client->server_message(answer));
  }
  co_return read_vectors(answer, count, source);
}

}  // namespace

OpenAIEMInvoker::OpenAIEMInvoker(const inference::ModelIdArg& model_id, const Value& credentials,
                                 const Value& config)
    : model_name_(openai_model_name(model_id)),
      dimensions_(read_positive(config, "dimensions")),
      batch_size_(
          static_cast<std::size_t>(read_positive(config, "batch_size")
                                       .value_or(static_cast<long long>(DEFAULT_BATCH_SIZE)))),
      client_(make_openai_client(credentials, config, {"dimensions", "batch_size"})) {}

asio::awaitable<std::vector<Embedding>> OpenAIEMInvoker::_invoke(
    std::vector<inference::EMContent> contents) {
  std::vector<asio::awaitable<std::vector<Embedding>>> batches;
  for (std::size_t start = 0; start < contents.size(); start += batch_size_) {
    Value body = {{"model", model_name_}, {"input", Value::array()}};
    for (std::size_t i = start; i < std::min(contents.size(), start + batch_size_); ++i) {
      const auto* text = std::get_if<std::string>(&contents[i]);
      if (text == nullptr) {
        throw core::ValueError("The OpenAI embedding invoker embeds texts only; content " +
                               std::to_string(i) + " is bytes.");
      }
      body["input"].push_back(*text);
    }
    if (dimensions_) body["dimensions"] = *dimensions_;
    batches.push_back(embed_batch(client_, std::move(body)));
  }
  std::vector<Embedding> out;
  out.reserve(contents.size());
  // A named local rather than a range over the awaited temporary (g++ 12).
  std::vector<std::vector<Embedding>> results = co_await core::parallel_gather(std::move(batches));
  for (auto& batch : results) {
    for (auto& vector : batch) out.push_back(std::move(vector));
  }
  co_return out;
}

}  // namespace zelq::providers::openai
