#pragma once

// A fresh directory for one test, removed with everything in it when the object goes (never
// installed): the platform's private temporary directory, under the name the tests have always
// used for it.

#include "KestroCore/Platform/Process/TemporaryDirectory.h"

namespace kestro::testsupport {

using kestro::TemporaryDirectory;

}  // namespace kestro::testsupport
