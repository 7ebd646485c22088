// Language-model access for components: named slots of invokers with
// fallbacks, each with the component's own prompt builder and response
// schema; prompt filling, invocation and structured-output parsing.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/slot_map.hpp"

namespace zelq::inference {

// The name of the slot a component has when it declares no named slots.
inline constexpr std::string_view DEFAULT_SLOT = "default";

// What a component declares about one slot: the prompt variables its calls
// supply, and the templates of its prompt when none is given for the slot.
struct LMComponentSlot {
  std::set<std::string, std::less<>> prompt_vars{};
  std::optional<std::string> default_system_template{};
  std::optional<std::string> default_user_template{};
};

using LMSlots = std::vector<std::pair<std::string, LMComponentSlot>>;
using LMInvokerSlots = SlotMap<LMInvokerPtr>;
using LMFallbackSlots = SlotMap<std::vector<LMInvokerPtr>>;
using LMPromptSlots = SlotMap<PromptBuilder>;
using LMSchemaSlots = SlotMap<core::Value>;

// Options of LMComponent::_invoke_lm. Inside a coroutine, keep them in a
// named local (see "g++ 12 and co_await" in README.md).
struct InvokeLMOptions {
  std::string slot = std::string(DEFAULT_SLOT);
  // The query; when set it is the prompt variable "query".
  std::optional<std::string> query{};
  std::optional<std::vector<Message>> history{};
  std::optional<std::vector<MessageContent>> extra_contents{};
  // An object or null.
  core::Value hyperparameters = nullptr;
  // Receives the streamed answer; null sends nothing.
  std::shared_ptr<core::EventEmitter> event_emitter{};
  // The most model calls of this invocation, fallbacks included; nullopt
  // lets every invoker of the slot's cascade be called once.
  std::optional<int> max_calls{};
  // The other prompt variables, an object.
  core::Value variables = core::Value::object();
};

// Options of LMComponent::from_config.
struct FromConfigOptions {
  ModelIdArg model_id{};
  core::Value credentials = nullptr;
  // Invoker configuration; its "response_schema" (a JSON Schema object)
  // becomes the schema of the default slot, sent with every call, and the
  // invoker's own.
  core::Value config = nullptr;
  // Templates that replace the class's defaults; nullopt keeps a default.
  std::optional<std::string> system_template{};
  std::optional<std::string> user_template{};
};

// Mixin that gives a component language-model access. The class-level
// description comes from the virtual accessors below, which a derived class
// overrides; the derived constructor then calls _init_lm_component from its
// body (where the accessors already dispatch to the derived class).
//
// Each slot's prompt builder and response schema belong to the component and
// go with every call; the invokers are only read, so one invoker may serve
// several components and calls at once, each with its own prompt.
//
// The members whose names start with an underscore are public so that a
// sibling base of the derived class (a strategy base that mixes this class
// in) can reach them; they are not meant for applications.
class LMComponent {
 public:
  virtual ~LMComponent() = default;

  // Class-level description: the prompt variables and default templates of
  // the single default slot, or named slots that replace it.
  virtual std::set<std::string, std::less<>> prompt_vars() const { return {}; }
  virtual std::optional<std::string> default_system_template() const { return std::nullopt; }
  virtual std::optional<std::string> default_user_template() const { return std::nullopt; }
  virtual LMSlots lm_slots() const { return {}; }
  // lm_slots() when non-empty; otherwise the one slot DEFAULT_SLOT built
  // from prompt_vars() and the two default templates.
  LMSlots declared_slots() const;

  // The invoker of DEFAULT_SLOT, or null when the component has no such slot.
  LMInvokerPtr lm_invoker() const;
  // The fallbacks of DEFAULT_SLOT (empty when none).
  std::vector<LMInvokerPtr> fallback_lms() const;
  // Invoker per slot, in the order given at initialisation.
  const LMInvokerSlots& _lm_invokers_slot() const noexcept { return lm_invokers_slot_; }
  // Fallback invokers per slot, as given (a slot may be missing: no
  // fallbacks).
  const LMFallbackSlots& _fallback_lms_slot() const noexcept { return fallback_lms_slot_; }
  // The prompt builder of `slot` (its prompt variables and key defaults).
  // Throws KeyError naming the slot and the known slots for an unknown one.
  // The reference lives as long as the component.
  const PromptBuilder& _prompt_builder(std::string_view slot = DEFAULT_SLOT) const;
  // The response schema sent with every call of `slot`; nullopt when the
  // slot has none (each invoker then uses its own). Throws KeyError for an
  // unknown slot.
  std::optional<core::Value> _response_schema(std::string_view slot = DEFAULT_SLOT) const;

  // One invocation of slot `options.slot`: fills the slot's prompt builder
  // with the query and variables, adds history and extra contents, then calls
  // the slot's invoker and, only after a failure, each fallback in order, all
  // with the same messages, response schema, hyperparameters and emitter.
  // Returns the first successful output. At most max_calls calls are made;
  // when they are used up or the cascade is exhausted, the last failure
  // propagates.
  // Throws, before any call: KeyError for an unknown slot (naming it and the
  // known slots) or a prompt variable without value; TypeError when
  // variables is not an object or repeats "query"; ValueError when
  // hyperparameters is neither null nor an object or max_calls is below 1.
  // Cancellation propagates at once and is never answered with a fallback.
  // The component must outlive the returned awaitable.
  boost::asio::awaitable<LMOutput> _invoke_lm(InvokeLMOptions options) const;

  // The structured answer as an object, or a null Value when there is none,
  // read within the component's budget `max_memory` (see
  // parse_structured_output, kMaxStructuredOutputMemory).
  static core::Value _parse_structured_output(const LMOutput& output, std::size_t max_memory);

  // Builds a Derived for `options.model_id`: an invoker from
  // `build(model_id, credentials, config)` (providers::build_lm_invoker, or
  // use providers::from_config, which passes it), handed to
  // `Derived(invoker, args...)`, whose constructor calls _init_lm_component
  // and so gives the default slot the class's default templates; then
  // options.system_template and user_template, when set, replace them in the
  // component's prompt builder, and the config's "response_schema" becomes
  // the slot's schema. The invoker is not changed. Throws ValueError when
  // the config's response_schema is neither null nor an object (before
  // anything is built), when `build` is empty or returns no invoker, and
  // what `build`, the constructor or the templates throw. `build` is only
  // used during the call.
  template <class Derived, class... Args>
  static std::unique_ptr<Derived> from_config(const LMInvokerBuilder& build,
                                              FromConfigOptions options, Args&&... args) {
    std::optional<core::Value> schema = config_response_schema(options.config);
    LMInvokerPtr invoker = build_with(build, options.model_id, std::move(options.credentials),
                                      std::move(options.config));
    auto component = std::make_unique<Derived>(invoker, std::forward<Args>(args)...);
    static_cast<LMComponent&>(*component)
        ._apply_config(options.system_template, options.user_template, std::move(schema));
    return component;
  }

 protected:
  LMComponent() = default;
  LMComponent(const LMComponent&) = default;
  LMComponent& operator=(const LMComponent&) = default;

  // Sets up the slots: one invoker, its fallbacks, prompt builder and
  // response schema for DEFAULT_SLOT, or invokers, fallbacks, prompt
  // builders and schemas keyed by slot name (every map but the invokers may
  // lack a slot). A slot without a prompt builder, or with one whose two
  // templates are empty, gets a builder of its default templates (keeping
  // the given key defaults). A slot without a schema sends none: each
  // invoker then answers in its own response_schema(). The invokers are
  // stored, never changed.
  // Throws ValueError, naming the slot, for a declared slot without an
  // invoker, an invoker, fallbacks, prompt builder or schema of a slot the
  // class does not declare or that has no invoker, a null invoker or
  // fallback, a schema that is not an object, and a slot without a prompt
  // whose class declares no default templates for it; the ValueError of a
  // malformed default template. Nothing is changed when it throws.
  void _init_lm_component(LMInvokerPtr lm_invoker, std::vector<LMInvokerPtr> fallback_lms = {},
                          std::optional<PromptBuilder> prompt_builder = std::nullopt,
                          std::optional<core::Value> response_schema = std::nullopt);
  void _init_lm_component(LMInvokerSlots lm_invoker, LMFallbackSlots fallback_lms = {},
                          LMPromptSlots prompt_builders = {}, LMSchemaSlots response_schemas = {});

 private:
  // The "response_schema" of a from_config configuration, nullopt when
  // absent or null. Throws ValueError when it is not an object.
  static std::optional<core::Value> config_response_schema(const core::Value& config);
  // from_config's replacements of the default slot's templates and schema.
  void _apply_config(const std::optional<std::string>& system_template,
                     const std::optional<std::string>& user_template,
                     std::optional<core::Value> response_schema);

  LMInvokerSlots lm_invokers_slot_;
  LMFallbackSlots fallback_lms_slot_;
  LMPromptSlots prompt_builders_slot_;
  LMSchemaSlots response_schemas_slot_;
};

}  // namespace zelq::inference
