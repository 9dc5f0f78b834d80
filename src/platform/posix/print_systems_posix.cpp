// The print systems of the POSIX build. Another (a direct socket path, say)
// is one more row here and a folder of its own.
#include "platform/cups/cups_print_system.h"

namespace tph {
namespace {

struct Entry {
  std::string_view name;
  std::unique_ptr<PrintSystem> (*open)();
};
constexpr Entry kSystems[] = {{"cups", open_cups_print_system}};

}  // namespace

std::vector<std::string_view> print_system_names() {
  std::vector<std::string_view> names;
  for (const Entry& e : kSystems) names.push_back(e.name);
  return names;
}

std::unique_ptr<PrintSystem> open_print_system(std::string_view name) {
  for (const Entry& e : kSystems) {
    if (e.name == name) return e.open();
  }
  return nullptr;
}

}  // namespace tph
