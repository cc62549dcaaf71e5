// The event a port component sends to its registered user windows (QObjects) when the port
// opens (0x7E08), closes (0x7E09) or, for extended users, is about to close (0x7E0A).
#pragma once

#include <QEvent>
#include <cstdint>

namespace brimwell::serial {

class PortMessage : public QEvent {
  public:
    PortMessage(uint32_t msg, uint32_t wParam, int32_t lParam);
    // The QEvent type of every PortMessage.
    static QEvent::Type eventType();

    uint32_t msg;
    uint32_t wParam;
    int32_t lParam;
};

} // namespace brimwell::serial
