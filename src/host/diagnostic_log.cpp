#include "host/diagnostic_log.h"

#include <systemd/sd-journal.h>

namespace zoranth {

void DiagnosticLog::write(std::string_view category, std::string_view text) {
    // Each field is a printf format: the texts go in as arguments, never as formats.
    sd_journal_send("MESSAGE=%.*s", static_cast<int>(text.size()), text.data(),
                    "ZORANTH_CATEGORY=%.*s", static_cast<int>(category.size()), category.data(),
                    "SYSLOG_IDENTIFIER=zoranth-host", "PRIORITY=7", nullptr);
}

}  // namespace zoranth
