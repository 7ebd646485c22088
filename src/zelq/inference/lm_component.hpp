// Language-model access for components: named slots of invokers with
// fallbacks, prompt filling, invocation and structured-output parsing.
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
#include "zelq/inference/slot_map.hpp"

namespace zelq::inference {

// The name of the slot a component has when it declares no named slots.
inline constexpr std::string_view DEFAULT_SLOT = "default";

// What a component declares about one slot: the prompt variables its calls
// supply, and templates for an invoker that comes without a prompt.
struct LMComponentSlot {
  std::set<std::string, std::less<>> prompt_vars{};
  std::optional<std::string> default_system_template{};
  std::optional<std::string> default_user_template{};
};

using LMSlots = std::vector<std::pair<std::string, LMComponentSlot>>;
using LMInvokerSlots = SlotMap<LMInvokerPtr>;
using LMFallbackSlots = SlotMap<std::vector<LMInvokerPtr>>;

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
  // makes the invoker answer in that schema.
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

  // One invocation of slot `options.slot`: fills the slot invoker's prompt
  // with the query and variables, adds history and extra contents, then calls
  // the slot's invoker and, only after a failure, each fallback in order, all
  // with the same messages, hyperparameters and emitter. Returns the first
  // successful output. At most max_calls calls are made; when they are used
  // up or the cascade is exhausted, the last failure propagates.
  // Throws, before any call: KeyError for an unknown slot (naming it and the
  // known slots) or a prompt variable without value; TypeError when
  // variables is not an object or repeats "query"; ValueError when
  // hyperparameters is neither null nor an object or max_calls is below 1.
  // Cancellation propagates at once and is never answered with a fallback.
  // The component must outlive the returned awaitable.
  boost::asio::awaitable<LMOutput> _invoke_lm(InvokeLMOptions options) const;

  // The structured answer as an object, or a null Value when there is none
  // (see parse_structured_output).
  static core::Value _parse_structured_output(const LMOutput& output);

  // Builds a Derived for `options.model_id`: an invoker from
  // `build(model_id, credentials, config)` (providers::build_lm_invoker, or
  // use providers::from_config, which passes it), handed to
  // `Derived(invoker, args...)`, whose constructor calls _init_lm_component
  // and so gives the new invoker the class's default templates; then
  // options.system_template and user_template, when set, replace them.
  // Throws ValueError when `build` is empty or returns no invoker, and what
  // `build`, the constructor or the templates throw. `build` is only used
  // during the call.
  template <class Derived, class... Args>
  static std::unique_ptr<Derived> from_config(const LMInvokerBuilder& build,
                                              FromConfigOptions options, Args&&... args) {
    LMInvokerPtr invoker = build_with(build, options.model_id, std::move(options.credentials),
                                      std::move(options.config));
    auto component = std::make_unique<Derived>(invoker, std::forward<Args>(args)...);
    static_cast<LMComponent&>(*component)
        ._override_default_templates(options.system_template, options.user_template);
    return component;
  }

 protected:
  LMComponent() = default;
  LMComponent(const LMComponent&) = default;
  LMComponent& operator=(const LMComponent&) = default;

  // Sets up the slots: one invoker and its fallbacks for DEFAULT_SLOT, or
  // invokers and fallbacks keyed by slot name (the fallback map may lack a
  // slot). An invoker whose prompt is not configured gets its slot's default
  // templates, in place. Throws ValueError, naming the slot, for a declared
  // slot without an invoker, a slot the class does not declare, a null
  // invoker or fallback, fallbacks of a slot without an invoker, and an
  // unconfigured invoker of a slot without default templates. Nothing is
  // changed when it throws.
  void _init_lm_component(LMInvokerPtr lm_invoker, std::vector<LMInvokerPtr> fallback_lms = {});
  void _init_lm_component(LMInvokerSlots lm_invoker, LMFallbackSlots fallback_lms = {});

 private:
  void _override_default_templates(const std::optional<std::string>& system_template,
                                   const std::optional<std::string>& user_template);

  LMInvokerSlots lm_invokers_slot_;
  LMFallbackSlots fallback_lms_slot_;
};

}  // namespace zelq::inference
