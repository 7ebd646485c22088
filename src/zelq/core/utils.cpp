#include "zelq/core/utils.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>

#include <Eigen/Dense>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::core {
namespace {

struct OptionalPackages {
  std::mutex mutex;
  std::set<std::string, std::less<>> available;
};

OptionalPackages& optional_packages() {
  static OptionalPackages instance;
  return instance;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

void register_optional_package(std::string_view package) {
  auto& packages = optional_packages();
  std::lock_guard lock(packages.mutex);
  packages.available.emplace(package);
}

void check_optional_packages(std::string_view package,
                             const CheckOptionalPackagesOptions& options) {
  {
    auto& packages = optional_packages();
    std::lock_guard lock(packages.mutex);
    if (packages.available.contains(package)) return;
  }
  const std::string extra = options.extras.empty() ? std::string(package) : options.extras;
  throw MissingPackageError("The optional package " + py_repr(package) +
                            " is not available. Rebuild zelq_generation with -DZELQ_WITH_" +
                            upper(extra) + "=ON (extra " + py_repr(extra) + ") and install it.");
}

std::string format_chunk_for_logging(const Chunk& chunk, std::size_t index) {
  constexpr std::size_t kPreview = 50;
  std::string content;
  if (chunk.is_text()) {
    // Cut on a code point boundary so the preview stays valid UTF-8.
    const std::string& text = chunk.text();
    std::size_t cut = 0;
    std::size_t points = 0;
    while (cut < text.size() && points < kPreview) {
      ++cut;
      while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
      ++points;
    }
    content = py_repr(std::string_view(text).substr(0, cut)) + (cut < text.size() ? "..." : "");
  } else {
    const Bytes& bytes = chunk.bytes();
    const std::size_t cut = std::min(bytes.size(), kPreview);
    content =
        py_bytes_repr(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut))) +
        (cut < bytes.size() ? "..." : "");
  }
  return "\nChunk " + std::to_string(index) + ":\n  ID: " + chunk.id + "\n  Content: " + content +
         "\n  Metadata: " + py_repr(chunk.metadata) +
         "\n  Score: " + (chunk.score ? py_float_repr(*chunk.score) : std::string("None"));
}

std::string_view to_string(BinaryHandlingStrategy strategy) {
  switch (strategy) {
    case BinaryHandlingStrategy::BASE64:
      return "base64";
    case BinaryHandlingStrategy::HEX:
      return "hex";
    case BinaryHandlingStrategy::NONE:
      return "none";
  }
  return "base64";
}

BinaryHandlingStrategy parse_binary_handling_strategy(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (auto s : {BinaryHandlingStrategy::BASE64, BinaryHandlingStrategy::HEX,
                 BinaryHandlingStrategy::NONE}) {
    if (lower == to_string(s)) return s;
  }
  throw ValueError("Invalid binary handling strategy: " + std::string(text) +
                   ". Valid options are: base64, hex, none");
}

std::string base64_encode(const Bytes& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const unsigned v = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string hex_encode(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

BinaryHandler binary_handler_factory(BinaryHandlingStrategy strategy) {
  switch (strategy) {
    case BinaryHandlingStrategy::BASE64:
      return [](const Bytes& b) -> std::optional<std::string> { return base64_encode(b); };
    case BinaryHandlingStrategy::HEX:
      return [](const Bytes& b) -> std::optional<std::string> { return hex_encode(b); };
    case BinaryHandlingStrategy::NONE:
      break;
  }
  return [](const Bytes&) -> std::optional<std::string> { return std::nullopt; };
}

namespace {

using ConstVector = Eigen::Map<const Eigen::VectorXd>;

// Cosine of `query_unit` (a vector scaled so its largest magnitude is 1,
// with Euclidean norm `query_norm`) and `vector_unit` (scaled likewise).
// Both sides lie in [-1, 1] element-wise, so neither the squared norms nor
// the dot product can overflow or lose a non-zero vector to underflow.
template <class Unit>
double unit_cosine(const Eigen::VectorXd& query_unit, double query_norm, const Unit& vector_unit) {
  const double denominator = query_norm * std::sqrt(vector_unit.squaredNorm());
  return std::clamp(query_unit.dot(vector_unit) / denominator, -1.0, 1.0);
}

// Twice-scaled form for a vector whose largest magnitude is subnormal: 1/m
// would overflow there, so the vector is first raised by 2^600 (exact).
constexpr double kSubnormalLift = 0x1p600;

// Squared norms within these bounds come from components that neither
// overflowed nor lost anything that matters to underflow (at most n * 2^-1022
// against at least 2^-900), so the unscaled vector serves as it is.
constexpr double kSafeSquaredNormLow = 0x1p-900;
constexpr double kSafeSquaredNormHigh = 0x1p900;

double scaled_cosine(const Eigen::VectorXd& query_unit, double query_norm, const ConstVector& v) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (v.size() == 0) return nan;
  // The usual case reads the vector once from memory and once more from cache.
  const double squared_norm = v.squaredNorm();
  if (squared_norm >= kSafeSquaredNormLow && squared_norm <= kSafeSquaredNormHigh) {
    return std::clamp(query_unit.dot(v) / (query_norm * std::sqrt(squared_norm)), -1.0, 1.0);
  }
  const double largest = v.cwiseAbs().maxCoeff();
  if (!(largest > 0.0)) return nan;  // the zero vector, or NaN components
  if (largest >= std::numeric_limits<double>::min()) {
    return unit_cosine(query_unit, query_norm, v * (1.0 / largest));
  }
  return unit_cosine(query_unit, query_norm,
                     (v * kSubnormalLift) * (1.0 / (largest * kSubnormalLift)));
}

// `query` scaled so that its largest magnitude is 1; empty (and the cosine
// NaN) for a zero, empty or NaN-holding vector.
Eigen::VectorXd unit_query(const ConstVector& q) {
  if (q.size() == 0) return {};
  const double largest = q.cwiseAbs().maxCoeff();
  if (!(largest > 0.0)) return {};
  if (largest >= std::numeric_limits<double>::min()) return q * (1.0 / largest);
  return (q * kSubnormalLift) * (1.0 / (largest * kSubnormalLift));
}

}  // namespace

std::vector<double> cosine(const std::vector<double>& query,
                           const std::vector<std::vector<double>>& vectors) {
  const auto n = static_cast<Eigen::Index>(query.size());
  const Eigen::VectorXd query_unit = unit_query(ConstVector(query.data(), n));
  const double query_norm =
      query_unit.size() == 0 ? std::numeric_limits<double>::quiet_NaN() : query_unit.norm();
  std::vector<double> scores;
  scores.reserve(vectors.size());
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (vectors[i].size() != query.size()) {
      throw ValueError("cosine: vector " + std::to_string(i) + " has dimension " +
                       std::to_string(vectors[i].size()) + ", expected " +
                       std::to_string(query.size()));
    }
    if (query_unit.size() == 0) {
      scores.push_back(std::numeric_limits<double>::quiet_NaN());
      continue;
    }
    scores.push_back(scaled_cosine(query_unit, query_norm, ConstVector(vectors[i].data(), n)));
  }
  return scores;
}

}  // namespace zelq::core
