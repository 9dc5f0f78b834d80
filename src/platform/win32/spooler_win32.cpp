#include <windows.h>
#include <winspool.h>

#include <memory>
#include <vector>

#include "platform/win32/winspool_print_system.h"
#include "platform/spooler.h"
#include "platform/system_error.h"
#include "platform/win32/last_error.h"
#include "platform/win32/win_handles.h"
#include "platform/win32/winspool_mapping.h"
#include "support/text_conversion.h"

namespace tph {
namespace {

using winspool::JobQuery;
using winspool::kMaxNameUnits;
using winspool::RawQueueName;
constexpr DWORD kJobInfo1Size = 96;  // sizeof(JOB_INFO_1W) on 64-bit Windows

// A spooler buffer of `bytes`, rounded up to a multiple of 8 and aligned for
// the structures the spooler writes into it.
struct SpoolerBuffer {
  explicit SpoolerBuffer(DWORD bytes) : words((static_cast<size_t>(bytes) + 7) / 8) {}
  BYTE* data() { return reinterpret_cast<BYTE*>(words.data()); }
  std::vector<uint64_t> words;
};

class Win32Spooler final : public Spooler {
 public:
  QueueList list_queues() override {
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0;
    DWORD returned = 0;
    BOOL first = EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &returned);
    if (needed == 0) {
      if (!first) return fail();
      return std::vector<QueueEntry>{};
    }
    SpoolerBuffer buffer(needed);
    if (!EnumPrintersW(flags, nullptr, 4, buffer.data(), needed, &needed, &returned)) return fail();
    const auto* records = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
    std::vector<RawQueueName> names;
    for (DWORD i = 0; i < returned; ++i) {
      RawQueueName name;
      const wchar_t* p = records[i].pPrinterName;
      if (!p) {
        name.is_null = true;
      } else {
        size_t n = 0;
        while (n < kMaxNameUnits && p[n] != L'\0') ++n;
        name.terminated = n < kMaxNameUnits;
        name.units.assign(reinterpret_cast<const char16_t*>(p), n);
      }
      names.push_back(std::move(name));
    }
    return winspool::queue_list(names, [this](const std::u16string& name) { return queue_facts(name); });
  }

  // One printer opened, not every queue enumerated and read: a watch asks
  // this twice a second. A queue that cannot be opened is not shown, as the
  // listing would not show it.
  std::optional<QueueEntry> queue_entry(const std::string& queue) override {
    // A name on another server is asked only if the listing shows it (a
    // connection the user made): opening any name a page gives would reach
    // out to servers twice a second.
    if (queue.rfind("\\\\", 0) == 0) return Spooler::queue_entry(queue);
    winspool::RawQueueName name;
    name.units = utf8_to_wide(queue);
    if (!name.units.empty() && name.units.back() == u'\0') name.units.pop_back();  // the units before the terminator
    QueueList one = winspool::queue_list({name}, [this](const std::u16string& n) { return queue_facts(n); });
    if (!one.ok() || one.value().size() != 1 || one.value()[0].state == "unavailable") return std::nullopt;
    return std::move(one.value()[0]);
  }

  std::optional<std::string> default_queue() override {
    DWORD size = 0;
    GetDefaultPrinterW(nullptr, &size);
    if (size == 0) return std::nullopt;
    std::vector<wchar_t> buffer(size);
    if (!GetDefaultPrinterW(buffer.data(), &size)) return std::nullopt;
    size_t n = 0;
    while (n < buffer.size() && buffer[n] != L'\0') ++n;
    return wide_to_utf8(std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), n));
  }

  // The spooler keeps no uuid of ours: the time it took the job tells the
  // attempt's job from another that got its id.
  JobObservation observe_job(const std::string& queue, uint32_t job_id, uint64_t record_created_ms,
                             const std::string&) override {
    return winspool::job_observation(query_job(utf8_to_wide(queue), job_id), record_created_ms);
  }

 private:
  // A text inside the buffer the spooler filled, never read past its end.
  static std::u16string bounded_text(const wchar_t* text, const SpoolerBuffer& buffer) {
    if (!text) return {};
    const wchar_t* end = reinterpret_cast<const wchar_t*>(buffer.words.data() + buffer.words.size());
    size_t n = 0;
    while (text + n < end && text[n] != L'\0') ++n;
    return std::u16string(reinterpret_cast<const char16_t*>(text), n);
  }

  // The Standard TCP/IP port monitor's settings of a port; all empty when
  // the port is not one of its.
  static winspool::TcpPortSettings tcp_port_settings(const std::u16string& port) {
    winspool::TcpPortSettings settings;
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP Port\\Ports\\" + port;
    auto number = [&key](const wchar_t* name) -> uint32_t {
      DWORD value = 0;
      DWORD size = sizeof value;
      if (RegGetValueW(HKEY_LOCAL_MACHINE, win::wide(key), name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return 0;
      }
      return value;
    };
    auto text = [&key](const wchar_t* name) -> std::u16string {
      wchar_t value[256] = {};
      DWORD size = sizeof value - sizeof(wchar_t);
      if (RegGetValueW(HKEY_LOCAL_MACHINE, win::wide(key), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
        return {};
      }
      size_t n = 0;
      while (n < 255 && value[n] != L'\0') ++n;
      return std::u16string(reinterpret_cast<const char16_t*>(value), n);
    };
    settings.protocol = number(L"Protocol");
    settings.port_number = number(L"PortNumber");
    settings.host_name = text(L"HostName");
    settings.ip_address = text(L"IPAddress");
    return settings;
  }

  // The status word, attributes and driver of one queue (NUL-terminated
  // UTF-16 name), or nothing when the queue cannot be opened or read.
  std::optional<winspool::QueueFacts> queue_facts(const std::u16string& queue) {
    win::PrinterHandle printer;
    if (!OpenPrinterW(const_cast<wchar_t*>(win::wide(queue)), printer.out(), nullptr)) return std::nullopt;
    DWORD needed = 0;
    GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
    if (needed < sizeof(PRINTER_INFO_2W)) return std::nullopt;
    SpoolerBuffer buffer(needed);
    if (!GetPrinterW(printer.get(), 2, buffer.data(), needed, &needed)) return std::nullopt;
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    winspool::QueueFacts facts;
    facts.status = info->Status;
    facts.attributes = info->Attributes;
    facts.driver = bounded_text(info->pDriverName, buffer);
    facts.comment = bounded_text(info->pComment, buffer);
    const std::u16string port = bounded_text(info->pPortName, buffer);
    if (!port.empty()) facts.device = winspool::tcp_port_device(tcp_port_settings(port));
    return facts;
  }

  JobQuery query_job(const std::u16string& queue, uint32_t job_id) {
    JobQuery q;
    win::PrinterHandle printer;
    if (!OpenPrinterW(const_cast<wchar_t*>(win::wide(queue)), printer.out(), nullptr)) return q;
    q.opened = true;
    DWORD needed = 0;
    GetJobW(printer.get(), job_id, 1, nullptr, 0, &needed);
    if (needed < kJobInfo1Size) {
      q.last_error = GetLastError();
      return q;
    }
    SpoolerBuffer buffer(needed);
    if (!GetJobW(printer.get(), job_id, 1, buffer.data(), needed, &needed)) {
      q.last_error = GetLastError();
      return q;
    }
    q.found = true;
    const JOB_INFO_1W* info = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
    q.status = info->Status;
    FILETIME submitted{};
    if (info->Submitted.wYear >= 1970 && SystemTimeToFileTime(&info->Submitted, &submitted)) {
      const uint64_t ticks = (uint64_t{submitted.dwHighDateTime} << 32) | submitted.dwLowDateTime;
      q.submitted_ms = (ticks - 116444736000000000ull) / 10000;
    }
    return q;
  }

  static OsError fail() { return win::last_error_status(); }
};

}  // namespace

std::unique_ptr<Spooler> new_winspool_spooler() { return std::make_unique<Win32Spooler>(); }

}  // namespace tph
