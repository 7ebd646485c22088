// The built-in prompt compressor backend over an embedded CPython. The
// interpreter is started once per process and never finalised; the GIL is
// held only while Python code runs.
#include "zelq/generation/compressor/detail/llmlingua_bridge.hpp"

#include <mutex>
#include <utility>

#include <pybind11/embed.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/utils.hpp"

namespace zelq::generation::compressor::detail {
namespace {

namespace py = pybind11;

constexpr const char* kPythonVersion =
    PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);

// Starts the interpreter unless the application already runs one, and lets
// go of the GIL that starting it leaves with this thread.
void start_interpreter() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (Py_IsInitialized()) return;
    py::initialize_interpreter(/*init_signal_handlers=*/false);
    PyEval_SaveThread();
  });
}

// `depth` counts the arrays and objects around `value`.
py::object to_python(const core::Value& value, std::size_t depth = 0) {
  if (value.is_array() || value.is_object()) {
    // Values reach Python no deeper than outside JSON is read.
    core::check_recursion_depth(depth + 1, "while converting a value to Python",
                                core::kMaxJsonDepth);
  }
  switch (value.type()) {
    case core::Value::value_t::null:
      return py::none();
    case core::Value::value_t::boolean:
      return py::bool_(value.get<bool>());
    case core::Value::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case core::Value::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case core::Value::value_t::number_float:
      return py::float_(value.get<double>());
    case core::Value::value_t::string:
      return py::str(value.get_ref<const std::string&>());
    case core::Value::value_t::binary: {
      const auto& bytes = value.get_binary();
      return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case core::Value::value_t::array: {
      py::list list;
      for (const core::Value& item : value) list.append(to_python(item, depth + 1));
      return list;
    }
    case core::Value::value_t::object: {
      py::dict dict;
      for (auto it = value.begin(); it != value.end(); ++it)
        dict[py::str(it.key())] = to_python(*it, depth + 1);
      return dict;
    }
    case core::Value::value_t::discarded:
      break;
  }
  throw core::TypeError("A discarded value cannot be passed to Python.");
}

// Throws the library's error kind for the Python exception in `error`. Runs
// with the GIL held.
[[noreturn]] void rethrow_python_error(const py::error_already_set& error) {
  const std::string type = py::str(error.type().attr("__name__"));
  const std::string message = py::str(error.value());
  if (error.matches(PyExc_ValueError)) throw core::ValueError(message);
  if (error.matches(PyExc_TypeError)) throw core::TypeError(message);
  if (error.matches(PyExc_KeyError)) throw core::KeyError(message);
  if (error.matches(PyExc_IndexError)) throw core::IndexError(message);
  if (error.matches(PyExc_NotImplementedError)) throw core::NotImplementedError(message);
  if (error.matches(PyExc_ImportError)) throw core::MissingPackageError(type + ": " + message);
  throw core::RuntimeError(type + ": " + message);
}

class PythonPromptCompressor final : public PromptCompressorBackend {
 public:
  explicit PythonPromptCompressor(py::object compressor) : compressor_(std::move(compressor)) {}

  ~PythonPromptCompressor() override {
    py::gil_scoped_acquire gil;
    compressor_ = py::object();
  }

  // One call at a time: a PromptCompressor is not known to be safe for
  // concurrent use, and the model's native code may release the GIL.
  std::optional<std::string> compress_prompt(const core::Value& kwargs) override {
    std::lock_guard lock(mutex_);
    py::gil_scoped_acquire gil;
    try {
      py::dict arguments = to_python(kwargs);
      py::object result = compressor_.attr("compress_prompt")(**arguments);
      py::object compressed = result.attr("get")("compressed_prompt");
      if (compressed.is_none()) return std::nullopt;
      if (!py::isinstance<py::str>(compressed)) {
        throw core::TypeError("compress_prompt returned a 'compressed_prompt' of type " +
                              std::string(py::str(compressed.get_type().attr("__name__"))) +
                              ", not str");
      }
      return compressed.cast<std::string>();
    } catch (const py::error_already_set& error) {
      rethrow_python_error(error);
    }
  }

 private:
  std::mutex mutex_;
  py::object compressor_;
};

}  // namespace

void load_llmlingua() {
  start_interpreter();
  py::gil_scoped_acquire gil;
  try {
    py::module_::import("llmlingua");
  } catch (const py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) rethrow_python_error(error);
    throw core::MissingPackageError(
        "The Python package 'llmlingua' cannot be imported by the Python " +
        std::string(kPythonVersion) + " that zelq_generation embeds (" +
        std::string(py::str(error.type().attr("__name__"))) + ": " +
        std::string(py::str(error.value())) + "). Install it there, for example with 'python" +
        kPythonVersion + " -m pip install llmlingua'.");
  }
  core::register_optional_package("llmlingua");
}

std::shared_ptr<PromptCompressorBackend> make_llmlingua_backend(const std::string& model_name,
                                                                const std::string& device_map) {
  start_interpreter();
  py::gil_scoped_acquire gil;
  try {
    py::object prompt_compressor = py::module_::import("llmlingua").attr("PromptCompressor");
    py::object compressor =
        prompt_compressor(py::arg("model_name") = model_name, py::arg("device_map") = device_map);
    return std::make_shared<PythonPromptCompressor>(std::move(compressor));
  } catch (const py::error_already_set& error) {
    rethrow_python_error(error);
  }
}

}  // namespace zelq::generation::compressor::detail
