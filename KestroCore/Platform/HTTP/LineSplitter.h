#pragma once

// How the session cuts a body into lines as its bytes arrive. Public so that readers of line
// streams (the conversation event parser's tests, say) can run exactly the session's rules over
// bytes they chunk themselves.
//
// A line ends at LF or at CR LF, wherever the chunks happen to split them; the terminator is not
// part of the line. A CR anywhere else stays in the line. The last line of a body may lack a
// terminator: `finish` hands it over (without a trailing CR, the first half of a cut CR LF).
//
// A line longer than the limit (terminator not counted) ends the splitting: the bytes held back
// never exceed the limit plus one, however long the line grows, so a peer cannot fill memory by
// never sending a newline. Once that happened, every later call reports it again.
//
// A plain value with no thread of its own: one reader at a time.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestro {

class LineSplitter {
 public:
  enum class Status {
    more,         // every complete line was handed over; feed more
    stopped,      // the callback returned false
    lineTooLong,  // a line exceeded the limit; nothing after it was handed over
  };

  explicit LineSplitter(std::size_t maximumLineBytes) noexcept
      : maximumLineBytes_(maximumLineBytes) {}

  // Hands every line that `data` completes to `onLine(std::string_view) -> bool`, in order. The
  // view is valid only during the call. Stops at once when `onLine` returns false; the rest of
  // `data` is dropped. What `onLine` throws passes through.
  template <class OnLine>
  Status feed(std::string_view data, OnLine&& onLine) {
    if (tooLong_) return Status::lineTooLong;
    while (!data.empty()) {
      const std::size_t newline = data.find('\n');
      if (newline == std::string_view::npos) {
        if (!mayHold(partial_.size() + data.size(), data.back())) return overflow();
        partial_.append(data);
        return Status::more;
      }
      std::string_view line = data.substr(0, newline);
      data.remove_prefix(newline + 1);
      // One CR may still be stripped, so a line may reach the limit plus one byte here.
      if (partial_.size() + line.size() > maximumLineBytes_ + 1) return overflow();
      if (!partial_.empty()) {
        partial_.append(line);
        line = partial_;
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.size() > maximumLineBytes_) return overflow();
      const bool more = onLine(line);
      partial_.clear();
      if (!more) return Status::stopped;
    }
    return Status::more;
  }

  // At the end of the body: hands the last line to `onLine` if it had no terminator (and is not
  // empty). Returns `lineTooLong` if the limit was exceeded earlier.
  template <class OnLine>
  Status finish(OnLine&& onLine) {
    if (tooLong_) return Status::lineTooLong;
    if (partial_.empty()) return Status::more;
    std::string_view line = partial_;
    if (line.back() == '\r') line.remove_suffix(1);
    const bool more = onLine(line);
    partial_.clear();
    return more ? Status::more : Status::stopped;
  }

  std::size_t maximumLineBytes() const noexcept { return maximumLineBytes_; }

 private:
  // Bytes of a line whose end has not arrived yet: within the limit, or one more when the last
  // of them is a CR that an LF may turn into a terminator.
  bool mayHold(std::size_t size, char last) const noexcept {
    return size <= maximumLineBytes_ || (size == maximumLineBytes_ + 1 && last == '\r');
  }

  Status overflow() {
    tooLong_ = true;
    partial_.clear();
    partial_.shrink_to_fit();
    return Status::lineTooLong;
  }

  std::size_t maximumLineBytes_;
  std::string partial_;
  bool tooLong_ = false;
};

}  // namespace kestro
