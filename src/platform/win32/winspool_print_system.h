#pragma once
// Printing through the Windows spooler: its ports (GDI documents, RAW jobs),
// and the print system made of them.

#include <memory>

#include "platform/print_system.h"

namespace tph {

std::unique_ptr<Spooler> new_winspool_spooler();
std::unique_ptr<PrintDocument> new_gdi_print_document();
std::unique_ptr<RawPrintJob> new_winspool_raw_print_job();

std::unique_ptr<PrintSystem> open_winspool_print_system();

}  // namespace tph
