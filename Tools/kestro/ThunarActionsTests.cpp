// Editing Thunar's custom actions file: ours goes in and out, and every other byte stays.

#include "Tools/kestro/ThunarActions.h"

#include <gtest/gtest.h>

#include <string>

namespace kestro::desktop {
namespace {

constexpr std::string_view kId = "kestro-share-with-kestro";
const std::string kOurs =
    "<action>\n\t<name>Share with Kestro</name>\n\t<unique-id>kestro-share-with-kestro</unique-id>"
    "\n\t<command>'/opt/k/kestro-share' -- %F</command>\n</action>";

// A file as people and Thunar leave it: a declaration, comments (one that looks like our action),
// CDATA, an attribute holding ">", spaces where Thunar puts tabs, no line break at the end.
const std::string kUsers =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- mine: <action><unique-id>kestro-share-with-kestro</unique-id></action> -->\n"
    "<actions>\n"
    "<action>\n  <name>Open Terminal Here</name>\n  <unique-id>1589463385581410-1</unique-id>\n"
    "  <command><![CDATA[exo-open --working-directory %f </actions>]]></command>\n</action>\n"
    "  <action note=\"a > b\"><name>Zip &amp; send</name><unique-id>2</unique-id>"
    "<command>zip %N</command></action>\n"
    "</actions>";

TEST(ThunarActionsTest, OursGoesInOnItsOwnLinesAndOutAgainLeavingTheRestByteForByte) {
  const std::size_t close = kUsers.rfind("</actions>");
  const std::string expected = kUsers.substr(0, close) + kOurs + "\n" + kUsers.substr(close);
  const std::string added = withThunarAction(kUsers, kId, kOurs);
  EXPECT_EQ(added, expected);
  EXPECT_EQ(withThunarAction(added, kId, kOurs), added);  // again: nothing changes
  EXPECT_EQ(withoutThunarAction(added, kId), kUsers);
  EXPECT_EQ(withoutThunarAction(kUsers, kId), kUsers);  // the comment is no action of ours

  // A newer command replaces ours where it stood; copies of ours go, lines and all.
  const std::string older =
      "<action><unique-id>kestro-share-with-kestro</unique-id>"
      "<command>kestro-share %F</command></action>";
  const std::string twice = "<actions>\n<action><unique-id>1</unique-id></action>\n" + older +
                            "\n<action><unique-id>3</unique-id></action>\n\t" + older +
                            "\n</actions>\n";
  EXPECT_EQ(withThunarAction(twice, kId, kOurs),
            "<actions>\n<action><unique-id>1</unique-id></action>\n" + kOurs +
                "\n<action><unique-id>3</unique-id></action>\n</actions>\n");
  EXPECT_EQ(withoutThunarAction(twice, kId),
            "<actions>\n<action><unique-id>1</unique-id></action>\n"
            "<action><unique-id>3</unique-id></action>\n</actions>\n");
  // An action sharing its line with another keeps the other where it is.
  EXPECT_EQ(withoutThunarAction(
                "<actions><action><unique-id>9</unique-id></action>" + older + "</actions>", kId),
            "<actions><action><unique-id>9</unique-id></action></actions>");
}

TEST(ThunarActionsTest, EveryShapeOfAnEmptyListTakesOurs) {
  EXPECT_EQ(withThunarAction(kEmptyThunarActions, kId, kOurs),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + kOurs + "\n</actions>\n");
  EXPECT_EQ(withoutThunarAction(withThunarAction(kEmptyThunarActions, kId, kOurs), kId),
            kEmptyThunarActions);
  // Lines ended the Windows way lose their whole line too.
  EXPECT_EQ(withoutThunarAction("<actions>\r\n" + kOurs + "\r\n</actions>\r\n", kId),
            "<actions>\r\n</actions>\r\n");
  EXPECT_EQ(withThunarAction("<actions></actions>", kId, kOurs),
            "<actions>\n" + kOurs + "\n</actions>");
  EXPECT_EQ(withThunarAction("<?xml version=\"1.0\"?>\n<actions/>\n", kId, kOurs),
            "<?xml version=\"1.0\"?>\n<actions>\n" + kOurs + "\n</actions>\n");
}

TEST(ThunarActionsTest, WhatThunarCouldNotReadIsRefused) {
  for (const std::string& document :
       {std::string(), std::string("  \n"), std::string("not a list"),
        std::string("<actions><action><name>half</name></action>"),
        std::string("<actions><action></name></action></actions>"),
        std::string("<actions><action><name>caf\xe9</name></action></actions>"),
        std::string("<actions><action><name>a &nbsp; b</name></action></actions>"),
        std::string("<menu><action><unique-id>1</unique-id></action></menu>")}) {
    SCOPED_TRACE(document);
    EXPECT_THROW(checkThunarActions(document), ThunarActionsError);
    EXPECT_THROW(withThunarAction(document, kId, kOurs), ThunarActionsError);
    EXPECT_THROW(withoutThunarAction(document, kId), ThunarActionsError);
  }
}

}  // namespace
}  // namespace kestro::desktop
