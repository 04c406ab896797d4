#pragma once

// The file managers' "Share with Kestro" actions as Tools/kestro-share/desktop/ holds them (and
// `make install` installs them), built into `kestro` so that `kestro desktop install` needs no
// installed data: each names the program `kestro-share`, which the per-user copies replace by
// the path of the one beside `kestro`.

#include <string_view>

namespace kestro::desktop {

extern const std::string_view kNautilusScript;      // nautilus-script.sh
extern const std::string_view kNemoAction;          // kestro-share.nemo_action
extern const std::string_view kDolphinServiceMenu;  // kestro-share-servicemenu.desktop
extern const std::string_view kThunarAction;        // thunar-action.xml: one <action> element

// The line every file of ours carries (a comment in the Nautilus script), by which uninstall
// tells ours from the user's own files, and the <unique-id> of our Thunar action.
inline constexpr std::string_view kOwnMark = "X-Kestro-Action=share";
inline constexpr std::string_view kThunarActionId = "kestro-share-with-kestro";

}  // namespace kestro::desktop
