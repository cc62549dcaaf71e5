// Status-light controller: trigger bookkeeping and the handlers that switch the lights.
#include "lights/status_light_controller.h"

#include "lights/status_light.h"
#include "serial/error_codes.h"

namespace brimwell::lights {

StatusLightController::StatusLightController(QObject* owner, serial::ComPort* port)
    : QObject(owner), port_(port) {}

StatusLightController::~StatusLightController() {
    try {
        if (port_) setMonitoring(false);
    } catch (const std::exception&) {
        // The port may already be going; nothing is left to put back.
    }
    deregisterFrom(port_);
}

void StatusLightController::registerWith(serial::ComPort* port) {
    if (!port || !loaded_) return;
    port->registerUserCallback(this,
                               [this](serial::ComPort* cp, bool opening) { statPortClose(cp, opening); });
    port->registerUserCallbackEx(this, [this](serial::ComPort*, serial::CallbackType type) {
        if (type == serial::CallbackType::Closing) dropTriggersBeforeClose();
    });
}

void StatusLightController::deregisterFrom(serial::ComPort* port) {
    if (!port) return;
    port->deregisterUserCallback(this);
    port->deregisterUserCallbackEx(this);
}

void StatusLightController::dropTriggersBeforeClose() {
    // The port keeps its triggers across a close and hands them back at the next open, but the
    // controller adds fresh ones when monitoring resumes. Left in place, every reopen would leave
    // one more set behind until the port runs out of triggers, so take ours out before the port
    // saves its list. The port no longer accepts calls while it closes; its dispatcher still does.
    serial::Dispatcher* d = port_ ? port_->currentDispatcher() : nullptr;
    if (!d || !monitoring_) return;
    for (int32_t handle : {modemTrigger_, lineErrorTrigger_, breakTrigger_, errorOffTimer_, breakOffTimer_,
                           rxdOffTimer_, txdTrigger_, txdOffTimer_, ringOffTimer_})
        if (handle != 0) d->removeTrigger(handle);
}

void StatusLightController::loaded() {
    if (loaded_) return;
    loaded_ = true;
    registerWith(port_);
}

void StatusLightController::setLights(const LightSet& set) {
    lights_ = set;
}

bool StatusLightController::anyModemLight() const {
    return hasCtsLight() || hasDsrLight() || hasDcdLight() || hasRingLight();
}

void StatusLightController::setMonitoring(bool on) {
    if (on == monitoring_) return;
    if (!port_) throw serial::PortNotAssignedError(serial::result::kPortNotAssigned);
    // A port whose close waits for a notification to end still reads as open but takes no more
    // triggers: it counts as closed, and monitoring starts when it opens again.
    if (!port_->isOpen() || port_->portState() == serial::PortState::ShuttingDown) {
        monitorOnOpen_ = on;
        if (on) return; // starts when the port opens
    }
    monitoring_ = on;
    if (on) {
        savedAvail_ = port_->onTriggerAvail();
        savedStatus_ = port_->onTriggerStatus();
        savedTimer_ = port_->onTriggerTimer();
        port_->setOnTriggerAvail([this](serial::ComPort* cp, uint16_t n) { statTriggerAvail(cp, n); });
        port_->setOnTriggerStatus([this](serial::ComPort* cp, uint16_t h) { statTriggerStatus(cp, h); });
        port_->setOnTriggerTimer([this](serial::ComPort* cp, uint16_t h) { statTriggerTimer(cp, h); });
        addTriggers();
    } else {
        port_->setOnTriggerAvail(savedAvail_);
        port_->setOnTriggerStatus(savedStatus_);
        port_->setOnTriggerTimer(savedTimer_);
        savedAvail_ = nullptr;
        savedStatus_ = nullptr;
        savedTimer_ = nullptr;
        removeTriggers();
    }
    initLights();
}

void StatusLightController::initTriggers() {
    mask_ = 0;
    modemTrigger_ = lineErrorTrigger_ = breakTrigger_ = 0;
    errorOffTimer_ = breakOffTimer_ = rxdOffTimer_ = 0;
    txdTrigger_ = txdOffTimer_ = ringOffTimer_ = 0;
}

void StatusLightController::addTriggers() {
    initTriggers();
    if (!port_) return;
    try {
        if (anyModemLight()) {
            modemTrigger_ = port_->addStatusTrigger(serial::kStatusModem);
            if (hasRingLight()) ringOffTimer_ = port_->addTimerTrigger();
        }
        if (hasErrorLight()) {
            lineErrorTrigger_ = port_->addStatusTrigger(serial::kStatusLine);
            errorOffTimer_ = port_->addTimerTrigger();
        }
        if (hasBreakLight()) {
            breakTrigger_ = port_->addStatusTrigger(serial::kStatusLine);
            breakOffTimer_ = port_->addTimerTrigger();
        }
        if (hasRxdLight()) rxdOffTimer_ = port_->addTimerTrigger();
        if (hasTxdLight()) {
            txdTrigger_ = port_->addStatusTrigger(serial::kStatusOutSent);
            txdOffTimer_ = port_->addTimerTrigger();
        }
        if (hasCtsLight()) mask_ |= kMaskCTS;
        if (hasDsrLight()) mask_ |= kMaskDSR;
        if (hasDcdLight()) mask_ |= kMaskDCD;
        if (hasRingLight()) mask_ |= kMaskRING;
        if (anyModemLight()) port_->setStatusTrigger(modemTrigger_, mask_, true);
        if (hasErrorLight()) port_->setStatusTrigger(lineErrorTrigger_, kLineErrorValue, true);
        if (hasBreakLight()) port_->setStatusTrigger(breakTrigger_, kBreakValue, true);
        if (hasTxdLight()) port_->setStatusTrigger(txdTrigger_, 0, true);
    } catch (...) {
        mask_ = 0;
        removeTriggers();
        throw;
    }
}

void StatusLightController::removeTriggers() {
    if (port_) {
        try {
            auto remove = [this](int32_t handle) {
                if (handle != 0) port_->removeTrigger(handle);
            };
            if (anyModemLight()) remove(modemTrigger_);
            if (hasRingLight()) remove(ringOffTimer_);
            if (hasErrorLight()) {
                remove(lineErrorTrigger_);
                remove(errorOffTimer_);
            }
            if (hasBreakLight()) {
                remove(breakTrigger_);
                remove(breakOffTimer_);
            }
            if (hasRxdLight()) remove(rxdOffTimer_);
            if (hasTxdLight()) {
                remove(txdTrigger_);
                remove(txdOffTimer_);
            }
        } catch (...) {
            initTriggers();
            throw;
        }
    }
    initTriggers();
}

void StatusLightController::checkLight(bool lit, StatusLight* light) {
    if (light && light->lit() != lit) light->setLit(lit);
}

void StatusLightController::initLights() {
    for (StatusLight* l : {lights_.ctsLight.data(), lights_.dsrLight.data(), lights_.dcdLight.data(),
                           lights_.ringLight.data(), lights_.txdLight.data(), lights_.rxdLight.data(),
                           lights_.errorLight.data(), lights_.breakLight.data()})
        if (l) l->setLit(false);
    if (port_ && monitoring_) {
        checkLight(port_->getCts(), lights_.ctsLight);
        checkLight(port_->getDsr(), lights_.dsrLight);
        checkLight(port_->getDcd(), lights_.dcdLight);
    }
}

void StatusLightController::statTriggerAvail(serial::ComPort* CP, uint16_t count) {
    if (!port_) return;
    if (lights_.rxdLight && !lights_.rxdLight->lit()) {
        lights_.rxdLight->setLit(true);
        port_->setTimerTrigger(rxdOffTimer_, rxdOffTimeout, true);
    }
    if (savedAvail_) savedAvail_(CP, count);
}

void StatusLightController::statTriggerStatus(serial::ComPort* CP, uint16_t TriggerHandle) {
    if (!port_) return;
    const int32_t h = TriggerHandle;
    if (h != 0 && h == modemTrigger_) {
        checkLight(port_->getDcd(), lights_.dcdLight);
        checkLight(port_->getCts(), lights_.ctsLight);
        checkLight(port_->getDsr(), lights_.dsrLight);
        if (lights_.ringLight && port_->getDeltaRi() && !lights_.ringLight->lit()) {
            lights_.ringLight->setLit(true);
            port_->setTimerTrigger(ringOffTimer_, ringOffTimeout, true);
        }
        port_->setStatusTrigger(modemTrigger_, mask_, true);
    } else if (h != 0 && h == lineErrorTrigger_) {
        if (lights_.errorLight) lights_.errorLight->setLit(true);
        port_->setTimerTrigger(errorOffTimer_, errorOffTimeout, true);
        (void)port_->getLineError();
    } else if (h != 0 && h == breakTrigger_) {
        if (lights_.breakLight) lights_.breakLight->setLit(true);
        port_->setTimerTrigger(breakOffTimer_, breakOffTimeout, true);
        (void)port_->getLineBreak();
    } else if (h != 0 && h == txdTrigger_) {
        if (lights_.txdLight) lights_.txdLight->setLit(true);
        port_->setTimerTrigger(txdOffTimer_, txdOffTimeout, true);
    }
    if (savedStatus_) savedStatus_(CP, TriggerHandle);
}

void StatusLightController::statTriggerTimer(serial::ComPort* CP, uint16_t TriggerHandle) {
    if (!port_) return;
    const int32_t h = TriggerHandle;
    if (h != 0 && h == errorOffTimer_) {
        if (lights_.errorLight) lights_.errorLight->setLit(false);
        port_->setStatusTrigger(lineErrorTrigger_, kLineErrorValue, true);
    } else if (h != 0 && h == breakOffTimer_) {
        if (lights_.breakLight) lights_.breakLight->setLit(false);
        port_->setStatusTrigger(breakTrigger_, kBreakValue, true);
    } else if (h != 0 && h == rxdOffTimer_) {
        if (port_->getInBuffUsed() == 0) {
            if (lights_.rxdLight) lights_.rxdLight->setLit(false);
        } else {
            port_->setTimerTrigger(rxdOffTimer_, rxdOffTimeout, true);
        }
    } else if (h != 0 && h == txdOffTimer_) {
        if (port_->portError() != 0 || port_->getOutBuffUsed() == 0) {
            if (lights_.txdLight) lights_.txdLight->setLit(false);
            port_->setStatusTrigger(txdTrigger_, 0, true);
        } else {
            port_->setTimerTrigger(txdOffTimer_, txdOffTimeout, true);
        }
    } else if (h != 0 && h == ringOffTimer_) {
        if (lights_.ringLight) lights_.ringLight->setLit(false);
    }
    if (savedTimer_) savedTimer_(CP, TriggerHandle);
}

void StatusLightController::statPortClose(serial::ComPort*, bool Opening) {
    if (!Opening) {
        const bool was = monitoring_ || monitorOnOpen_;
        setMonitoring(false);
        monitorOnOpen_ = was;
    } else if (monitorOnOpen_) {
        monitorOnOpen_ = false;
        setMonitoring(true);
    }
}

void StatusLightController::setComPort(serial::ComPort* port) {
    if (port == port_) return;
    deregisterFrom(port_);
    const bool was = monitoring_;
    if (port_) setMonitoring(false);
    port_ = port;
    if (port_) setMonitoring(was);
    registerWith(port_);
}

void StatusLightController::notification(serial::ComPort* port, Operation operation) {
    if (operation == Operation::Remove && port && port == port_) {
        setMonitoring(false);
        deregisterFrom(port_);
        port_ = nullptr;
    } else if (operation == Operation::Insert && port && !port_) {
        port_ = port;
        registerWith(port_);
    }
}

void StatusLightController::notification(StatusLight* light, Operation operation) {
    if (operation != Operation::Remove || !light) return;
    for (QPointer<StatusLight>* ref :
         {&lights_.ctsLight, &lights_.dsrLight, &lights_.dcdLight, &lights_.ringLight, &lights_.txdLight,
          &lights_.rxdLight, &lights_.errorLight, &lights_.breakLight})
        if (*ref == light) *ref = nullptr;
}

} // namespace brimwell::lights
