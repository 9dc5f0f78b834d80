#include "platform/print_system.h"

namespace tph {

std::vector<std::string_view> print_system_names() {
  std::vector<std::string_view> names;
  for (const PrintSystemEntry& e : print_system_table()) names.push_back(e.name);
  return names;
}

std::unique_ptr<PrintSystem> open_print_system(std::string_view name) {
  for (const PrintSystemEntry& e : print_system_table()) {
    if (e.name == name) return e.open();
  }
  return nullptr;
}

}  // namespace tph
