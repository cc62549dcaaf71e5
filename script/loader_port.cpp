#include "script/loader_port.h"

#include "serial/component/com_port.h"
#include "serial/port_names.h"

namespace brimwell::script {

void applyLoaderPortProfile(serial::ComPort& port) {
    port.setBaud(kLoaderBaud);
    port.setAutoOpen(false);
    port.setHwFlowOptions(
        serial::HwFlowOptions{serial::HwFlowOption::UseRts, serial::HwFlowOption::RequireCts});
    port.setBufferFull(kLoaderBufferFull);
    port.setBufferResume(kLoaderBufferResume);
    port.setTraceHex(false);
    port.setLogHex(false);
}

std::string establishedOnComText(int comNumber) {
    // A port named by its path borrowed its number; the number would mean nothing to the operator.
    if (serial::comNamedByPath(static_cast<uint32_t>(comNumber)))
        return "Established communication on " + serial::portLabel(static_cast<uint32_t>(comNumber));
    return "Established communication on COM " + std::to_string(comNumber);
}

} // namespace brimwell::script
