// Windows C runtime string functions and the Windows wide-format
// interpreter, for non-Windows builds.
//
// The formatter walks the Windows format itself, reads each argument with
// the type the Windows CRT would read, and emits strings and characters
// directly (narrow text is decoded as UTF-8), and formats integers itself.
// Only floating-point numbers go through the C library: each such conversion
// is rewritten into a one-conversion glibc format and handed to snprintf,
// which reports the exact length it needs; the narrow digits are widened.
// That keeps glibc's locale-dependent wide conversions (which fail with -1
// on bytes they cannot convert) out of the way.
#include "platform/crt.h"

#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/ascii.h"
#include "platform/hex.h"
#include "platform/utf8.h"

static_assert(sizeof(wchar_t) == 4, "the POSIX runtime assumes UTF-32 wchar_t");

namespace {

// Widths and precisions above this make the format invalid rather than
// asking for gigabytes of padding.
constexpr int kMaxFieldWidth = 1 << 20;
// Digits of a pointer printed by %p (64-bit Windows).
constexpr int kPointerDigits = 16;
// Digits of the longest integer (2^64 - 1 in octal).
constexpr size_t kMaxIntegerDigits = 22;
// Stack space for one formatted floating-point number; longer ones go to the
// heap.
constexpr size_t kNumberBufferSize = 128;

constexpr wchar_t kNullString[] = L"(null)";

using platform::AsciiToLower;
using platform::AsciiToUpper;

// Output sinks for the formatter ----------------------------------------------

// Writes into a caller's buffer of fixed capacity, never past it, and counts
// the full length of the result.
class BufferSink {
 public:
  BufferSink(wchar_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  void Append(const wchar_t* text, size_t n) {
    if (length_ < capacity_) {
      const size_t room = capacity_ - length_;
      wmemcpy(buffer_ + length_, text, n < room ? n : room);
    }
    length_ += n;
  }
  void Fill(wchar_t c, size_t n) {
    if (length_ < capacity_) {
      const size_t room = capacity_ - length_;
      wmemset(buffer_ + length_, c, n < room ? n : room);
    }
    length_ += n;
  }
  size_t length() const { return length_; }

 private:
  wchar_t* const buffer_;
  const size_t capacity_;
  size_t length_ = 0;
};

class StringSink {
 public:
  explicit StringSink(std::wstring* out) : out_(out) {}
  void Append(const wchar_t* text, size_t n) { out_->append(text, n); }
  void Fill(wchar_t c, size_t n) { out_->append(n, c); }

 private:
  std::wstring* const out_;
};

// Format parsing ----------------------------------------------------------------

enum class Size {
  kDefault,
  kChar,      // hh
  kShort,     // h  (narrow for s/c)
  kLong,      // l  (32 bits on Windows; wide for s/c)
  kWide,      // w
  kInt32,     // I32
  kInt64,     // ll, I64, L (long double for floating point)
  kPointer,   // I, z, t, j (64 bits on 64-bit Windows)
};

struct Conversion {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none
  Size size = Size::kDefault;
  wchar_t type = 0;
};

template <typename Sink>
void Pad(Sink& sink, const Conversion& conv, size_t length) {
  if (static_cast<size_t>(conv.width) > length) {
    sink.Fill(conv.zero && !conv.left ? L'0' : L' ', conv.width - length);
  }
}

// Emits `text` padded to the field width (strings and characters).
template <typename Sink>
void EmitField(Sink& sink, const Conversion& conv, const wchar_t* text, size_t length) {
  if (!conv.left) Pad(sink, conv, length);
  sink.Append(text, length);
  if (conv.left) Pad(sink, conv, length);
}

template <typename Sink>
void EmitWideString(Sink& sink, const Conversion& conv, const wchar_t* s) {
  if (s == nullptr) s = kNullString;
  const size_t length =
      conv.precision >= 0 ? wcsnlen(s, static_cast<size_t>(conv.precision)) : wcslen(s);
  EmitField(sink, conv, s, length);
}

template <typename Sink>
void EmitNarrowString(Sink& sink, const Conversion& conv, const char* s) {
  if (s == nullptr) return EmitWideString(sink, conv, kNullString);
  size_t bytes;
  if (conv.precision < 0) {
    bytes = strlen(s);
  } else {
    // Read no further than the start of character precision + 1.
    size_t characters = 0;
    for (bytes = 0; s[bytes] != '\0'; ++bytes) {
      const bool lead = (static_cast<unsigned char>(s[bytes]) & 0xC0) != 0x80;
      if (lead && characters++ == static_cast<size_t>(conv.precision)) break;
    }
  }
  std::wstring wide = platform::Utf8ToWide(std::string_view(s, bytes));
  if (conv.precision >= 0 && wide.size() > static_cast<size_t>(conv.precision)) {
    wide.resize(static_cast<size_t>(conv.precision));
  }
  EmitField(sink, conv, wide.data(), wide.size());
}

// Formats an integer conversion (d i u o x X, and p as X with 16 digits)
// with the C rules for flags, width and precision.
template <typename Sink>
void EmitInteger(Sink& sink, const Conversion& conv, wchar_t type, bool negative,
                 unsigned long long magnitude) {
  const unsigned base = type == L'o' ? 8 : (type == L'x' || type == L'X') ? 16 : 10;
  const char* alphabet = type == L'X' ? platform::kUpperHexDigits : platform::kLowerHexDigits;
  wchar_t digits[kMaxIntegerDigits];
  size_t end = kMaxIntegerDigits;
  for (unsigned long long v = magnitude; v != 0; v /= base) digits[--end] = static_cast<wchar_t>(alphabet[v % base]);
  const size_t digit_count = kMaxIntegerDigits - end;

  size_t zeros = 0;  // leading zeros demanded by the precision (or a lone 0)
  if (conv.precision >= 0) {
    if (static_cast<size_t>(conv.precision) > digit_count) zeros = conv.precision - digit_count;
  } else if (digit_count == 0) {
    zeros = 1;
  }
  if (type == L'o' && conv.alternate && zeros == 0) zeros = 1;  // octal starts with 0

  wchar_t prefix[2];
  size_t prefix_length = 0;
  if (type == L'd' || type == L'i') {
    if (negative) {
      prefix[prefix_length++] = L'-';
    } else if (conv.plus) {
      prefix[prefix_length++] = L'+';
    } else if (conv.space) {
      prefix[prefix_length++] = L' ';
    }
  } else if ((type == L'x' || type == L'X') && conv.alternate && magnitude != 0) {
    prefix[prefix_length++] = L'0';
    prefix[prefix_length++] = type;
  }

  size_t length = prefix_length + zeros + digit_count;
  const size_t width = static_cast<size_t>(conv.width);
  if (conv.zero && !conv.left && conv.precision < 0 && width > length) {
    zeros += width - length;
    length = width;
  }
  if (!conv.left && width > length) sink.Fill(L' ', width - length);
  sink.Append(prefix, prefix_length);
  sink.Fill(L'0', zeros);
  sink.Append(digits + end, digit_count);
  if (conv.left && width > length) sink.Fill(L' ', width - length);
}

// Formats one floating-point number with snprintf. `glibc_type` is the
// conversion letter, `length_modifier` "L" or "". Returns false when
// snprintf fails.
template <typename Sink, typename T>
bool EmitNumber(Sink& sink, const Conversion& conv, const char* length_modifier,
                char glibc_type, T value) {
  char conversion_format[16];
  char* p = conversion_format;
  *p++ = '%';
  if (conv.left) *p++ = '-';
  if (conv.plus) *p++ = '+';
  if (conv.space) *p++ = ' ';
  if (conv.alternate) *p++ = '#';
  if (conv.zero) *p++ = '0';
  *p++ = '*';
  *p++ = '.';
  *p++ = '*';
  while (*length_modifier != '\0') *p++ = *length_modifier++;
  *p++ = glibc_type;
  *p = '\0';

  char stack[kNumberBufferSize];
  int length = snprintf(stack, sizeof(stack), conversion_format, conv.width, conv.precision, value);
  if (length < 0) return false;
  const char* digits = stack;
  std::string heap;
  if (static_cast<size_t>(length) >= sizeof(stack)) {
    heap.resize(static_cast<size_t>(length) + 1);
    length = snprintf(heap.data(), heap.size(), conversion_format, conv.width, conv.precision, value);
    if (length < 0) return false;
    digits = heap.data();
  }
  wchar_t wide[kNumberBufferSize];
  for (int done = 0; done < length;) {
    int n = 0;
    for (; n < static_cast<int>(kNumberBufferSize) && done + n < length; ++n) {
      wide[n] = static_cast<unsigned char>(digits[done + n]);
    }
    sink.Append(wide, static_cast<size_t>(n));
    done += n;
  }
  return true;
}

// Reads digits or '*' (the next int of `args`) at *f into *value; false when
// the number is too large.
bool ParseCount(const wchar_t** f, va_list* args, int* value) {
  if (**f == L'*') {
    ++*f;
    *value = va_arg(*args, int);
    return true;
  }
  long long n = 0;
  while (**f >= L'0' && **f <= L'9') {
    n = n * 10 + (**f - L'0');
    if (n > kMaxFieldWidth) return false;
    ++*f;
  }
  *value = static_cast<int>(n);
  return true;
}

// Parses flags, width, precision and size of the conversion after a '%'.
bool ParseConversion(const wchar_t** f, va_list* args, Conversion* conv) {
  for (;; ++*f) {
    switch (**f) {
      case L'-': conv->left = true; continue;
      case L'+': conv->plus = true; continue;
      case L' ': conv->space = true; continue;
      case L'#': conv->alternate = true; continue;
      case L'0': conv->zero = true; continue;
      default: break;
    }
    break;
  }
  if (!ParseCount(f, args, &conv->width)) return false;
  if (conv->width < 0) {  // a negative '*' width means left-justified
    conv->left = true;
    conv->width = conv->width == INT_MIN ? INT_MAX : -conv->width;
  }
  if (conv->width > kMaxFieldWidth) return false;
  if (**f == L'.') {
    ++*f;
    if (!ParseCount(f, args, &conv->precision)) return false;
    if (conv->precision < 0) conv->precision = -1;  // negative '*': none
    if (conv->precision > kMaxFieldWidth) return false;
  }

  const wchar_t* s = *f;
  switch (s[0]) {
    case L'h':
      conv->size = s[1] == L'h' ? Size::kChar : Size::kShort;
      *f += s[1] == L'h' ? 2 : 1;
      break;
    case L'l':
      conv->size = s[1] == L'l' ? Size::kInt64 : Size::kLong;
      *f += s[1] == L'l' ? 2 : 1;
      break;
    case L'w':
      conv->size = Size::kWide;
      *f += 1;
      break;
    case L'L':
      conv->size = Size::kInt64;
      *f += 1;
      break;
    case L'I':
      if (s[1] == L'6' && s[2] == L'4') {
        conv->size = Size::kInt64;
        *f += 3;
      } else if (s[1] == L'3' && s[2] == L'2') {
        conv->size = Size::kInt32;
        *f += 3;
      } else {
        conv->size = Size::kPointer;
        *f += 1;
      }
      break;
    case L'z':
    case L't':
    case L'j':
      conv->size = Size::kPointer;
      *f += 1;
      break;
    default:
      break;
  }
  conv->type = **f;
  if (conv->type == L'\0') return false;
  ++*f;
  return true;
}

template <typename Sink>
void EmitSigned(Sink& sink, const Conversion& conv, va_list* args) {
  long long value;
  switch (conv.size) {
    case Size::kChar: value = static_cast<signed char>(va_arg(*args, int)); break;
    case Size::kShort: value = static_cast<short>(va_arg(*args, int)); break;
    case Size::kInt64:
    case Size::kPointer: value = va_arg(*args, long long); break;
    default: value = va_arg(*args, int); break;  // int, LONG, I32
  }
  const bool negative = value < 0;
  const unsigned long long magnitude =
      negative ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  EmitInteger(sink, conv, conv.type, negative, magnitude);
}

template <typename Sink>
void EmitUnsigned(Sink& sink, const Conversion& conv, va_list* args) {
  unsigned long long value;
  switch (conv.size) {
    case Size::kChar: value = static_cast<unsigned char>(va_arg(*args, unsigned)); break;
    case Size::kShort: value = static_cast<unsigned short>(va_arg(*args, unsigned)); break;
    case Size::kInt64:
    case Size::kPointer: value = va_arg(*args, unsigned long long); break;
    default: value = va_arg(*args, unsigned); break;
  }
  EmitInteger(sink, conv, conv.type, /*negative=*/false, value);
}

template <typename Sink>
bool EmitFloating(Sink& sink, const Conversion& conv, char glibc_type, va_list* args) {
  if (conv.size == Size::kInt64) {  // %Lf
    return EmitNumber(sink, conv, "L", glibc_type, va_arg(*args, long double));
  }
  return EmitNumber(sink, conv, "", glibc_type, va_arg(*args, double));
}

// Formats into `sink`; false for an invalid format. Subroutines read the
// arguments through a pointer to one va_list (passing a va_list by value
// would copy it on ABIs where it is a structure).
template <typename Sink>
bool FormatArgs(Sink& sink, const wchar_t* format, va_list* args) {
  const wchar_t* f = format;
  while (*f != L'\0') {
    const wchar_t* literal = f;
    while (*f != L'\0' && *f != L'%') ++f;
    if (f != literal) sink.Append(literal, static_cast<size_t>(f - literal));
    if (*f == L'\0') break;
    ++f;  // '%'

    Conversion conv;
    if (!ParseConversion(&f, args, &conv)) return false;
    const bool narrow_default = conv.type == L'S' || conv.type == L'C';
    const bool narrow = conv.size == Size::kShort ||
                        (narrow_default && conv.size != Size::kLong && conv.size != Size::kWide);
    switch (conv.type) {
      case L'%':
        sink.Append(L"%", 1);
        break;
      case L'c':
      case L'C': {
        const int arg = va_arg(*args, int);
        wchar_t c;
        if (narrow) {
          const unsigned char byte = static_cast<unsigned char>(arg);
          c = byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(platform::kReplacementCharacter);
        } else {
          c = static_cast<wchar_t>(arg);
        }
        EmitField(sink, conv, &c, 1);
        break;
      }
      case L's':
      case L'S':
        if (narrow) {
          EmitNarrowString(sink, conv, va_arg(*args, const char*));
        } else {
          EmitWideString(sink, conv, va_arg(*args, const wchar_t*));
        }
        break;
      case L'd':
      case L'i':
        EmitSigned(sink, conv, args);
        break;
      case L'u':
      case L'o':
      case L'x':
      case L'X':
        EmitUnsigned(sink, conv, args);
        break;
      case L'p': {
        Conversion pointer = conv;
        pointer.plus = pointer.space = pointer.alternate = false;
        pointer.precision = kPointerDigits;
        const auto value = reinterpret_cast<uintptr_t>(va_arg(*args, void*));
        EmitInteger(sink, pointer, L'X', /*negative=*/false, value);
        break;
      }
      case L'e':
      case L'E':
      case L'f':
      case L'F':
      case L'g':
      case L'G':
      case L'a':
      case L'A':
        if (!EmitFloating(sink, conv, static_cast<char>(conv.type), args)) return false;
        break;
      default:  // %n, positional arguments, unknown letters
        return false;
    }
  }
  return true;
}

template <typename Sink>
bool FormatTo(Sink& sink, const wchar_t* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const bool ok = FormatArgs(sink, format, &copy);
  va_end(copy);
  return ok;
}

}  // namespace

wchar_t* _wcsupr(wchar_t* s) {
  if (s == nullptr) return nullptr;
  // A counted loop, which the compiler turns into vector code.
  const size_t length = std::wcslen(s);
  for (size_t i = 0; i < length; ++i) s[i] = AsciiToUpper(s[i]);
  return s;
}

wchar_t* _wcslwr(wchar_t* s) {
  if (s == nullptr) return nullptr;
  for (wchar_t* p = s; *p != L'\0'; ++p) *p = AsciiToLower(*p);
  return s;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  if (a == nullptr || b == nullptr) return _NLSCMPERROR;
  wchar_t fa, fb;
  do {
    fa = *a++;
    fb = *b++;
    if (fa == fb) {
      if (fa == L'\0') return 0;
      continue;  // equal code units need no folding
    }
    fa = AsciiToLower(fa);
    fb = AsciiToLower(fb);
  } while (fa == fb);
  return static_cast<int>(fa) - static_cast<int>(fb);
}

int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count) {
  if (a == nullptr || b == nullptr) return _NLSCMPERROR;
  for (; count > 0; --count) {
    const wchar_t fa = AsciiToLower(*a++);
    const wchar_t fb = AsciiToLower(*b++);
    if (fa != fb || fa == L'\0') return static_cast<int>(fa) - static_cast<int>(fb);
  }
  return 0;
}

int _stricmp(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return _NLSCMPERROR;
  int fa, fb;
  do {
    fa = AsciiToLower(static_cast<unsigned char>(*a++));
    fb = AsciiToLower(static_cast<unsigned char>(*b++));
  } while (fa != 0 && fa == fb);
  return fa - fb;
}

int _strnicmp(const char* a, const char* b, size_t count) {
  if (a == nullptr || b == nullptr) return _NLSCMPERROR;
  for (; count > 0; --count) {
    const int fa = AsciiToLower(static_cast<unsigned char>(*a++));
    const int fb = AsciiToLower(static_cast<unsigned char>(*b++));
    if (fa != fb || fa == 0) return fa - fb;
  }
  return 0;
}

int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
  if (format == nullptr || (buffer == nullptr && count > 0)) return -1;
  BufferSink sink(buffer, count);
  if (!FormatTo(sink, format, args)) {
    if (count > 0) buffer[0] = L'\0';
    return -1;
  }
  const size_t length = sink.length();
  if (length > static_cast<size_t>(INT_MAX)) return -1;
  if (buffer == nullptr) return static_cast<int>(length);  // the length needed
  if (length < count) buffer[length] = L'\0';
  return length > count ? -1 : static_cast<int>(length);
}

int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

namespace platform {

bool AppendWindowsFormatV(std::wstring* out, const wchar_t* format, va_list args) {
  if (format == nullptr) return false;
  StringSink sink(out);
  return FormatTo(sink, format, args);
}

std::wstring FormatWindowsV(const wchar_t* format, va_list args) {
  std::wstring out;
  AppendWindowsFormatV(&out, format, args);
  return out;
}

}  // namespace platform
