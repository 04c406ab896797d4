#include "KestroCore/Platform/Storage/Bundle.h"

namespace kestro {

const Bundle::InfoValue* Bundle::object(std::string_view forInfoDictionaryKey) const {
  const auto found = infoDictionary_.find(forInfoDictionaryKey);
  return found == infoDictionary_.end() ? nullptr : &found->second;
}

}  // namespace kestro
