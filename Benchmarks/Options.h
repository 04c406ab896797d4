#pragma once

// The benchmarks' command lines: "--name VALUE" pairs, and --help.

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestro::benchmarks {

// What each option does with its value; it throws std::exception when the value will not do.
using OptionSetters = std::map<std::string, std::function<void(const std::string&)>>;

// Reads the command line into `setters`. Returns the status to exit with at once: 0 after
// printing `usage` for --help, 2 after an unknown option, a missing value or a value its setter
// refused (the reason and `usage` on standard error); nothing when the benchmark should run.
inline std::optional<int> readOptions(int argc, char** argv, std::string_view usage,
                                      const OptionSetters& setters) {
  for (int index = 1; index < argc; index += 2) {
    const std::string option = argv[index];
    if (option == "--help" || option == "-h") {
      std::cout << usage;
      return 0;
    }
    const auto refuse = [&](const std::string& reason) {
      std::cerr << argv[0] << ": " << reason << "\n" << usage;
      return 2;
    };
    const auto setter = setters.find(option);
    if (setter == setters.end()) return refuse("unknown option " + option);
    if (index + 1 >= argc) return refuse(option + " needs a value");
    try {
      setter->second(argv[index + 1]);
    } catch (const std::exception&) {
      return refuse(option + ": not a valid value: " + argv[index + 1]);
    }
  }
  return std::nullopt;
}

}  // namespace kestro::benchmarks
