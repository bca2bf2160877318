// The order of text keys, as an order-preserving byte string (a code) per
// value, so that the engine compares text keys as unsigned bytes whatever the
// locale, and a bounded prefix of a code orders rows as far as it goes.
//
// In the C/POSIX locale a value's code is its bytes. Elsewhere it is ICU's
// sort key of the value (tertiary strength, the locale's collation; ill-formed
// UTF-8 reads as U+FFFD), a 00 byte, then the value's bytes: values that
// collate equal are put in byte order, so two distinct values never tie and
// the order of two rows never depends on other rows. ICU's sort keys hold no
// 00 byte, so the one after the key ends it. Missing values have the empty
// code and sort first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct UCollator;

namespace isort::app {

class TextOrder {
 public:
  // The collation locale that the environment names (LC_ALL, LC_COLLATE,
  // LANG, the first set); "C" when none is, or when this system does not
  // have the one named.
  static std::string LocaleFromEnvironment();

  // Byte order for the C/POSIX locale, ICU's collation for any other.
  // Throws CannotSort when ICU has no collation for it.
  explicit TextOrder(const std::string& locale);
  ~TextOrder();
  TextOrder(const TextOrder&) = delete;
  TextOrder& operator=(const TextOrder&) = delete;
  TextOrder(TextOrder&&) noexcept;

  bool byteOrder() const { return collator_ == nullptr; }
  // A rough upper bound of the code's length for a value of `bytes` bytes, for
  // choosing prefix widths before any code is made.
  std::uint64_t EstimatedCodeBytes(std::uint64_t bytes) const {
    return byteOrder() ? bytes : 3 * bytes + 8;
  }

  // Appends the first `limit` bytes of the code of `value` to `out`; true
  // when the code is longer than `limit`.
  bool AppendPrefix(std::string_view value, std::size_t limit, std::string& out) const;
  // Hands the whole code of `value` to `sink`, piece by piece; returns its
  // length. Holds a bounded piece of it at a time.
  std::uint64_t WriteCode(std::string_view value,
                          const std::function<void(std::string_view)>& sink) const;

 private:
  struct Close {
    void operator()(UCollator* collator) const;
  };
  std::unique_ptr<UCollator, Close> collator_;
};

}  // namespace isort::app
