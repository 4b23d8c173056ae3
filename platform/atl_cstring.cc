// CStringW. Formatting is platform::AppendWindowsFormatV's (platform/crt.h).
#include "platform/atl_cstring.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "platform/ascii.h"
#include "platform/crt.h"

namespace {

// Appends the formatted text to *out, or throws std::invalid_argument for an
// invalid format, leaving *out unchanged.
void AppendFormatted(std::wstring* out, const wchar_t* format, va_list args) {
  std::wstring text;
  if (!platform::AppendWindowsFormatV(&text, format, args)) {
    throw std::invalid_argument("CStringW::Format: invalid format");
  }
  out->append(text);
}

// Checks a (pointer, length) pair as ATL does.
void CheckRun(const wchar_t* pch, int length) {
  if (length < 0) throw std::invalid_argument("CStringW: negative length");
  if (pch == nullptr && length > 0) throw std::invalid_argument("CStringW: null characters");
}

// C-string comparison of a and b (null is empty) after mapping each code
// unit through fold.
template <typename Fold>
int CompareFolded(const wchar_t* a, const wchar_t* b, Fold fold) {
  if (a == nullptr) a = L"";
  if (b == nullptr) b = L"";
  for (;; ++a, ++b) {
    const uint32_t ca = static_cast<uint32_t>(fold(*a));
    const uint32_t cb = static_cast<uint32_t>(fold(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

}  // namespace

CStringW::CStringW(const wchar_t* psz) : text_(psz != nullptr ? psz : L"") {}

CStringW::CStringW(const wchar_t* pch, int nLength) {
  CheckRun(pch, nLength);
  if (nLength > 0) text_.assign(pch, static_cast<size_t>(nLength));
}

CStringW::CStringW(wchar_t ch, int nRepeat) {
  if (nRepeat < 0) throw std::invalid_argument("CStringW: negative repeat count");
  text_.assign(static_cast<size_t>(nRepeat), ch);
}

CStringW& CStringW::operator=(const wchar_t* psz) {
  text_ = psz != nullptr ? psz : L"";  // std::wstring handles psz pointing into text_
  return *this;
}

CStringW& CStringW::operator=(wchar_t ch) {
  text_.assign(1, ch);
  return *this;
}

wchar_t CStringW::GetAt(int iChar) const {
  if (iChar < 0 || iChar >= GetLength()) throw std::out_of_range("CStringW: index out of range");
  return text_[static_cast<size_t>(iChar)];
}

void CStringW::SetAt(int iChar, wchar_t ch) {
  if (iChar < 0 || iChar >= GetLength()) throw std::out_of_range("CStringW: index out of range");
  text_[static_cast<size_t>(iChar)] = ch;
}

CStringW& CStringW::operator+=(const CStringW& str) {
  text_ += str.text_;
  return *this;
}

CStringW& CStringW::operator+=(const wchar_t* psz) {
  if (psz != nullptr) text_ += psz;
  return *this;
}

CStringW& CStringW::operator+=(wchar_t ch) {
  text_ += ch;
  return *this;
}

void CStringW::Append(const CStringW& str) { text_ += str.text_; }

void CStringW::Append(const wchar_t* psz) { *this += psz; }

void CStringW::Append(const wchar_t* psz, int nLength) {
  CheckRun(psz, nLength);
  if (nLength > 0) text_.append(psz, static_cast<size_t>(nLength));
}

void CStringW::AppendChar(wchar_t ch) { text_ += ch; }

int CStringW::Compare(const wchar_t* psz) const noexcept {
  return CompareFolded(GetString(), psz, [](wchar_t c) { return c; });
}

int CStringW::CompareNoCase(const wchar_t* psz) const noexcept {
  return CompareFolded(GetString(), psz, platform::AsciiToLower<wchar_t>);
}

int CStringW::Find(wchar_t ch, int iStart) const noexcept {
  if (iStart < 0 || iStart >= GetLength()) return -1;
  const size_t at = text_.find(ch, static_cast<size_t>(iStart));
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CStringW::Find(const wchar_t* pszSub, int iStart) const {
  if (pszSub == nullptr || iStart < 0 || iStart > GetLength()) return -1;
  const size_t at = text_.find(pszSub, static_cast<size_t>(iStart));
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CStringW::Replace(const wchar_t* pszOld, const wchar_t* pszNew) {
  if (pszOld == nullptr || *pszOld == L'\0') return 0;
  const std::wstring_view old_text(pszOld);
  const std::wstring_view new_text(pszNew != nullptr ? pszNew : L"");
  std::wstring result;
  int count = 0;
  size_t from = 0;
  for (size_t at; (at = text_.find(old_text, from)) != std::wstring::npos; from = at + old_text.size()) {
    result.append(text_, from, at - from).append(new_text);
    ++count;
  }
  if (count != 0) {
    result.append(text_, from, std::wstring::npos);
    text_.swap(result);
  }
  return count;
}

int CStringW::Replace(wchar_t chOld, wchar_t chNew) {
  if (chOld == chNew) return 0;
  int count = 0;
  for (wchar_t& c : text_) {
    if (c == chOld) {
      c = chNew;
      ++count;
    }
  }
  return count;
}

CStringW& CStringW::MakeUpper() noexcept {
  for (wchar_t& c : text_) c = platform::AsciiToUpper(c);
  return *this;
}

CStringW& CStringW::MakeLower() noexcept {
  for (wchar_t& c : text_) c = platform::AsciiToLower(c);
  return *this;
}

CStringW CStringW::Left(int nCount) const { return Mid(0, nCount); }

CStringW CStringW::Mid(int iFirst) const { return Mid(iFirst, GetLength()); }

CStringW CStringW::Mid(int iFirst, int nCount) const {
  const int64_t length = GetLength();
  const int64_t first = std::min<int64_t>(std::max(iFirst, 0), length);
  const int64_t count = std::min<int64_t>(std::max(nCount, 0), length - first);
  return CStringW(text_.data() + first, static_cast<int>(count));
}

CStringW CStringW::Right(int nCount) const {
  const int count = std::min(std::max(nCount, 0), GetLength());
  return Mid(GetLength() - count, count);
}

void CStringW::Format(const wchar_t* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  try {
    FormatV(pszFormat, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

void CStringW::AppendFormat(const wchar_t* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  try {
    AppendFormatV(pszFormat, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

void CStringW::FormatV(const wchar_t* pszFormat, va_list args) {
  std::wstring text;
  AppendFormatted(&text, pszFormat, args);
  text_.swap(text);
}

void CStringW::AppendFormatV(const wchar_t* pszFormat, va_list args) {
  AppendFormatted(&text_, pszFormat, args);
}
