#include "script/loader_port.h"

#include "serial/component/com_port.h"
#include "serial/port_names.h"

namespace brimwell::script {

void applyLoaderPortProfile(TQuavComPort& port) {
    port.SetBaud(kLoaderBaud);
    port.SetAutoOpen(false);
    port.SetHWFlowOptions(THWFlowOptions{hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(kLoaderBufferFull);
    port.SetBufferResume(kLoaderBufferResume);
    port.SetTraceHex(false);
    port.SetLogHex(false);
}

std::string establishedOnComText(int comNumber) {
    // A port named by its path borrowed its number; the number would mean nothing to the operator.
    if (comNamedByPath(static_cast<uint32_t>(comNumber)))
        return "Established communication on " + portLabel(static_cast<uint32_t>(comNumber));
    return "Established communication on COM " + std::to_string(comNumber);
}

} // namespace brimwell::script
