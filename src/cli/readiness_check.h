// The --check mode: runs the system checks and prints one verdict line per finding,
// its fix wrapped beneath it and a closing line that says whether guests can join.
// runReadinessCheck blocks the main thread until the checks are done.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/checks/system_checkup.h"

namespace zoranth {

// 0 when nothing needs attention, 1 otherwise.
std::int32_t runReadinessCheck();

struct ReadinessCheck {
    // What the report prints and how many findings need attention.
    struct Report {
        std::vector<std::string> lines;
        int needingAttention = 0;
        std::int32_t exitStatus() const { return needingAttention > 0 ? 1 : 0; }
    };

    // audio, network, firewall, and whether a browser gets the guest page.
    static std::vector<SystemCheckup::Finding> gather();

    // "PASS", "TODO", "FAIL" or "????".
    static std::string_view tag(SystemCheckup::Verdict verdict);

    // The fix, tidied, in lines of at most 72 characters, each indented by seven spaces.
    static std::vector<std::string> wrapped(std::string_view fix);

    // Every line after the heading: the findings, an empty line and the closing line.
    static Report report(const std::vector<SystemCheckup::Finding>& findings);

    static constexpr std::size_t lineWidth = 72;
    static constexpr std::string_view indent = "       ";
};

}  // namespace zoranth
