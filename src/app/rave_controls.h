// What the window's models ask of the rave: start and end it, silence the speakers, pick
// the quality, change the settings. The broadcast controller carries each request out on
// the rave session and keeps the settings in the preferences; the window's tests record
// the requests instead. Main thread only.
#pragma once

#include <QString>

#include <cstddef>

#include "kit/quality_tier.h"

namespace zoranth {

class RaveControls {
  public:
    virtual ~RaveControls() = default;

    // From idle or failed: brings the capture up off the main thread, then goes live.
    virtual void start() = 0;
    // Ends the rave (or forgets one still starting).
    virtual void stop() = 0;
    // False when the speakers could not be muted or unmuted.
    virtual bool muteSpeakers() = 0;
    virtual bool unmuteSpeakers() = 0;
    // The room tier chosen by hand; every guest follows at once.
    virtual void setQuality(QualityTier tier) = 0;
    // Settings: each is stored for the next launch as well.
    virtual void setQualityFloor(QualityTier floor) = 0;
    virtual void setQualityAutomatic(bool automatic) = 0;
    virtual void setRaveName(const QString& name) = 0;
    virtual void setBufferDelayMs(double milliseconds) = 0;
    // How many guests the rave takes; a live rave turns away the connections beyond it.
    virtual void setMaxGuests(std::size_t guests) = 0;
};

}  // namespace zoranth
