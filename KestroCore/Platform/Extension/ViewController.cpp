#include "KestroCore/Platform/Extension/ViewController.h"

namespace kestro {

void ViewController::loadView() { view_ = std::make_unique<View>(); }

void ViewController::viewDidAppear() {}

View& ViewController::view() {
  if (!view_) loadView();
  // A loadView that installs nothing still leaves the controller with a view.
  if (!view_) view_ = std::make_unique<View>();
  return *view_;
}

}  // namespace kestro
