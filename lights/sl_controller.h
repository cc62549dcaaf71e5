// Drives up to eight status lights from one serial port: CTS, DSR, DCD and RING follow the modem
// lines, RXD and TXD flash on traffic, ERROR and BREAK on line errors and breaks. It learns of
// changes through the port's triggers and takes over the port's handlers while it monitors.
#pragma once

#include "lights/status_light.h"
#include "serial/component/com_port.h"

#include <QObject>
#include <QPointer>

#include <cstdint>

namespace brimwell {

// References to the lights a controller drives; it does not own them.
struct TLightSet {
    QPointer<TQuavCustomStatusLight> CTSLight;
    QPointer<TQuavCustomStatusLight> DSRLight;
    QPointer<TQuavCustomStatusLight> DCDLight;
    QPointer<TQuavCustomStatusLight> RINGLight;
    QPointer<TQuavCustomStatusLight> TXDLight;
    QPointer<TQuavCustomStatusLight> RXDLight;
    QPointer<TQuavCustomStatusLight> ERRORLight;
    QPointer<TQuavCustomStatusLight> BREAKLight;
};

enum class TOperation { opInsert, opRemove };

class TQuavCustomSLController : public QObject {
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
    explicit TQuavCustomSLController(QObject* owner = nullptr, serial::ComPort* port = nullptr);
    ~TQuavCustomSLController() override;

    serial::ComPort* comPort() const { return port_; }
    void setComPort(serial::ComPort* port);
    const TLightSet& Lights() const { return lights_; }
    void SetLights(const TLightSet& set);

    bool Monitoring() const { return monitoring_; }
    void SetMonitoring(bool on);
    bool MonitorOnOpen() const { return monitorOnOpen_; }

    int32_t ErrorOffTimeout = 36;
    int32_t BreakOffTimeout = 36;
    int32_t RXDOffTimeout = 1;
    int32_t TXDOffTimeout = 1;
    int32_t RingOffTimeout = 8;

    bool GetHaveCTSLight() const { return lights_.CTSLight; }
    bool GetHaveDSRLight() const { return lights_.DSRLight; }
    bool GetHaveDCDLight() const { return lights_.DCDLight; }
    bool GetHaveRINGLight() const { return lights_.RINGLight; }
    bool GetHaveTXDLight() const { return lights_.TXDLight; }
    bool GetHaveRXDLight() const { return lights_.RXDLight; }
    bool GetHaveERRORLight() const { return lights_.ERRORLight; }
    bool GetHaveBREAKLight() const { return lights_.BREAKLight; }

    // The owner finished setting the controller up: start following the port's open and close.
    void loaded();
    // A component joined or left the owner.
    void Notification(serial::ComPort* port, TOperation operation);
    void Notification(TQuavCustomStatusLight* light, TOperation operation);

    // Handlers installed on the port while monitoring, and the port's open/close callback.
    void StatTriggerAvail(serial::ComPort* CP, uint16_t count);
    void StatTriggerStatus(serial::ComPort* CP, uint16_t TriggerHandle);
    void StatTriggerTimer(serial::ComPort* CP, uint16_t TriggerHandle);
    void StatPortClose(serial::ComPort* CP, bool Opening);

    // The modem-status mask in use and the trigger handles (0 when absent).
    uint16_t ModemMask() const { return mask_; }
    int32_t ModemTrigger() const { return modemTrigger_; }
    int32_t RXDOffTimer() const { return rxdOffTimer_; }
    int32_t TXDTrigger() const { return txdTrigger_; }
    int32_t TXDOffTimer() const { return txdOffTimer_; }

  protected:
    void AddTriggers();
    void RemoveTriggers();
    void InitTriggers();
    void InitLights();
    static void CheckLight(bool lit, TQuavCustomStatusLight* light);

  private:
    void registerWith(serial::ComPort* port);
    void deregisterFrom(serial::ComPort* port);
    bool anyModemLight() const;
    void dropTriggersBeforeClose();

    serial::ComPort* port_ = nullptr;
    TLightSet lights_;
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

class TQuavSLController : public TQuavCustomSLController {
    Q_OBJECT
  public:
    using TQuavCustomSLController::TQuavCustomSLController;
};

} // namespace brimwell
