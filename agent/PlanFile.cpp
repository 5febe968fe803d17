#include "agent/PlanFile.h"

#include <cstdint>

#include <nlohmann/json.hpp>

#include "agent/Config.h"
#include "agent/Sha256.h"

namespace IfaAgent {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kListingPrefix = "# ";

std::string_view withoutMark(std::string_view text) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  return text;
}

[[noreturn]] void refuse(std::string const& file, std::string message, std::size_t line = 0) {
  Problem problem{file, line, line == 0 ? 0u : 1u, {}, std::move(message)};
  throw ConfigError({std::move(problem)});
}

std::string stringKey(nlohmann::json const& header, char const* key, std::string const& file) {
  auto const it = header.find(key);
  if (it == header.end() || !it->is_string()) {
    refuse(file, std::string("damaged saved plan: \"") + key + "\" is missing or not a string", 1);
  }
  return it->get<std::string>();
}

std::string dump(nlohmann::ordered_json const& json) {
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// The first line's keys but the checksum, in their order.
nlohmann::ordered_json headerOf(SavedPlan const& plan, std::uint64_t listingLines) {
  return {{"ifaAgentPlan", kPlanFormatVersion},
          {"profile", plan.profile},
          {"image", plan.image},
          {"imageSha256", plan.imageSha256 ? nlohmann::ordered_json(*plan.imageSha256) : nullptr},
          {"configuration", plan.configurationName},
          {"listingLines", listingLines}};
}

// The SHA-256 of the first line's other keys (as this program writes them)
// and of the rest of the file: a change to either is caught.
std::string checksum(nlohmann::ordered_json const& header, std::string_view body) {
  Sha256 hash;
  hash.update(dump(header));
  hash.update("\n");
  hash.update(body);
  return hash.hex();
}

}  // namespace

bool isPlanText(std::string_view text) {
  text = withoutMark(text);
  return !text.empty() && text.front() == '{';
}

std::string planFileText(SavedPlan const& plan) {
  std::string body;
  std::size_t lines = 0;
  std::string_view rest = plan.listing;
  while (!rest.empty()) {
    std::size_t const end = rest.find('\n');
    std::string_view const line = rest.substr(0, end);
    body += line.empty() ? std::string("#") : std::string(kListingPrefix) + std::string(line);
    body += '\n';
    ++lines;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  body += plan.configuration;
  nlohmann::ordered_json header = headerOf(plan, lines);
  header["sha256"] = checksum(header, body);
  return dump(header) + "\n" + body;
}

SavedPlan readPlanText(std::string_view text, std::string const& file) {
  text = withoutMark(text);
  std::size_t const end = text.find('\n');
  std::string_view const first = text.substr(0, end);
  std::string_view const body =
      end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  nlohmann::json header = nlohmann::json::parse(first, nullptr, false);
  if (header.is_discarded() || !header.is_object()) {
    refuse(file,
           "not a saved plan (its first line opens a JSON object that does not parse) and not a "
           "configuration",
           1);
  }
  auto const version = header.find("ifaAgentPlan");
  if (version == header.end()) {
    refuse(file, "not a saved plan: its first line is a JSON object without \"ifaAgentPlan\"", 1);
  }
  if (!version->is_number_integer() || version->get<long long>() != kPlanFormatVersion) {
    refuse(file,
           "a saved plan of format version " + version->dump() + "; this ifa-agent reads " +
               std::to_string(kPlanFormatVersion),
           1);
  }
  SavedPlan plan;
  plan.profile = stringKey(header, "profile", file);
  plan.image = stringKey(header, "image", file);
  plan.configurationName = stringKey(header, "configuration", file);
  std::string const sha256 = stringKey(header, "sha256", file);
  auto const image = header.find("imageSha256");
  if (image == header.end() || !(image->is_null() || image->is_string())) {
    refuse(file, "damaged saved plan: \"imageSha256\" is missing, or neither null nor a string", 1);
  }
  if (image->is_string()) plan.imageSha256 = image->get<std::string>();
  auto const lines = header.find("listingLines");
  if (lines == header.end() || !lines->is_number_unsigned()) {
    refuse(file, "damaged saved plan: \"listingLines\" is missing or not a count", 1);
  }
  if (checksum(headerOf(plan, lines->get<std::uint64_t>()), body) != sha256) {
    refuse(file,
           "damaged saved plan: its contents do not match the SHA-256 in its first line (edited "
           "or cut short?)");
  }
  std::string_view rest = body;
  for (auto n = lines->get<std::uint64_t>(); n > 0; --n) {
    std::size_t const eol = rest.find('\n');
    std::string_view const line = rest.substr(0, eol);
    if (eol == std::string_view::npos || line.substr(0, 1) != "#") {
      refuse(file, "damaged saved plan: its listing is shorter than its first line says");
    }
    plan.listing += std::string(line.substr(std::min(line.size(), kListingPrefix.size()))) + '\n';
    rest.remove_prefix(eol + 1);
  }
  plan.configuration = std::string(rest);
  return plan;
}

}  // namespace IfaAgent
