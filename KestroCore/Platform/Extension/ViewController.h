#pragma once

// The view controller an extension's principal class derives from: the host creates it, gives it
// the request's extension context, asks it for its view and tells it when the view appears.
//
// Thread safety: a view controller and its view belong to the main thread.

#include <memory>

#include "KestroCore/Platform/Extension/ExtensionContext.h"

namespace kestro {

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;
};

// A rectangle on screen. Nothing draws it on Linux; it exists so that hosts and extensions agree
// on what was shown.
class View {
 public:
  explicit View(Rect frame = {}) : frame_(frame) {}
  const Rect& frame() const noexcept { return frame_; }

 private:
  Rect frame_;
};

class ViewController {
 public:
  ViewController() = default;
  virtual ~ViewController() = default;
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // Installs the controller's view; called by `view()` on first use. The base installs an empty
  // view with a zero frame.
  virtual void loadView();
  // Called by the host each time the view has appeared. The base does nothing.
  virtual void viewDidAppear();

  // The view, loaded on first use.
  View& view();
  bool isViewLoaded() const noexcept { return view_ != nullptr; }
  void setView(std::unique_ptr<View> view) { view_ = std::move(view); }

  // The request this controller serves; null until the host sets it.
  const std::shared_ptr<ExtensionContext>& extensionContext() const noexcept {
    return extensionContext_;
  }
  void setExtensionContext(std::shared_ptr<ExtensionContext> context) {
    extensionContext_ = std::move(context);
  }

 private:
  std::unique_ptr<View> view_;
  std::shared_ptr<ExtensionContext> extensionContext_;
};

}  // namespace kestro
