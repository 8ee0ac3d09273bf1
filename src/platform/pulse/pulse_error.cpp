#include "platform/pulse/pulse_error.h"

#include <pulse/error.h>

namespace zoranth {

std::string PulseError::text() const {
    const char* text = pa_strerror(code);
    return text != nullptr ? text : "unknown error";
}

}  // namespace zoranth
