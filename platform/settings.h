// The management-settings store: typed values grouped by settings class and
// instance, read from a TOML file.
//
// File: the path SetSettingsPathOverride set, else the path in the
// environment variable USERPOLICY_SETTINGS, else DefaultSettingsPath() when
// it is unset or empty. A settings object
// names one table of that file by class and instance:
//
//   [QV_DSAccess.DEFAULT]
//   UserIdentityCacheTimeout = 120                                   # VT_I4
//   UserIdentityCacheMaximum = { type = "VT_UI4", value = 4294967295 }
//   Comment = "text"                                                 # VT_BSTR
//
// A plain integer is a VT_I4 (it must fit 32 bits), a plain string a VT_BSTR,
// a boolean a VT_BOOL and a floating-point number a VT_R8. Any other variant
// type is written as an inline table { type = "<VT name>", value = <value> }
// with one of VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_I8, VT_UI8,
// VT_BOOL, VT_R8, VT_BSTR (the "VT_" prefix and letter case are optional).
// A value of an unknown type or shape, or out of its type's range, is absent
// and reported by one warning (level 4099) naming the key and its line; the
// other values still load. A file that does not parse is reported by one
// warning naming the file, line and column, and Get() is false. A missing
// file is not an error: Get() is false and the callers' defaults apply.
// Property names are matched without regard to ASCII case.
//
// Thread safety: a settings object is used by one thread; any number of
// objects may be built and read on different threads at once. The free
// functions below may be called from any thread.
#ifndef USERPOLICY_PLATFORM_SETTINGS_H_
#define USERPOLICY_PLATFORM_SETTINGS_H_

#include <map>
#include <string>

#include "platform/com.h"

// Environment variable that names the settings file.
inline constexpr char kSettingsPathVariable[] = "USERPOLICY_SETTINGS";

// The settings file when nothing names another: /etc/userpolicy/settings.toml
// on Linux; userpolicy\settings.toml in the machine's program-data folder
// (%ProgramData%, usually C:\ProgramData) on Windows, in the ANSI code page.
// Thread-safe.
std::string DefaultSettingsPath();

// Makes every settings object read `path` from now on, whatever the
// environment says (a host that embeds the library names its file without
// changing the process environment, which other threads may be reading);
// an empty path removes the override. A Get() running at that moment reads
// the old or the new file.
void SetSettingsPathOverride(const std::string& path);

// The file settings are read from now: the override, else
// USERPOLICY_SETTINGS, else DefaultSettingsPath().
std::string CurrentSettingsPath();

// Whether the file `path` can be read and parses. Returns false with
// *problem set to one line naming the file (and, when it does not parse, the
// line, the column and what is wrong there). Values of unknown types do not
// count: Get() skips them and reads the rest.
// REQUIRES: problem != nullptr.
bool CheckSettingsFile(const std::string& path, std::string* problem);

class CMgmtObjectBase {
 public:
  CMgmtObjectBase() = default;
  CMgmtObjectBase(const CMgmtObjectBase&) = delete;
  CMgmtObjectBase& operator=(const CMgmtObjectBase&) = delete;
  virtual ~CMgmtObjectBase();

  // The value stored under `name`, owned by this object, or null when the
  // value is absent (or the settings were not read).
  const _variant_t* GetPropertyValue(const wchar_t* name);
  // The line of the file that holds `name`, or 0 when it is absent.
  int GetPropertyLine(const wchar_t* name) const;
  // The file the values were read from (empty before a successful Get).
  const std::string& GetSourcePath() const { return path_; }

 protected:
  struct AsciiCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
  };
  struct StoredValue {
    _variant_t value;
    int line = 0;
  };

  std::map<std::wstring, StoredValue, AsciiCaseLess> values_;
  std::string path_;
};

class CMgmtObject : public CMgmtObjectBase {
 public:
  // Names the table [class_name.instance_name]; `reserved` must be null.
  CMgmtObject(const wchar_t* class_name, const wchar_t* instance_name, const wchar_t* reserved);
  ~CMgmtObject() override;

  // Reads the settings file. True when the file was read and holds the
  // table; false when there is no file, it does not parse, or it has no such
  // table (every value is then absent).
  bool Get();

 private:
  std::wstring class_name_;
  std::wstring instance_name_;
};

#endif  // USERPOLICY_PLATFORM_SETTINGS_H_
