#include "KestroCore/Application/DesktopContext.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(DesktopContextTest, WindowsTitlesAndLinesFromToolOutput) {
  EXPECT_EQ(activeWindowFromXprop("_NET_ACTIVE_WINDOW(WINDOW): window id # 0x3a00007\n"),
            "0x3a00007");
  // Some window managers list more than one.
  EXPECT_EQ(activeWindowFromXprop("_NET_ACTIVE_WINDOW(WINDOW): window id # 0x1e0000a, 0x0\n"),
            "0x1e0000a");
  EXPECT_FALSE(activeWindowFromXprop("_NET_ACTIVE_WINDOW(WINDOW): window id # 0x0\n"));
  EXPECT_FALSE(activeWindowFromXprop("_NET_ACTIVE_WINDOW(WINDOW): window id # 0x12; rm -rf\n"));

  EXPECT_EQ(windowContextFromXprop("WM_CLASS(STRING) = \"Navigator\", \"firefox\"\n"
                                   "_NET_WM_NAME(UTF8_STRING) = \"Die \\\"Zeit\\\" – Mozilla\"\n"
                                   "WM_NAME(STRING) = \"ignored\"\n"),
            (WindowContext{"firefox", "Die \"Zeit\" – Mozilla"}));
  // Without _NET_WM_NAME the older WM_NAME serves; a missing class stays missing.
  EXPECT_EQ(windowContextFromXprop("WM_CLASS:  not found.\n"
                                   "_NET_WM_NAME:  not found.\n"
                                   "WM_NAME(STRING) = \"xterm\"\n"),
            (WindowContext{std::nullopt, "xterm"}));
  // A value cut off mid-string yields nothing rather than half a name.
  EXPECT_EQ(windowContextFromXprop("WM_CLASS(STRING) = \"a\", \"unfinished\n"),
            (WindowContext{"a", std::nullopt}));

  EXPECT_EQ(firstLineOf("Inbox - Mail\r\nmore"), "Inbox - Mail");
  EXPECT_FALSE(firstLineOf("  \n"));
  EXPECT_EQ(firstLineOf("bad \xff byte"), "bad \xEF\xBF\xBD byte");
}

}  // namespace
}  // namespace kestro
