// Notices a rave that has been live for minutes without any guest ever connecting,
// and asks once for an investigation of why guests cannot find this computer.
// A plain value owned by the rave session's main thread; the caller passes the time.
#pragma once

#include <cstdint>
#include <optional>

namespace zoranth {

class DroughtWatch {
  public:
    struct Stage {
        enum class Case { quiet, fine, investigate };

        Case kind = Case::fine;
        double seconds = 0.0;  // how long the rave has been live without a guest; quiet only

        static Stage quiet(double forSeconds) { return {Case::quiet, forSeconds}; }
        static Stage fine() { return {Case::fine, 0.0}; }
        static Stage investigate() { return {Case::investigate, 0.0}; }

        bool operator==(const Stage&) const = default;
    };

    // Live this long without a guest is worth mentioning...
    static constexpr double quietAfterSeconds = 60.0;
    // ...and this long is worth looking into.
    static constexpr double investigateAfterSeconds = 180.0;

    // nowSeconds and liveSince are wall-clock seconds; liveSince is absent while no rave
    // is live. Returns investigate only once per watch; stage() keeps the standing state.
    Stage update(double nowSeconds, std::optional<double> liveSince, std::int64_t totalAccepted);

    bool everHadGuest() const { return everHadGuest_; }
    bool didInvestigate() const { return didInvestigate_; }
    const Stage& stage() const { return stage_; }

  private:
    bool everHadGuest_ = false;
    bool didInvestigate_ = false;
    Stage stage_ = Stage::fine();
};

}  // namespace zoranth
