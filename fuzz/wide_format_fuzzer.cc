// The Windows wide printf layer: _snwprintf (platform/crt.h, the rules in
// platform/posix/crt_posix.h) and CStringW::Format / AppendFormat
// (platform/atl_cstring.h).
//
// The input gives a format (UTF-8 with raw code units, fuzz/fuzz_text.h, up
// to its first zero) and then the bytes the arguments are made from. A
// reference formatter written here from the documented rules walks the
// format, decides which argument each conversion reads (a wide or narrow
// string, an int, a 64-bit integer, a double, a long double, a pointer, the
// int of a '*'), makes that argument from the input and computes the text
// the conversion must give: integers and floating-point numbers through the C
// library's snprintf, strings and characters directly. So every call passes
// exactly the arguments its format asks for. A format that would read more
// than kMaxArguments arguments is cut before the conversion that would
// exceed them.
//
// Properties, for every buffer size around the length (heap blocks of exactly
// that size, so that a write past one is an AddressSanitizer report):
//  - _snwprintf gives the reference text; the length and the terminator
//    follow the Windows rules (fits: terminated, its length; exactly the
//    size: no terminator, the size; longer: the prefix, -1); with no buffer
//    it gives the length needed;
//  - an invalid format gives -1 and an empty buffer;
//  - CStringW::Format / AppendFormat give the same text, or throw
//    std::invalid_argument for an invalid format and keep the string.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_text.h"
#include "platform/atl_cstring.h"
#include "platform/crt.h"
#include "platform/utf8.h"

namespace {

using fuzz::Printable;

constexpr size_t kMaxArguments = 3;
constexpr size_t kMaxFormatBytes = 200;
constexpr size_t kMaxStringArgumentBytes = 24;
constexpr long long kMaxFieldWidth = 1 << 20;
constexpr wchar_t kNullString[] = L"(null)";

enum class ArgumentKind { kInt, kInt64, kDouble, kLongDouble, kWideString, kNarrowString, kPointer };

struct Argument {
  ArgumentKind kind = ArgumentKind::kInt;
  long long integer = 0;
  double real = 0;
  long double long_real = 0;
  const wchar_t* wide = nullptr;
  const char* narrow = nullptr;
  void* pointer = nullptr;
};

enum class Size { kDefault, kChar, kShort, kLong, kWide, kInt32, kInt64, kPointer };

// A format cut to the arguments it may read, those arguments, and the text
// it must give (valid == false: the format is invalid).
struct Reference {
  std::wstring format;
  std::vector<Argument> arguments;
  std::wstring text;
  bool valid = true;
};

// Builds the arguments from the input's bytes. Strings stay owned here.
class ArgumentSource {
 public:
  explicit ArgumentSource(FuzzedDataProvider* input) : input_(input) {}

  Argument Int(ArgumentKind kind = ArgumentKind::kInt) {
    Argument a;
    a.kind = kind;
    a.integer = kind == ArgumentKind::kInt ? input_->ConsumeIntegral<int>() : input_->ConsumeIntegral<long long>();
    return a;
  }
  // The int of a '*': mostly a modest width, sometimes one at the limits.
  Argument Star() {
    static constexpr int kEdges[] = {INT_MIN, INT_MAX, -1, 0, 1 << 20, (1 << 20) + 1, -(1 << 20) - 1};
    Argument a;
    if (input_->ConsumeIntegralInRange<int>(0, 15) == 0) {
      a.integer = input_->PickValueInArray(kEdges);
    } else {
      a.integer = input_->ConsumeIntegralInRange<int>(-64, 64);
    }
    return a;
  }
  Argument Real(bool long_double) {
    Argument a;
    uint64_t bits = input_->ConsumeIntegral<uint64_t>();
    std::memcpy(&a.real, &bits, sizeof(bits));  // NaNs, infinities and subnormals too
    a.kind = long_double ? ArgumentKind::kLongDouble : ArgumentKind::kDouble;
    a.long_real = static_cast<long double>(a.real) * (input_->ConsumeBool() ? 1.0L : 1e-300L);
    return a;
  }
  Argument WideString() {
    Argument a;
    a.kind = ArgumentKind::kWideString;
    if (input_->ConsumeIntegralInRange<int>(0, 7) != 0) {
      wide_.push_back(std::make_unique<std::wstring>(
          fuzz::WideText(input_->ConsumeRandomLengthString(kMaxStringArgumentBytes))));
      a.wide = wide_.back()->c_str();
    }
    return a;
  }
  Argument NarrowString() {
    Argument a;
    a.kind = ArgumentKind::kNarrowString;
    if (input_->ConsumeIntegralInRange<int>(0, 7) != 0) {
      narrow_.push_back(std::make_unique<std::string>(input_->ConsumeRandomLengthString(kMaxStringArgumentBytes)));
      a.narrow = narrow_.back()->c_str();
    }
    return a;
  }
  Argument Pointer() {
    Argument a;
    a.kind = ArgumentKind::kPointer;
    a.pointer = reinterpret_cast<void*>(input_->ConsumeIntegral<uintptr_t>());
    return a;
  }

 private:
  FuzzedDataProvider* input_;
  std::vector<std::unique_ptr<std::wstring>> wide_;
  std::vector<std::unique_ptr<std::string>> narrow_;
};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// snprintf of one conversion, widened (the result is ASCII).
template <typename T>
std::wstring CFormat(const std::string& conversion, int width, int precision, T value) {
  const int length = std::snprintf(nullptr, 0, conversion.c_str(), width, precision, value);
  FUZZ_CHECK(length >= 0) << "snprintf refused " << conversion;
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), conversion.c_str(), width, precision, value);
  text.resize(static_cast<size_t>(length));
  return Widen(text);
}

// The reference formatter. Walks `format` as the Windows rules read it.
class ReferenceFormatter {
 public:
  ReferenceFormatter(std::wstring format, ArgumentSource* source) : format_(std::move(format)), source_(source) {}

  Reference Run() {
    Reference out;
    size_t i = 0;
    while (i < format_.size()) {
      if (format_[i] != L'%') {
        out.text += format_[i++];
        continue;
      }
      const size_t start = i++;
      std::vector<Argument> arguments;
      std::wstring text;
      const Outcome outcome = Conversion(&i, &arguments, &text);
      if (out.arguments.size() + arguments.size() > kMaxArguments) {
        format_.resize(start);  // cut before the conversion that needs too many
        break;
      }
      out.arguments.insert(out.arguments.end(), arguments.begin(), arguments.end());
      if (outcome == Outcome::kInvalid) {
        out.valid = false;  // nothing after it is read
        break;
      }
      out.text += text;
    }
    out.format = format_;
    return out;
  }

 private:
  enum class Outcome { kDone, kInvalid };

  struct Directive {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    long long width = 0;
    long long precision = -1;
    Size size = Size::kDefault;
  };

  wchar_t At(size_t i) const { return i < format_.size() ? format_[i] : L'\0'; }

  // Digits or '*' at *i; false when too large.
  bool Count(size_t* i, std::vector<Argument>* arguments, long long* value) {
    if (At(*i) == L'*') {
      ++*i;
      arguments->push_back(source_->Star());
      *value = arguments->back().integer;
      return true;
    }
    long long n = 0;
    while (At(*i) >= L'0' && At(*i) <= L'9') {
      n = n * 10 + (At(*i) - L'0');
      if (n > kMaxFieldWidth) return false;
      ++*i;
    }
    *value = n;
    return true;
  }

  // Pads `body` (a string or character) to the field width.
  static std::wstring Field(const Directive& directive, std::wstring body) {
    if (static_cast<long long>(body.size()) >= directive.width) return body;
    const std::wstring pad(static_cast<size_t>(directive.width) - body.size(), directive.zero && !directive.left ? L'0' : L' ');
    return directive.left ? body + pad : pad + body;
  }

  static std::string Flags(const Directive& directive) {
    std::string flags = "%";
    if (directive.left) flags += '-';
    if (directive.plus) flags += '+';
    if (directive.space) flags += ' ';
    if (directive.alternate) flags += '#';
    if (directive.zero) flags += '0';
    return flags + "*.*";
  }

  Outcome Conversion(size_t* i, std::vector<Argument>* arguments, std::wstring* text) {
    Directive directive;
    for (;; ++*i) {
      const wchar_t c = At(*i);
      if (c == L'-') directive.left = true;
      else if (c == L'+') directive.plus = true;
      else if (c == L' ') directive.space = true;
      else if (c == L'#') directive.alternate = true;
      else if (c == L'0') directive.zero = true;
      else break;
    }
    if (!Count(i, arguments, &directive.width)) return Outcome::kInvalid;
    if (directive.width < 0) {
      directive.left = true;
      directive.width = -directive.width;
    }
    if (directive.width > kMaxFieldWidth) return Outcome::kInvalid;
    if (At(*i) == L'.') {
      ++*i;
      if (!Count(i, arguments, &directive.precision)) return Outcome::kInvalid;
      if (directive.precision < 0) directive.precision = -1;
      if (directive.precision > kMaxFieldWidth) return Outcome::kInvalid;
    }
    directive.size = ReadSize(i);
    const wchar_t type = At(*i);
    if (type == L'\0') return Outcome::kInvalid;
    ++*i;

    const bool narrow = directive.size == Size::kShort ||
                        ((type == L'S' || type == L'C') && directive.size != Size::kLong && directive.size != Size::kWide);
    const bool wide_integer = directive.size == Size::kInt64 || directive.size == Size::kPointer;
    const int width = static_cast<int>(directive.width);
    const int precision = static_cast<int>(directive.precision);
    switch (type) {
      case L'%':
        *text = L"%";
        return Outcome::kDone;
      case L'c':
      case L'C': {
        arguments->push_back(source_->Int());
        const int value = static_cast<int>(arguments->back().integer);
        wchar_t c = static_cast<wchar_t>(value);
        if (narrow) {
          const auto byte = static_cast<unsigned char>(value);
          c = byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(platform::kReplacementCharacter);
        }
        *text = Field(directive, std::wstring(1, c));
        return Outcome::kDone;
      }
      case L's':
      case L'S': {
        std::wstring body;
        if (narrow) {
          arguments->push_back(source_->NarrowString());
          const char* s = arguments->back().narrow;
          body = s == nullptr ? std::wstring(kNullString) : platform::Utf8ToWide(s);
        } else {
          arguments->push_back(source_->WideString());
          const wchar_t* s = arguments->back().wide;
          body = s == nullptr ? kNullString : s;
        }
        if (directive.precision >= 0 && body.size() > static_cast<size_t>(directive.precision)) {
          body.resize(static_cast<size_t>(directive.precision));
        }
        *text = Field(directive, body);
        return Outcome::kDone;
      }
      case L'd':
      case L'i': {
        arguments->push_back(source_->Int(wide_integer ? ArgumentKind::kInt64 : ArgumentKind::kInt));
        long long value = arguments->back().integer;
        if (directive.size == Size::kChar) value = static_cast<signed char>(value);
        if (directive.size == Size::kShort) value = static_cast<short>(value);
        *text = CFormat(Flags(directive) + "lld", width, precision, value);
        return Outcome::kDone;
      }
      case L'u':
      case L'o':
      case L'x':
      case L'X': {
        arguments->push_back(source_->Int(wide_integer ? ArgumentKind::kInt64 : ArgumentKind::kInt));
        unsigned long long value = static_cast<unsigned long long>(arguments->back().integer);
        if (!wide_integer) value = static_cast<unsigned>(value);
        if (directive.size == Size::kChar) value = static_cast<unsigned char>(value);
        if (directive.size == Size::kShort) value = static_cast<unsigned short>(value);
        *text = CFormat(Flags(directive) + "ll" + static_cast<char>(type), width, precision, value);
        return Outcome::kDone;
      }
      case L'p': {
        arguments->push_back(source_->Pointer());
        const auto value = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(arguments->back().pointer));
        *text = CFormat(directive.left ? "%-*.*llX" : "%*.*llX", width, 16, value);
        return Outcome::kDone;
      }
      case L'e': case L'E': case L'f': case L'F': case L'g': case L'G': case L'a': case L'A': {
        const bool long_double = directive.size == Size::kInt64;
        arguments->push_back(source_->Real(long_double));
        const std::string conversion = Flags(directive) + (long_double ? "L" : "") + static_cast<char>(type);
        *text = long_double ? CFormat(conversion, width, precision, arguments->back().long_real)
                            : CFormat(conversion, width, precision, arguments->back().real);
        return Outcome::kDone;
      }
      default:
        return Outcome::kInvalid;
    }
  }

  Size ReadSize(size_t* i) const {
    const wchar_t c = At(*i);
    const wchar_t next = At(*i + 1);
    switch (c) {
      case L'h':
        *i += next == L'h' ? 2 : 1;
        return next == L'h' ? Size::kChar : Size::kShort;
      case L'l':
        *i += next == L'l' ? 2 : 1;
        return next == L'l' ? Size::kInt64 : Size::kLong;
      case L'w':
        *i += 1;
        return Size::kWide;
      case L'L':
        *i += 1;
        return Size::kInt64;
      case L'I':
        if (next == L'6' && At(*i + 2) == L'4') {
          *i += 3;
          return Size::kInt64;
        }
        if (next == L'3' && At(*i + 2) == L'2') {
          *i += 3;
          return Size::kInt32;
        }
        *i += 1;
        return Size::kPointer;
      case L'z':
      case L't':
      case L'j':
        *i += 1;
        return Size::kPointer;
      default:
        return Size::kDefault;
    }
  }

  std::wstring format_;
  ArgumentSource* source_;
};

// Calls `call` with the values of `arguments` as their own types.
template <typename Call, typename... Values>
void WithArguments(const Argument* arguments, size_t count, Call& call, Values... values) {
  if constexpr (sizeof...(Values) == kMaxArguments) {
    call(values...);
  } else {
    if (count == 0) return call(values...);
    const Argument& a = *arguments;
    switch (a.kind) {
      case ArgumentKind::kInt:
        return WithArguments(arguments + 1, count - 1, call, values..., static_cast<int>(a.integer));
      case ArgumentKind::kInt64:
        return WithArguments(arguments + 1, count - 1, call, values..., a.integer);
      case ArgumentKind::kDouble:
        return WithArguments(arguments + 1, count - 1, call, values..., a.real);
      case ArgumentKind::kLongDouble:
        return WithArguments(arguments + 1, count - 1, call, values..., a.long_real);
      case ArgumentKind::kWideString:
        return WithArguments(arguments + 1, count - 1, call, values..., a.wide);
      case ArgumentKind::kNarrowString:
        return WithArguments(arguments + 1, count - 1, call, values..., a.narrow);
      case ArgumentKind::kPointer:
        return WithArguments(arguments + 1, count - 1, call, values..., a.pointer);
    }
  }
}

void CheckBufferFormatting(const Reference& reference) {
  const wchar_t* format = reference.format.c_str();
  const std::wstring& expected = reference.text;
  const std::string shown = Printable(reference.format);
  const size_t length = expected.size();

  auto check = [&](auto... values) {
    const int needed = _snwprintf(nullptr, 0, format, values...);
    FUZZ_CHECK(needed == (reference.valid ? static_cast<int>(length) : -1)) << shown << ": needs " << needed;

    std::vector<size_t> sizes = {length + 1, length, length / 2, 1};
    if (!reference.valid) sizes = {8, 1};
    for (size_t size : sizes) {
      if (size == 0) continue;
      auto buffer = std::make_unique<wchar_t[]>(size);
      const int result = _snwprintf(buffer.get(), size, format, values...);
      if (!reference.valid) {
        FUZZ_CHECK(result == -1 && buffer[0] == L'\0') << shown << ": invalid, yet gave " << result;
        continue;
      }
      const size_t written = std::min(size, length);
      FUZZ_CHECK(std::wstring_view(buffer.get(), written) == std::wstring_view(expected).substr(0, written))
          << shown << " in " << size << ": " << Printable(std::wstring_view(buffer.get(), written)) << " vs "
          << Printable(expected);
      if (size > length) {
        FUZZ_CHECK(result == static_cast<int>(length) && buffer[length] == L'\0') << shown << ": " << result;
      } else if (size == length) {
        FUZZ_CHECK(result == static_cast<int>(length)) << shown << " in exactly its length: " << result;
      } else {
        FUZZ_CHECK(result == -1) << shown << " in " << size << " of " << length << ": " << result;
      }
    }

    const CStringW prefix(L"prefix:");
    CStringW formatted = prefix;
    CStringW appended = prefix;
    bool threw = false;
    try {
      formatted.Format(format, values...);
    } catch (const std::invalid_argument&) {
      threw = true;
    }
    FUZZ_CHECK(threw == !reference.valid) << shown << (threw ? " threw" : " did not throw");
    threw = false;
    try {
      appended.AppendFormat(format, values...);
    } catch (const std::invalid_argument&) {
      threw = true;
    }
    FUZZ_CHECK(threw == !reference.valid) << shown << (threw ? " threw when appended" : " appended");
    const auto text = [](const CStringW& s) { return std::wstring(s.GetString(), static_cast<size_t>(s.GetLength())); };
    const std::wstring prefix_text = text(prefix);
    FUZZ_CHECK(text(formatted) == (reference.valid ? expected : prefix_text)) << shown << ": " << Printable(text(formatted));
    FUZZ_CHECK(text(appended) == prefix_text + (reference.valid ? expected : L"")) << shown << ": " << Printable(text(appended));
  };
  WithArguments(reference.arguments.data(), reference.arguments.size(), check);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::wstring format = fuzz::WideText(input.ConsumeRandomLengthString(kMaxFormatBytes));
  format.resize(std::wcslen(format.c_str()));  // a C string ends at its first zero
  ArgumentSource source(&input);
  const Reference reference = ReferenceFormatter(std::move(format), &source).Run();
  CheckBufferFormatting(reference);
  return 0;
}
