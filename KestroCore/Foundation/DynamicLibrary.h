#pragma once

// A shared library loaded at run time instead of linked, for the heavy ones a short-lived process
// needs only sometimes (libcrypto for digests, GIO for the MIME database): linking them costs
// every start of the share target more than a whole web-address share takes otherwise.

#include <string>

namespace kestro {

// One loaded library. It is never unloaded: the libraries loaded this way keep global state for
// the life of the process. Copies refer to the same loaded library. Thread-safe.
class DynamicLibrary {
 public:
  // Loads the library by its soname ("libcrypto.so.3"), with every symbol bound at once and none
  // made visible to other libraries. Throws std::runtime_error naming the library and the loader's
  // reason when it cannot be loaded.
  explicit DynamicLibrary(std::string soname);

  // Sets `function` to the library's function `name`, or to one of the libraries it depends on.
  // Throws std::runtime_error naming both when there is none.
  template <class Function>
  void resolve(const char* name, Function& function) const {
    function = reinterpret_cast<Function>(symbol(name));
  }

  const std::string& soname() const { return soname_; }

 private:
  void* symbol(const char* name) const;

  std::string soname_;
  void* handle_;
};

}  // namespace kestro
