#include "host/capture/host_error.h"

namespace zoranth {

std::string_view HostError::description() const {
    switch (which) {
        case Case::ringAllocationFailed:
            return "could not allocate the capture ring buffer";
        case Case::tapFormatUnavailable:
            return "the tap reported no usable stream format";
        case Case::noInputStreams:
            return "The tap produced no input streams. This almost always means system audio "
                   "recording access was denied. Open System Settings > Privacy & Security and "
                   "allow Zoranth Host under Audio Recording (and Screen & System Audio "
                   "Recording, if present).";
        case Case::alreadyRunning:
            return "capture is already running";
        case Case::ioProcNotCreated:
            return "Core Audio reported success but produced no IOProc ID";
    }
    return "unknown capture failure";
}

}  // namespace zoranth
