#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashpost::cli {

// What every command's exit status means, for the line-control systems that call it.
enum ExitStatus : int {
  kAllPassed = 0,      // every module passed
  kModuleFailed = 1,   // a module failed its job
  kUsage = 2,          // the command line was wrong: nothing was done
  kStationFailed = 3,  // the station could not do its part: a port that does not open, a
                       // reference with no data, a record or output that cannot be written
};

// One option of a command: a flag, or an option with one value (text, a whole number within its
// bounds, or one of its choices).
struct OptionRule {
  // A flag when value_name is empty, else an option with a value of that name.
  OptionRule(std::string_view name, std::string_view value_name, std::string_view help,
             bool repeatable = false)
      : name(name), value_name(value_name), help(help), repeatable(repeatable) {}
  static OptionRule Number(std::string_view name, std::string_view value_name,
                           std::string_view help, int64_t min, int64_t max) {
    OptionRule option(name, value_name, help);
    option.number = true;
    option.min = min;
    option.max = max;
    return option;
  }
  static OptionRule Choice(std::string_view name, std::string_view value_name,
                           std::string_view help, std::vector<std::string_view> choices) {
    OptionRule option(name, value_name, help);
    option.choices = std::move(choices);
    return option;
  }

  std::string_view name;        // "--port"
  std::string_view value_name;  // "NAME" in the usage; empty for a flag
  std::string_view help;        // one line
  bool repeatable = false;      // may be given more than once (each value kept)
  bool number = false;          // the value is a whole number from min to max
  int64_t min = 0;
  int64_t max = 0;
  std::vector<std::string_view> choices;  // the value is one of these
};

// A command and the options it takes.
struct CommandGrammar {
  std::string_view name;     // "update"
  std::string_view summary;  // what it does, one line
  std::vector<OptionRule> options;
};

// The options a command line gave, by option name.
class ParsedOptions {
 public:
  bool Has(std::string_view name) const { return values_.count(std::string(name)) != 0; }
  // The option's value, or the fallback when it was not given.
  std::string Text(std::string_view name, std::string fallback = "") const;
  std::optional<std::string> OptionalText(std::string_view name) const;
  // Every value of a repeatable option, in the order given.
  std::vector<std::string> All(std::string_view name) const;
  // A number option's value (checked by the parser), or the fallback.
  int64_t Number(std::string_view name, int64_t fallback) const;
  std::optional<int64_t> OptionalNumber(std::string_view name) const;

  void Add(std::string_view name, std::string value) {
    values_[std::string(name)].push_back(std::move(value));
  }

 private:
  std::map<std::string, std::vector<std::string>, std::less<>> values_;
};

// The outcome of reading a command line.
enum class ParseResult { kOk, kHelp, kError };

// Reads the arguments after the command's name. An unknown option, one given twice that may not
// be, a missing value and a value that is not what the option takes are refused at once, with
// one line naming the option in error. "--help" anywhere asks for the command's usage.
ParseResult ParseCommandLine(const CommandGrammar& grammar, const std::vector<std::string>& args,
                             ParsedOptions& options, std::string& error);

// The command's usage and options, as --help prints them.
std::string CommandUsage(const CommandGrammar& grammar);

}  // namespace flashpost::cli
