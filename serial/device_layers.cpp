// Device layer choice by port name.
#include "serial/device_layers.h"

#include <mutex>
#include <utility>
#include <vector>

#include "serial/net_endpoint.h"
#include "serial/rfc2217_device.h"
#include "serial/socket_device.h"
#include "serial/termios_device.h"

namespace brimwell::serial {
namespace {

struct Registered {
    std::mutex lock;
    std::vector<std::pair<std::string, DeviceLayerFactory>> layers;
};

Registered& registered() {
    static Registered r;
    return r;
}

DeviceLayerFactory registeredFor(const std::string& path) {
    Registered& r = registered();
    std::lock_guard<std::mutex> g(r.lock);
    for (const auto& [prefix, factory] : r.layers)
        if (path.rfind(prefix, 0) == 0) return factory;
    return {};
}

} // namespace

void registerDeviceLayer(const std::string& prefix, DeviceLayerFactory factory) {
    Registered& r = registered();
    std::lock_guard<std::mutex> g(r.lock);
    r.layers.emplace_back(prefix, std::move(factory));
}

bool isRegisteredLayerName(const std::string& path) {
    return !path.empty() && registeredFor(path) != nullptr;
}

std::unique_ptr<DeviceLayer> makeDeviceLayer(const std::string& path) {
    if (const DeviceLayerFactory factory = registeredFor(path)) return factory();
    switch (netSchemeOf(path)) {
    case NetScheme::Socket:
        return std::make_unique<SocketDevice>();
    case NetScheme::Rfc2217:
        return std::make_unique<Rfc2217Device>();
    case NetScheme::None:
        break;
    }
    return std::make_unique<TermiosDevice>();
}

} // namespace brimwell::serial
