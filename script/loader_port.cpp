#include "script/loader_port.h"

#include "serial/component/com_port.h"

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
    return "Established communication on COM " + std::to_string(comNumber);
}

} // namespace brimwell::script
