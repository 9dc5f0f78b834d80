// The machine policy on Windows: the values of
// HKLM\SOFTWARE\Policies\Tavelin\Print, which only administrators (or Group
// Policy) may write. Texts are REG_SZ (a list, REG_MULTI_SZ, is joined with
// commas); numbers REG_DWORD.

#include <windows.h>

#include <vector>

#include "platform/machine_policy.h"
#include "platform/system_error.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

constexpr const wchar_t* kPolicyKey = L"SOFTWARE\\Policies\\Tavelin\\Print";
constexpr DWORD kMaxValueBytes = 64 * 1024;

class Key {
 public:
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::string utf8(const wchar_t* text, size_t units) {
  return wide_to_utf8(reinterpret_cast<const char16_t*>(text), units);
}

OsError failure(LONG code) { return OsStatus::Fail(static_cast<uint32_t>(code), describe_system_error(code)); }

}  // namespace

OsResult<std::optional<PolicyValues>> read_machine_policy() {
  Key key;
  const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ, key.out());
  if (opened == ERROR_FILE_NOT_FOUND) return std::optional<PolicyValues>();
  if (opened != ERROR_SUCCESS) return failure(opened);
  PolicyValues values;
  std::vector<wchar_t> name(256);
  std::vector<BYTE> data(kMaxValueBytes + 4);
  for (DWORD index = 0;; ++index) {
    DWORD name_units = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = kMaxValueBytes;
    const LONG r = RegEnumValueW(key.get(), index, name.data(), &name_units, nullptr, &type, data.data(), &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return failure(r);
    const std::string value_name = utf8(name.data(), name_units);
    // Unterminated registry texts are ended here.
    data[size] = 0;
    data[size + 1] = 0;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t units = size / sizeof(wchar_t);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      size_t n = 0;
      while (n < units && text[n] != 0) ++n;
      values[value_name] = utf8(text, n);
    } else if (type == REG_MULTI_SZ) {
      std::string joined;
      size_t start = 0;
      for (size_t i = 0; i <= units; ++i) {
        if (i == units || text[i] == 0) {
          if (i > start) {
            if (!joined.empty()) joined += ',';
            joined += utf8(text + start, i - start);
          }
          start = i + 1;
        }
      }
      values[value_name] = joined;
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number = 0;
      memcpy(&number, data.data(), sizeof number);
      values[value_name] = std::to_string(number);
    } else {
      return OsStatus::Fail(0, "the fleet policy's value \"" + value_name + "\" has a type the host does not read");
    }
  }
  return std::optional<PolicyValues>(std::move(values));
}

std::string machine_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 256] = {0};
  DWORD units = sizeof name / sizeof name[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &units)) return "localhost";
  return utf8(name, units);
}

std::string account_name() {
  wchar_t name[257] = {0};
  DWORD units = sizeof name / sizeof name[0];
  if (!GetUserNameW(name, &units) || units == 0) return "";
  return utf8(name, units - 1);  // the count includes the terminating null
}

}  // namespace tph
