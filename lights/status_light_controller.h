// Drives up to eight status lights from one serial port: CTS, DSR, DCD and RING follow the modem
// lines, RXD and TXD flash on traffic, ERROR and BREAK on line errors and breaks. It learns of
// changes through the port's triggers and takes over the port's handlers while it monitors.
#pragma once

#include "lights/status_light.h"
#include "serial/component/com_port.h"

#include <QObject>
#include <QPointer>

#include <cstdint>

namespace brimwell::lights {

// References to the lights a controller drives; it does not own them.
struct LightSet {
    QPointer<StatusLight> ctsLight;
    QPointer<StatusLight> dsrLight;
    QPointer<StatusLight> dcdLight;
    QPointer<StatusLight> ringLight;
    QPointer<StatusLight> txdLight;
    QPointer<StatusLight> rxdLight;
    QPointer<StatusLight> errorLight;
    QPointer<StatusLight> breakLight;
};

enum class Operation { Insert, Remove };

class StatusLightController : public QObject {
    Q_OBJECT
  public:
    // Modem-status mask bits and the line-status values the controller arms its triggers with.
    static constexpr uint16_t kMaskCTS = 0x10;
    static constexpr uint16_t kMaskDSR = 0x20;
    static constexpr uint16_t kMaskDCD = 0x80;
    static constexpr uint16_t kMaskRING = 0x04;
    static constexpr uint16_t kLineErrorValue = 7;
    static constexpr uint16_t kBreakValue = 8;

    // `port` stands for the first port among the owner's components (may be null).
    explicit StatusLightController(QObject* owner = nullptr, serial::ComPort* port = nullptr);
    ~StatusLightController() override;

    serial::ComPort* comPort() const { return port_; }
    void setComPort(serial::ComPort* port);
    const LightSet& lights() const { return lights_; }
    void setLights(const LightSet& set);

    bool monitoring() const { return monitoring_; }
    void setMonitoring(bool on);
    bool monitorOnOpen() const { return monitorOnOpen_; }

    int32_t errorOffTimeout = 36;
    int32_t breakOffTimeout = 36;
    int32_t rxdOffTimeout = 1;
    int32_t txdOffTimeout = 1;
    int32_t ringOffTimeout = 8;

    bool hasCtsLight() const { return lights_.ctsLight; }
    bool hasDsrLight() const { return lights_.dsrLight; }
    bool hasDcdLight() const { return lights_.dcdLight; }
    bool hasRingLight() const { return lights_.ringLight; }
    bool hasTxdLight() const { return lights_.txdLight; }
    bool hasRxdLight() const { return lights_.rxdLight; }
    bool hasErrorLight() const { return lights_.errorLight; }
    bool hasBreakLight() const { return lights_.breakLight; }

    // The owner finished setting the controller up: start following the port's open and close.
    void loaded();
    // A component joined or left the owner.
    void notification(serial::ComPort* port, Operation operation);
    void notification(StatusLight* light, Operation operation);

    // Handlers installed on the port while monitoring, and the port's open/close callback.
    void statTriggerAvail(serial::ComPort* CP, uint16_t count);
    void statTriggerStatus(serial::ComPort* CP, uint16_t TriggerHandle);
    void statTriggerTimer(serial::ComPort* CP, uint16_t TriggerHandle);
    void statPortClose(serial::ComPort* CP, bool Opening);

    // The modem-status mask in use and the trigger handles (0 when absent).
    uint16_t modemMask() const { return mask_; }
    int32_t modemTrigger() const { return modemTrigger_; }
    int32_t rxdOffTimer() const { return rxdOffTimer_; }
    int32_t txdTrigger() const { return txdTrigger_; }
    int32_t txdOffTimer() const { return txdOffTimer_; }

  protected:
    void addTriggers();
    void removeTriggers();
    void initTriggers();
    void initLights();
    static void checkLight(bool lit, StatusLight* light);

  private:
    void registerWith(serial::ComPort* port);
    void deregisterFrom(serial::ComPort* port);
    bool anyModemLight() const;
    void dropTriggersBeforeClose();

    serial::ComPort* port_ = nullptr;
    LightSet lights_;
    bool monitoring_ = false;
    bool monitorOnOpen_ = false;
    bool loaded_ = false;
    serial::TriggerAvailEvent savedAvail_;
    serial::TriggerStatusEvent savedStatus_;
    serial::TriggerTimerEvent savedTimer_;
    uint16_t mask_ = 0;
    int32_t modemTrigger_ = 0;
    int32_t lineErrorTrigger_ = 0;
    int32_t breakTrigger_ = 0;
    int32_t errorOffTimer_ = 0;
    int32_t breakOffTimer_ = 0;
    int32_t rxdOffTimer_ = 0;
    int32_t txdTrigger_ = 0;
    int32_t txdOffTimer_ = 0;
    int32_t ringOffTimer_ = 0;
};

} // namespace brimwell::lights
