#pragma once
// Printing through CUPS: its ports, and the print system made of them.

#include <memory>

#include "platform/print_system.h"

namespace tph {

std::unique_ptr<Spooler> new_cups_spooler();
std::unique_ptr<PrintDocument> new_cups_print_document();
std::unique_ptr<RawPrintJob> new_cups_raw_print_job();

std::unique_ptr<PrintSystem> open_cups_print_system();

}  // namespace tph
