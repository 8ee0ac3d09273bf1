#include "host/capture/host_error.h"

namespace zoranth {

std::string_view HostError::description() const {
    switch (which) {
        case Case::ringAllocationFailed:
            return "could not allocate the capture ring buffer";
        case Case::tapFormatUnavailable:
            return "the sound server reported no usable stream format for the capture";
        case Case::alreadyRunning:
            return "capture is already running";
    }
    return "unknown capture failure";
}

}  // namespace zoranth
