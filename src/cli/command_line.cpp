#include "cli/command_line.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace flashpost::cli {

std::string ParsedOptions::Text(std::string_view name, std::string fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second.back();
}

std::optional<std::string> ParsedOptions::OptionalText(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second.back();
}

std::vector<std::string> ParsedOptions::All(std::string_view name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>{} : it->second;
}

int64_t ParsedOptions::Number(std::string_view name, int64_t fallback) const {
  return OptionalNumber(name).value_or(fallback);
}

std::optional<int64_t> ParsedOptions::OptionalNumber(std::string_view name) const {
  auto text = OptionalText(name);
  if (!text) return std::nullopt;
  int64_t value = 0;
  std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

namespace {

// Digits only, with a leading minus where the option takes negative numbers.
bool WholeNumberIn(const std::string& text, int64_t min, int64_t max) {
  if (text.empty()) return false;
  const bool negative = text[0] == '-';
  if (negative && (min >= 0 || text.size() == 1)) return false;
  if (!std::all_of(text.begin() + (negative ? 1 : 0), text.end(),
                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return false;
  }
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

std::string Choices(const OptionRule& option) {
  std::string out;
  for (size_t i = 0; i < option.choices.size(); ++i) {
    if (i > 0) out += i + 1 == option.choices.size() ? " or " : ", ";
    out += option.choices[i];
  }
  return out;
}

// The value as the option takes it; false with the reason otherwise.
bool CheckValue(const OptionRule& option, const std::string& value, std::string& error) {
  if (option.number && !WholeNumberIn(value, option.min, option.max)) {
    error = std::string(option.name) + " needs a whole number from " + std::to_string(option.min) +
            " to " + std::to_string(option.max) + ", not '" + value + "'";
    return false;
  }
  if (!option.choices.empty() &&
      std::find(option.choices.begin(), option.choices.end(), value) == option.choices.end()) {
    error = std::string(option.name) + " is " + Choices(option) + ", not '" + value + "'";
    return false;
  }
  return true;
}

}  // namespace

ParseResult ParseCommandLine(const CommandGrammar& grammar, const std::vector<std::string>& args,
                             ParsedOptions& options, std::string& error) {
  if (std::find(args.begin(), args.end(), "--help") != args.end()) return ParseResult::kHelp;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto option = std::find_if(grammar.options.begin(), grammar.options.end(),
                               [&](const OptionRule& o) { return o.name == arg; });
    if (option == grammar.options.end()) {
      error = arg.rfind("--", 0) == 0 ? std::string(grammar.name) + " has no option '" + arg + "'"
                                      : std::string(grammar.name) + " takes no argument '" + arg +
                                            "' (options begin --)";
      return ParseResult::kError;
    }
    if (options.Has(option->name) && !option->repeatable) {
      error = arg + " is given twice";
      return ParseResult::kError;
    }
    if (option->value_name.empty()) {
      options.Add(option->name, "");
      continue;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value (" + std::string(option->value_name) + ")";
      return ParseResult::kError;
    }
    const std::string& value = args[++i];
    if (!CheckValue(*option, value, error)) return ParseResult::kError;
    options.Add(option->name, value);
  }
  return ParseResult::kOk;
}

std::string CommandUsage(const CommandGrammar& grammar) {
  std::string out = "usage: flashpost " + std::string(grammar.name);
  for (const OptionRule& option : grammar.options) {
    out += " [" + std::string(option.name);
    if (!option.value_name.empty()) out += " " + std::string(option.value_name);
    out += option.repeatable ? " ...]" : "]";
  }
  out += "\n" + std::string(grammar.summary) + "\n\noptions:\n";
  size_t width = 0;
  for (const OptionRule& option : grammar.options) {
    width = std::max(width, option.name.size() + 1 + option.value_name.size());
  }
  for (const OptionRule& option : grammar.options) {
    std::string head = std::string(option.name);
    if (!option.value_name.empty()) head += " " + std::string(option.value_name);
    out +=
        "  " + head + std::string(width - head.size() + 2, ' ') + std::string(option.help) + "\n";
  }
  return out;
}

}  // namespace flashpost::cli
