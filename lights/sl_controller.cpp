// Status-light controller: trigger bookkeeping and the handlers that switch the lights.
#include "lights/sl_controller.h"

#include "lights/status_light.h"
#include "serial/error_codes.h"

namespace brimwell {

TQuavCustomSLController::TQuavCustomSLController(QObject* owner, serial::ComPort* port)
    : QObject(owner), port_(port) {}

TQuavCustomSLController::~TQuavCustomSLController() {
    try {
        if (port_) SetMonitoring(false);
    } catch (const std::exception&) {
        // The port may already be going; nothing is left to put back.
    }
    deregisterFrom(port_);
}

void TQuavCustomSLController::registerWith(serial::ComPort* port) {
    if (!port || !loaded_) return;
    port->registerUserCallback(this,
                               [this](serial::ComPort* cp, bool opening) { StatPortClose(cp, opening); });
    port->registerUserCallbackEx(this, [this](serial::ComPort*, serial::CallbackType type) {
        if (type == serial::CallbackType::Closing) dropTriggersBeforeClose();
    });
}

void TQuavCustomSLController::deregisterFrom(serial::ComPort* port) {
    if (!port) return;
    port->deregisterUserCallback(this);
    port->deregisterUserCallbackEx(this);
}

void TQuavCustomSLController::dropTriggersBeforeClose() {
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

void TQuavCustomSLController::loaded() {
    if (loaded_) return;
    loaded_ = true;
    registerWith(port_);
}

void TQuavCustomSLController::SetLights(const TLightSet& set) {
    lights_ = set;
}

bool TQuavCustomSLController::anyModemLight() const {
    return GetHaveCTSLight() || GetHaveDSRLight() || GetHaveDCDLight() || GetHaveRINGLight();
}

void TQuavCustomSLController::SetMonitoring(bool on) {
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
        port_->setOnTriggerAvail([this](serial::ComPort* cp, uint16_t n) { StatTriggerAvail(cp, n); });
        port_->setOnTriggerStatus([this](serial::ComPort* cp, uint16_t h) { StatTriggerStatus(cp, h); });
        port_->setOnTriggerTimer([this](serial::ComPort* cp, uint16_t h) { StatTriggerTimer(cp, h); });
        AddTriggers();
    } else {
        port_->setOnTriggerAvail(savedAvail_);
        port_->setOnTriggerStatus(savedStatus_);
        port_->setOnTriggerTimer(savedTimer_);
        savedAvail_ = nullptr;
        savedStatus_ = nullptr;
        savedTimer_ = nullptr;
        RemoveTriggers();
    }
    InitLights();
}

void TQuavCustomSLController::InitTriggers() {
    mask_ = 0;
    modemTrigger_ = lineErrorTrigger_ = breakTrigger_ = 0;
    errorOffTimer_ = breakOffTimer_ = rxdOffTimer_ = 0;
    txdTrigger_ = txdOffTimer_ = ringOffTimer_ = 0;
}

void TQuavCustomSLController::AddTriggers() {
    InitTriggers();
    if (!port_) return;
    try {
        if (anyModemLight()) {
            modemTrigger_ = port_->addStatusTrigger(serial::kStatusModem);
            if (GetHaveRINGLight()) ringOffTimer_ = port_->addTimerTrigger();
        }
        if (GetHaveERRORLight()) {
            lineErrorTrigger_ = port_->addStatusTrigger(serial::kStatusLine);
            errorOffTimer_ = port_->addTimerTrigger();
        }
        if (GetHaveBREAKLight()) {
            breakTrigger_ = port_->addStatusTrigger(serial::kStatusLine);
            breakOffTimer_ = port_->addTimerTrigger();
        }
        if (GetHaveRXDLight()) rxdOffTimer_ = port_->addTimerTrigger();
        if (GetHaveTXDLight()) {
            txdTrigger_ = port_->addStatusTrigger(serial::kStatusOutSent);
            txdOffTimer_ = port_->addTimerTrigger();
        }
        if (GetHaveCTSLight()) mask_ |= kMaskCTS;
        if (GetHaveDSRLight()) mask_ |= kMaskDSR;
        if (GetHaveDCDLight()) mask_ |= kMaskDCD;
        if (GetHaveRINGLight()) mask_ |= kMaskRING;
        if (anyModemLight()) port_->setStatusTrigger(modemTrigger_, mask_, true);
        if (GetHaveERRORLight()) port_->setStatusTrigger(lineErrorTrigger_, kLineErrorValue, true);
        if (GetHaveBREAKLight()) port_->setStatusTrigger(breakTrigger_, kBreakValue, true);
        if (GetHaveTXDLight()) port_->setStatusTrigger(txdTrigger_, 0, true);
    } catch (...) {
        mask_ = 0;
        RemoveTriggers();
        throw;
    }
}

void TQuavCustomSLController::RemoveTriggers() {
    if (port_) {
        try {
            auto remove = [this](int32_t handle) {
                if (handle != 0) port_->removeTrigger(handle);
            };
            if (anyModemLight()) remove(modemTrigger_);
            if (GetHaveRINGLight()) remove(ringOffTimer_);
            if (GetHaveERRORLight()) {
                remove(lineErrorTrigger_);
                remove(errorOffTimer_);
            }
            if (GetHaveBREAKLight()) {
                remove(breakTrigger_);
                remove(breakOffTimer_);
            }
            if (GetHaveRXDLight()) remove(rxdOffTimer_);
            if (GetHaveTXDLight()) {
                remove(txdTrigger_);
                remove(txdOffTimer_);
            }
        } catch (...) {
            InitTriggers();
            throw;
        }
    }
    InitTriggers();
}

void TQuavCustomSLController::CheckLight(bool lit, TQuavCustomStatusLight* light) {
    if (light && light->Lit() != lit) light->SetLit(lit);
}

void TQuavCustomSLController::InitLights() {
    for (TQuavCustomStatusLight* l :
         {lights_.CTSLight.data(), lights_.DSRLight.data(), lights_.DCDLight.data(), lights_.RINGLight.data(),
          lights_.TXDLight.data(), lights_.RXDLight.data(), lights_.ERRORLight.data(),
          lights_.BREAKLight.data()})
        if (l) l->SetLit(false);
    if (port_ && monitoring_) {
        CheckLight(port_->getCts(), lights_.CTSLight);
        CheckLight(port_->getDsr(), lights_.DSRLight);
        CheckLight(port_->getDcd(), lights_.DCDLight);
    }
}

void TQuavCustomSLController::StatTriggerAvail(serial::ComPort* CP, uint16_t count) {
    if (!port_) return;
    if (lights_.RXDLight && !lights_.RXDLight->Lit()) {
        lights_.RXDLight->SetLit(true);
        port_->setTimerTrigger(rxdOffTimer_, RXDOffTimeout, true);
    }
    if (savedAvail_) savedAvail_(CP, count);
}

void TQuavCustomSLController::StatTriggerStatus(serial::ComPort* CP, uint16_t TriggerHandle) {
    if (!port_) return;
    const int32_t h = TriggerHandle;
    if (h != 0 && h == modemTrigger_) {
        CheckLight(port_->getDcd(), lights_.DCDLight);
        CheckLight(port_->getCts(), lights_.CTSLight);
        CheckLight(port_->getDsr(), lights_.DSRLight);
        if (lights_.RINGLight && port_->getDeltaRi() && !lights_.RINGLight->Lit()) {
            lights_.RINGLight->SetLit(true);
            port_->setTimerTrigger(ringOffTimer_, RingOffTimeout, true);
        }
        port_->setStatusTrigger(modemTrigger_, mask_, true);
    } else if (h != 0 && h == lineErrorTrigger_) {
        if (lights_.ERRORLight) lights_.ERRORLight->SetLit(true);
        port_->setTimerTrigger(errorOffTimer_, ErrorOffTimeout, true);
        (void)port_->getLineError();
    } else if (h != 0 && h == breakTrigger_) {
        if (lights_.BREAKLight) lights_.BREAKLight->SetLit(true);
        port_->setTimerTrigger(breakOffTimer_, BreakOffTimeout, true);
        (void)port_->getLineBreak();
    } else if (h != 0 && h == txdTrigger_) {
        if (lights_.TXDLight) lights_.TXDLight->SetLit(true);
        port_->setTimerTrigger(txdOffTimer_, TXDOffTimeout, true);
    }
    if (savedStatus_) savedStatus_(CP, TriggerHandle);
}

void TQuavCustomSLController::StatTriggerTimer(serial::ComPort* CP, uint16_t TriggerHandle) {
    if (!port_) return;
    const int32_t h = TriggerHandle;
    if (h != 0 && h == errorOffTimer_) {
        if (lights_.ERRORLight) lights_.ERRORLight->SetLit(false);
        port_->setStatusTrigger(lineErrorTrigger_, kLineErrorValue, true);
    } else if (h != 0 && h == breakOffTimer_) {
        if (lights_.BREAKLight) lights_.BREAKLight->SetLit(false);
        port_->setStatusTrigger(breakTrigger_, kBreakValue, true);
    } else if (h != 0 && h == rxdOffTimer_) {
        if (port_->getInBuffUsed() == 0) {
            if (lights_.RXDLight) lights_.RXDLight->SetLit(false);
        } else {
            port_->setTimerTrigger(rxdOffTimer_, RXDOffTimeout, true);
        }
    } else if (h != 0 && h == txdOffTimer_) {
        if (port_->portError() != 0 || port_->getOutBuffUsed() == 0) {
            if (lights_.TXDLight) lights_.TXDLight->SetLit(false);
            port_->setStatusTrigger(txdTrigger_, 0, true);
        } else {
            port_->setTimerTrigger(txdOffTimer_, TXDOffTimeout, true);
        }
    } else if (h != 0 && h == ringOffTimer_) {
        if (lights_.RINGLight) lights_.RINGLight->SetLit(false);
    }
    if (savedTimer_) savedTimer_(CP, TriggerHandle);
}

void TQuavCustomSLController::StatPortClose(serial::ComPort*, bool Opening) {
    if (!Opening) {
        const bool was = monitoring_ || monitorOnOpen_;
        SetMonitoring(false);
        monitorOnOpen_ = was;
    } else if (monitorOnOpen_) {
        monitorOnOpen_ = false;
        SetMonitoring(true);
    }
}

void TQuavCustomSLController::setComPort(serial::ComPort* port) {
    if (port == port_) return;
    deregisterFrom(port_);
    const bool was = monitoring_;
    if (port_) SetMonitoring(false);
    port_ = port;
    if (port_) SetMonitoring(was);
    registerWith(port_);
}

void TQuavCustomSLController::Notification(serial::ComPort* port, TOperation operation) {
    if (operation == TOperation::opRemove && port && port == port_) {
        SetMonitoring(false);
        deregisterFrom(port_);
        port_ = nullptr;
    } else if (operation == TOperation::opInsert && port && !port_) {
        port_ = port;
        registerWith(port_);
    }
}

void TQuavCustomSLController::Notification(TQuavCustomStatusLight* light, TOperation operation) {
    if (operation != TOperation::opRemove || !light) return;
    for (QPointer<TQuavCustomStatusLight>* ref :
         {&lights_.CTSLight, &lights_.DSRLight, &lights_.DCDLight, &lights_.RINGLight, &lights_.TXDLight,
          &lights_.RXDLight, &lights_.ERRORLight, &lights_.BREAKLight})
        if (*ref == light) *ref = nullptr;
}

} // namespace brimwell
