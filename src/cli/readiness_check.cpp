#include "cli/readiness_check.h"

#include <thread>

#include "host/capture/audio_capability.h"
#include "host/checks/guest_page_check.h"
#include "host/host_log.h"

namespace zoranth {
namespace {

// Characters, not bytes: the fixes carry quotes, dashes and ellipses of several bytes.
std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

}  // namespace

std::int32_t runReadinessCheck() {
    HostLog::line("");
    HostLog::line("=== system checks ===");
    // The checks block for seconds; they run on a thread of their own while this one waits.
    ReadinessCheck::Report report;
    std::thread checks([&report] {
        report = ReadinessCheck::report(ReadinessCheck::gather());
        for (const std::string& line : report.lines) {
            HostLog::line(line);
        }
    });
    checks.join();
    return report.exitStatus();
}

std::vector<SystemCheckup::Finding> ReadinessCheck::gather() {
    std::vector<SystemCheckup::Finding> findings = SystemCheckup::runAll(AudioCapability::probe());
    findings.push_back(GuestPageCheck::finding(GuestPageCheck::run()));
    return findings;
}

std::string_view ReadinessCheck::tag(SystemCheckup::Verdict verdict) {
    switch (verdict) {
        case SystemCheckup::Verdict::ok:
            return "PASS";
        case SystemCheckup::Verdict::warning:
            return "TODO";
        case SystemCheckup::Verdict::problem:
            return "FAIL";
        case SystemCheckup::Verdict::unknown:
            break;
    }
    return "????";
}

std::vector<std::string> ReadinessCheck::wrapped(std::string_view fix) {
    std::vector<std::string> lines;
    std::string line;
    const std::string words = SystemCheckup::tidy(fix);
    std::size_t start = 0;
    while (start < words.size()) {
        std::size_t end = words.find(' ', start);
        if (end == std::string::npos) {
            end = words.size();
        }
        const std::string_view word = std::string_view(words).substr(start, end - start);
        start = end + 1;
        // A word too long for any line stands alone rather than after an empty one.
        if (!line.empty() && characters(line) + 1 + characters(word) > lineWidth) {
            lines.push_back(std::string(indent) + line);
            line.clear();
        }
        if (!line.empty()) {
            line += ' ';
        }
        line += word;
    }
    if (!line.empty()) {
        lines.push_back(std::string(indent) + line);
    }
    return lines;
}

ReadinessCheck::Report ReadinessCheck::report(const std::vector<SystemCheckup::Finding>& findings) {
    Report report;
    for (const SystemCheckup::Finding& finding : findings) {
        const std::string_view label = tag(finding.verdict);
        if (finding.verdict == SystemCheckup::Verdict::warning ||
            finding.verdict == SystemCheckup::Verdict::problem) {
            ++report.needingAttention;
        }
        report.lines.push_back("[" + std::string(label) + "] " + finding.title + ": " +
                               finding.detail);
        if (!finding.fix.empty()) {
            for (std::string& line : wrapped(finding.fix)) {
                report.lines.push_back(std::move(line));
            }
        }
    }
    report.lines.emplace_back();
    if (report.needingAttention > 0) {
        report.lines.push_back(std::to_string(report.needingAttention) +
                               " setting(s) need attention before guests can join.");
    } else {
        report.lines.push_back("Ready to start a rave.");
    }
    return report;
}

}  // namespace zoranth
