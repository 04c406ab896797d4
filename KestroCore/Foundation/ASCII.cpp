#include "KestroCore/Foundation/ASCII.h"

namespace kestro {

std::string asciiLowercased(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = asciiLowercase(c);
  return result;
}

}  // namespace kestro
