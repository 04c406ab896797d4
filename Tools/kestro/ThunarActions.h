#pragma once

// Thunar's custom actions file ($XDG_CONFIG_HOME/Thunar/uca.xml) as text to edit in place: one
// <action> element of ours added, replaced or taken out, and every other byte of the file kept
// as the user (or Thunar) wrote it. The file is read as Thunar reads it (GLib's GMarkup), so a
// file Thunar would refuse is refused here too, before anything is changed.

#include <stdexcept>
#include <string>
#include <string_view>

namespace kestro::desktop {

// The file is not a list of actions Thunar can read: not UTF-8, not well-formed, or its
// outermost element is not <actions>. The message says where and why.
class ThunarActionsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file with no actions at all, as written when there is none to start from.
inline constexpr std::string_view kEmptyThunarActions =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";

// Throws ThunarActionsError unless `document` is a list of actions Thunar can read.
void checkThunarActions(std::string_view document);

// `document` with `action` (one <action> element, without a line break at its end) in place of
// the actions whose <unique-id> is `uniqueId`: where the first of them stood, or else on a line
// of its own before </actions>. Further actions of that id go. Throws ThunarActionsError.
std::string withThunarAction(std::string_view document, std::string_view uniqueId,
                             std::string_view action);

// `document` without the actions whose <unique-id> is `uniqueId`; an action alone on its lines
// takes those lines with it. Throws ThunarActionsError.
std::string withoutThunarAction(std::string_view document, std::string_view uniqueId);

}  // namespace kestro::desktop
