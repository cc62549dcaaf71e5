// Device layer choice by port name.
#include "serial/device_layers.h"

#include "serial/net_endpoint.h"
#include "serial/rfc2217_dispatcher.h"
#include "serial/socket_dispatcher.h"
#include "serial/termios_dispatcher.h"

namespace brimwell {

std::unique_ptr<TQuavBaseDispatcher> makeDeviceLayer(const std::string& path, void* owner) {
    switch (netSchemeOf(path)) {
    case NetScheme::Socket:
        return std::make_unique<TQuavSocketDispatcher>(owner);
    case NetScheme::Rfc2217:
        return std::make_unique<TQuavRfc2217Dispatcher>(owner);
    case NetScheme::None:
        break;
    }
    return std::make_unique<TQuavWin32Dispatcher>(owner);
}

} // namespace brimwell
