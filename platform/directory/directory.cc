// The classes of platform/directory.h over the current backend
// (platform/directory/directory_backend.h). Entries and searchers hold a
// parsed path and a shared, immutable DirectoryObject; results and
// properties are views into that object.
#include "platform/directory.h"

#include <cstdint>
#include <cwchar>
#include <string>
#include <utility>

#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_object.h"
#include "platform/directory/directory_path.h"
#include "platform/hex.h"
#include "platform/utf8.h"

namespace {

constexpr char kSource[] = "directory";

using directory::DirectoryAttribute;
using directory::DirectoryObject;

[[noreturn]] void ThrowInvalidArgument(std::wstring_view message, std::wstring_view target = {}) {
  DirectoryErrorContext context;
  context.target = std::wstring(target);
  DIRECTORY_THROW(kDirectoryInvalidArgument, message, context);
}

// Refuses `text` (a path or a filter, named by `what`) when it holds a code
// unit that is not valid Unicode: on its way to the server it would become
// U+FFFD, and two different keys would run the same request.
void RequireValidUnicode(std::wstring_view text, std::wstring_view what) {
  const size_t at = platform::FindInvalidCodeUnit(text);
  if (at == std::wstring_view::npos) return;
  std::wstring message = std::wstring(what) + L" holds the code unit 0x";
  const auto unit = static_cast<uint32_t>(text[at]);
  for (int shift = 28; shift >= 0; shift -= 4) {
    if ((unit >> shift) != 0 || shift < 16) message += platform::UpperHexDigit<wchar_t>(unit >> shift);
  }
  message += L" at character " + std::to_wstring(at) + L", which is not a valid Unicode character";
  ThrowInvalidArgument(message, text);
}

// The attribute `index` of `object`; raises kDirectoryInvalidArgument when
// there is no such attribute.
const DirectoryAttribute& AttributeAt(const std::shared_ptr<const DirectoryObject>& object, size_t index) {
  if (object == nullptr || index >= object->attributes.size()) {
    ThrowInvalidArgument(L"property index " + std::to_wstring(index) + L" out of range");
  }
  return object->attributes[index];
}

_variant_t ValueAt(const DirectoryAttribute& attribute, size_t index) {
  if (index >= attribute.values.size()) {
    ThrowInvalidArgument(L"value index " + std::to_wstring(index) + L" out of range", attribute.name);
  }
  return attribute.values[index];
}

size_t PropertyCount(const std::shared_ptr<const DirectoryObject>& object) {
  return object == nullptr ? 0 : object->attributes.size();
}

directory::DirectoryPath ParsePath(const wchar_t* path) {
  if (path == nullptr) ThrowInvalidArgument(L"null directory path");
  RequireValidUnicode(path, L"the directory path");
  return directory::DirectoryPath::Parse(path);
}

}  // namespace

// CStringCollection -------------------------------------------------------------

CStringCollection::CStringCollection(const wchar_t** strings, unsigned long long count) {
  if (count > kMaxCount) ThrowInvalidArgument(L"attribute count " + std::to_wstring(count) + L" out of range");
  if (count > 0 && strings == nullptr) ThrowInvalidArgument(L"null attribute list");
  strings_.reserve(static_cast<size_t>(count));
  for (size_t i = 0; i < count; ++i) {
    if (strings[i] == nullptr || strings[i][0] == L'\0') {
      ThrowInvalidArgument(L"attribute name " + std::to_wstring(i) + L" is null or empty");
    }
    strings_.emplace_back(strings[i]);
  }
}

CStringCollection::~CStringCollection() = default;

// Properties ---------------------------------------------------------------------

namespace directory {

AttributeView::AttributeView(std::shared_ptr<const DirectoryObject> object, size_t index)
    : object_(std::move(object)), index_(index) {
  AttributeAt(object_, index_);
}

AttributeView::~AttributeView() = default;

const wchar_t* AttributeView::GetName() const { return AttributeAt(object_, index_).name.c_str(); }

size_t AttributeView::GetValueCount() const { return AttributeAt(object_, index_).values.size(); }

const _variant_t AttributeView::GetValue(size_t index) const { return ValueAt(AttributeAt(object_, index_), index); }

}  // namespace directory

// CSearchResult --------------------------------------------------------------------

CSearchResult::CSearchResult(std::shared_ptr<const DirectoryObject> object) : object_(std::move(object)) {}

CSearchResult::~CSearchResult() = default;

size_t CSearchResult::GetPropertyCount() const { return PropertyCount(object_); }

CSearchResultProperty CSearchResult::GetProperty(size_t index) const {
  AttributeAt(object_, index);
  return CSearchResultProperty(object_, index);
}

const wchar_t* CSearchResult::GetDistinguishedName() const {
  return object_ == nullptr ? L"" : object_->distinguished_name.c_str();
}

// CDirectoryEntry ------------------------------------------------------------------

CDirectoryEntry::CDirectoryEntry(const wchar_t* path)
    : path_(std::make_unique<directory::DirectoryPath>(ParsePath(path))) {}

CDirectoryEntry::CDirectoryEntry(const wchar_t* path, CStringCollection* attributes)
    : path_(std::make_unique<directory::DirectoryPath>(ParsePath(path))) {
  // The context of a failure is made only when there is one.
  const auto fail = [this](std::wstring_view message, int line) {
    DirectoryErrorContext context;
    context.server = path_->Server();
    context.operation = L"read";
    context.target = path_->ToString();
    directory::ThrowDirectoryError(kDirectoryNotFound, kSource, line, message, context);
  };
  if (path_->kind == directory::DirectoryPath::Kind::kRoot) {
    fail(L"the path names a search root, not an object", __LINE__);
  }
  static const std::vector<std::wstring> kServerDefaults;
  object_ = directory::CurrentBackend().ReadObject(*path_, attributes != nullptr ? attributes->strings()
                                                                                 : kServerDefaults);
  if (object_ == nullptr) fail(L"no such object", __LINE__);
}

CDirectoryEntry::~CDirectoryEntry() = default;

size_t CDirectoryEntry::GetPropertyCount() const { return PropertyCount(object_); }

CDirectoryProperty CDirectoryEntry::GetProperty(size_t index) const {
  AttributeAt(object_, index);
  return CDirectoryProperty(object_, index);
}

// CDirectorySearcher ---------------------------------------------------------------

CDirectorySearcher::CDirectorySearcher(CDirectoryEntry& root, const wchar_t* filter, CStringCollection* attributes,
                                       int scope)
    : root_(root), scope_(scope) {
  if (filter == nullptr || filter[0] == L'\0') ThrowInvalidArgument(L"null or empty search filter");
  const size_t length = std::wcslen(filter);
  if (length > kMaxFilterLength) {
    ThrowInvalidArgument(L"search filter of " + std::to_wstring(length) + L" characters is longer than " +
                         std::to_wstring(kMaxFilterLength));
  }
  if (scope != kDirectoryScopeBase && scope != kDirectoryScopeOneLevel && scope != kDirectoryScopeSubtree) {
    ThrowInvalidArgument(L"unknown search scope " + std::to_wstring(scope), filter);
  }
  filter_.assign(filter, length);
  RequireValidUnicode(filter_, L"the search filter");
  if (attributes != nullptr) attributes_ = attributes->strings();
}

CDirectorySearcher::~CDirectorySearcher() = default;

CSearchResult CDirectorySearcher::FindOne() {
  return CSearchResult(directory::CurrentBackend().SearchOne(root_.path(), filter_, attributes_, scope_));
}
