#include "Tools/kestro/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/ASCII.h"
#include "Tools/kestro/Output.h"

namespace kestro::commands {
namespace {

std::vector<CLI::App*> subcommandsOf(CLI::App& level) {
  return level.get_subcommands([](CLI::App*) { return true; });
}

CLI::App* subcommandNamed(CLI::App& level, const std::string& word) {
  for (CLI::App* sub : subcommandsOf(level)) {
    if (sub->check_name(word)) return sub;
  }
  return nullptr;
}

// A word as compared for nearness: without leading dashes, in lower case.
std::string bare(const std::string& word) {
  const std::size_t start = word.find_first_not_of('-');
  return start == std::string::npos ? std::string() : asciiLowercased(word.substr(start));
}

// Edits from one word to the other: insertions, deletions, replacements, and swaps of two
// neighbouring letters, the commonest slip of all ("itmes").
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replace = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The candidate that begins with `word`, or else the one at most two edits away (and fewer
// edits than the word has letters, so that "x" suggests nothing); nothing when none is near.
std::optional<std::string> nearest(const std::string& word,
                                   const std::vector<std::string>& candidates) {
  const std::string wanted = bare(word);
  if (wanted.empty()) return std::nullopt;
  for (const std::string& candidate : candidates) {
    if (bare(candidate).starts_with(wanted)) return candidate;
  }
  std::optional<std::string> best;
  std::size_t bestDistance = 3;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = editDistance(wanted, bare(candidate));
    if (distance < bestDistance && distance < wanted.size()) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

int refuse(const std::string& what, const std::optional<std::string>& suggestion,
           const std::string& path) {
  std::string line = "kestro: " + what;
  if (suggestion) line += "; did you mean \"" + *suggestion + "\"?";
  line += " (" + path + " --help lists them)";
  std::fprintf(stderr, "%s\n", shown(line).c_str());
  return static_cast<int>(ExitStatus::usage);
}

int unknownCommand(CLI::App& level, const std::string& path, const std::string& word) {
  std::vector<std::string> names;
  for (CLI::App* sub : subcommandsOf(level)) names.push_back(sub->get_name());
  if (level.get_parent() == nullptr) names.push_back("help");
  return refuse("\"" + word + "\" is not a command of " + path, nearest(word, names), path);
}

}  // namespace

std::optional<int> answerHelpOrUnknownCommand(CLI::App& app,
                                              const std::vector<std::string>& arguments) {
  const std::string program = app.get_name();
  std::size_t next = 0;
  for (; next < arguments.size() && arguments[next].starts_with("-"); ++next) {
    const std::string& option = arguments[next];
    if (option == "--") return std::nullopt;
    if (app.get_option_no_throw(option.substr(0, option.find('='))) != nullptr) continue;
    std::vector<std::string> names;
    for (const CLI::Option* known : app.get_options()) {
      for (const std::string& name : known->get_lnames()) names.push_back("--" + name);
    }
    for (CLI::App* sub : subcommandsOf(app)) names.push_back(sub->get_name());
    return refuse("\"" + option + "\" is not an option of " + program, nearest(option, names),
                  program);
  }
  if (next == arguments.size()) return std::nullopt;

  if (arguments[next] == "help") {
    // The help of the command the words name, exactly as `COMMAND --help` prints it.
    CLI::App* level = &app;
    std::string ancestors;
    for (std::size_t i = next + 1; i < arguments.size(); ++i) {
      const std::string path = ancestors.empty() ? program : ancestors + " " + level->get_name();
      CLI::App* sub = subcommandNamed(*level, arguments[i]);
      if (sub == nullptr) return unknownCommand(*level, path, arguments[i]);
      ancestors = path;
      level = sub;
    }
    std::cout << level->help(ancestors) << std::flush;
    return 0;
  }

  // Only where a command word is expected: below that, the words are the command's own.
  CLI::App* level = &app;
  std::string path = program;
  for (std::size_t i = next; i < arguments.size() && !subcommandsOf(*level).empty(); ++i) {
    const std::string& word = arguments[i];
    if (word.starts_with("-")) break;
    CLI::App* sub = subcommandNamed(*level, word);
    if (sub == nullptr) return unknownCommand(*level, path, word);
    level = sub;
    path += " " + sub->get_name();
  }
  return std::nullopt;
}

}  // namespace kestro::commands
