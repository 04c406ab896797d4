#include "Tools/kestro/ThunarActions.h"

#include <glib.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace kestro::desktop {
namespace {

// What GMarkup saw of the outermost element.
struct Outermost {
  int depth = 0;
  std::string name;
};

void startElement(GMarkupParseContext*, const gchar* name, const gchar**, const gchar**,
                  gpointer data, GError**) {
  auto* outermost = static_cast<Outermost*>(data);
  if (outermost->depth++ == 0 && outermost->name.empty()) outermost->name = name;
}

void endElement(GMarkupParseContext*, const gchar*, gpointer data, GError**) {
  --static_cast<Outermost*>(data)->depth;
}

// One <action> child of <actions>: from its "<" to just after its closing ">", and the text of
// its <unique-id>.
struct ActionSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string uniqueId;
};

// Where things are in a document GMarkup accepted: the actions, and where the outermost element
// closes (the "<" of </actions>), or its whole tag when it is empty (<actions/>).
struct Layout {
  std::vector<ActionSpan> actions;
  std::size_t rootClose = std::string_view::npos;
  std::size_t rootEmptyBegin = std::string_view::npos;
  std::size_t rootEmptyEnd = std::string_view::npos;
};

// The text of a <unique-id> with XML's character references decoded.
std::string decoded(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& named : kNamed) {
      if (text.substr(i).starts_with(named.first)) {
        out += named.second;
        i += named.first.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// Finds the end of a markup construct opened at `from`, just past `terminator`.
std::size_t after(std::string_view document, std::size_t from, std::string_view terminator) {
  const std::size_t found = document.find(terminator, from);
  if (found == std::string_view::npos) throw ThunarActionsError("the file ends inside markup");
  return found + terminator.size();
}

// Walks a document that GMarkup has accepted, so only the shape of its markup matters here:
// comments, CDATA sections and processing instructions are skipped whole, and a ">" inside a
// quoted attribute value does not end its tag.
Layout layoutOf(std::string_view document) {
  Layout layout;
  std::vector<std::string> open;
  std::optional<ActionSpan> action;
  std::string idText;
  for (std::size_t i = 0; i < document.size();) {
    if (document[i] != '<') {
      const std::size_t next = std::min(document.find('<', i), document.size());
      if (action && open.size() == 3 && open.back() == "unique-id") {
        idText += decoded(document.substr(i, next - i));
      }
      i = next;
    } else if (document.substr(i).starts_with("<!--")) {
      i = after(document, i, "-->");
    } else if (document.substr(i).starts_with("<![CDATA[")) {
      const std::size_t end = after(document, i, "]]>");
      if (action && open.size() == 3 && open.back() == "unique-id") {
        idText += document.substr(i + 9, end - 3 - (i + 9));
      }
      i = end;
    } else if (document.substr(i).starts_with("<?")) {
      i = after(document, i, "?>");
    } else if (document.substr(i).starts_with("<!")) {
      i = after(document, i, ">");
    } else if (document.substr(i).starts_with("</")) {
      const std::size_t end = after(document, i, ">");
      if (open.size() == 1) layout.rootClose = i;
      if (open.size() == 3 && open.back() == "unique-id" && action) {
        action->uniqueId = idText;
      }
      if (open.size() == 2 && action) {
        action->end = end;
        layout.actions.push_back(*action);
        action.reset();
      }
      if (!open.empty()) open.pop_back();
      i = end;
    } else {
      std::size_t j = i + 1;
      char quote = 0;
      for (; j < document.size(); ++j) {
        if (quote != 0) {
          if (document[j] == quote) quote = 0;
        } else if (document[j] == '"' || document[j] == '\'') {
          quote = document[j];
        } else if (document[j] == '>') {
          break;
        }
      }
      if (j == document.size()) throw ThunarActionsError("the file ends inside a tag");
      const std::size_t nameEnd = document.find_first_of(" \t\r\n/>", i + 1);
      const std::string name(document.substr(i + 1, nameEnd - (i + 1)));
      const bool empty = document[j - 1] == '/';
      if (open.size() == 1 && name == "action") {
        action = ActionSpan{i, j + 1, {}};
        idText.clear();
        if (empty) {
          layout.actions.push_back(*action);
          action.reset();
        }
      }
      if (open.empty() && empty) {
        layout.rootEmptyBegin = i;
        layout.rootEmptyEnd = j + 1;
      }
      if (!empty) open.push_back(name);
      i = j + 1;
    }
  }
  return layout;
}

Layout checkedLayout(std::string_view document) {
  checkThunarActions(document);
  return layoutOf(document);
}

bool blank(std::string_view text) {
  return text.find_first_not_of(" \t\r") == std::string_view::npos;
}

// The span of an action widened to its whole lines when nothing else stands on them.
std::pair<std::size_t, std::size_t> wholeLines(std::string_view document, std::size_t begin,
                                               std::size_t end) {
  const std::size_t lineStart = document.rfind('\n', begin == 0 ? 0 : begin - 1);
  const std::size_t from = (begin == 0 || lineStart == std::string_view::npos) ? 0 : lineStart + 1;
  const std::size_t lineEnd = std::min(document.find('\n', end), document.size());
  if (!blank(document.substr(from, begin - from)) || !blank(document.substr(end, lineEnd - end))) {
    return {begin, end};
  }
  return {from, lineEnd == document.size() ? lineEnd : lineEnd + 1};
}

}  // namespace

void checkThunarActions(std::string_view document) {
  Outermost outermost;
  GMarkupParser parser{startElement, endElement, nullptr, nullptr, nullptr};
  GMarkupParseContext* context =
      g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), &outermost, nullptr);
  GError* error = nullptr;
  const bool parsed = g_markup_parse_context_parse(context, document.data(),
                                                   static_cast<gssize>(document.size()), &error) &&
                      g_markup_parse_context_end_parse(context, &error);
  g_markup_parse_context_free(context);
  if (!parsed) {
    std::string message = error != nullptr ? error->message : "it cannot be read as XML";
    g_clear_error(&error);
    throw ThunarActionsError(message);
  }
  if (outermost.name != "actions") {
    throw ThunarActionsError("its outermost element is <" + outermost.name + ">, not <actions>");
  }
}

std::string withThunarAction(std::string_view document, std::string_view uniqueId,
                             std::string_view action) {
  const Layout layout = checkedLayout(document);
  std::string result(document);
  std::vector<ActionSpan> ours;
  std::copy_if(layout.actions.begin(), layout.actions.end(), std::back_inserter(ours),
               [&](const ActionSpan& span) { return span.uniqueId == uniqueId; });
  if (!ours.empty()) {
    // From the last to the first, so that the earlier offsets hold.
    for (std::size_t k = ours.size(); k-- > 1;) {
      const auto [from, to] = wholeLines(document, ours[k].begin, ours[k].end);
      result.erase(from, to - from);
    }
    result.replace(ours[0].begin, ours[0].end - ours[0].begin, action);
    return result;
  }
  if (layout.rootClose != std::string_view::npos) {
    const std::size_t close = layout.rootClose;
    const std::size_t lineStart = document.rfind('\n', close == 0 ? 0 : close - 1);
    const std::size_t from = lineStart == std::string_view::npos ? 0 : lineStart + 1;
    if (close > 0 && lineStart != std::string_view::npos &&
        blank(document.substr(from, close - from))) {
      result.insert(from, std::string(action) + "\n");
    } else {
      result.insert(close, "\n" + std::string(action) + "\n");
    }
    return result;
  }
  // <actions/>: opened and closed around the one action.
  result.replace(layout.rootEmptyBegin, layout.rootEmptyEnd - layout.rootEmptyBegin,
                 "<actions>\n" + std::string(action) + "\n</actions>");
  return result;
}

std::string withoutThunarAction(std::string_view document, std::string_view uniqueId) {
  const Layout layout = checkedLayout(document);
  std::string result(document);
  for (std::size_t k = layout.actions.size(); k-- > 0;) {
    const ActionSpan& span = layout.actions[k];
    if (span.uniqueId != uniqueId) continue;
    const auto [from, to] = wholeLines(document, span.begin, span.end);
    result.erase(from, to - from);
  }
  return result;
}

}  // namespace kestro::desktop
