// Status-light controller: trigger bookkeeping and the handlers that switch the lights.
#include "lights/sl_controller.h"

#include "lights/status_light.h"
#include "serial/error_codes.h"

namespace brimwell {

TQuavCustomSLController::TQuavCustomSLController(QObject* owner, TQuavComPort* port)
    : QObject(owner), port_(port) {}

TQuavCustomSLController::~TQuavCustomSLController() {
    try {
        if (port_) SetMonitoring(false);
    } catch (const std::exception&) {
        // The port may already be going; nothing is left to put back.
    }
    deregisterFrom(port_);
}

void TQuavCustomSLController::registerWith(TQuavComPort* port) {
    if (!port || !loaded_) return;
    port->RegisterUserCallback(this, [this](TQuavComPort* cp, bool opening) { StatPortClose(cp, opening); });
    port->RegisterUserCallbackEx(this, [this](TQuavComPort*, TQuavCallbackType type) {
        if (type == ctClosing) dropTriggersBeforeClose();
    });
}

void TQuavCustomSLController::deregisterFrom(TQuavComPort* port) {
    if (!port) return;
    port->DeregisterUserCallback(this);
    port->DeregisterUserCallbackEx(this);
}

void TQuavCustomSLController::dropTriggersBeforeClose() {
    // The port keeps its triggers across a close and hands them back at the next open, but the
    // controller adds fresh ones when monitoring resumes. Left in place, every reopen would leave
    // one more set behind until the port runs out of triggers, so take ours out before the port
    // saves its list. The port no longer accepts calls while it closes; its dispatcher still does.
    TQuavBaseDispatcher* d = port_ ? port_->CurrentDispatcher() : nullptr;
    if (!d || !monitoring_) return;
    for (int32_t handle : {modemTrigger_, lineErrorTrigger_, breakTrigger_, errorOffTimer_, breakOffTimer_,
                           rxdOffTimer_, txdTrigger_, txdOffTimer_, ringOffTimer_})
        if (handle != 0) d->RemoveTrigger(handle);
}

void TQuavCustomSLController::Loaded() {
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
    if (!port_) throw EPortNotAssigned(secPortNotAssigned);
    // A port whose close waits for a notification to end still reads as open but takes no more
    // triggers: it counts as closed, and monitoring starts when it opens again.
    if (!port_->Open() || port_->PortState() == psShuttingDown) {
        monitorOnOpen_ = on;
        if (on) return; // starts when the port opens
    }
    monitoring_ = on;
    if (on) {
        savedAvail_ = port_->OnTriggerAvail();
        savedStatus_ = port_->OnTriggerStatus();
        savedTimer_ = port_->OnTriggerTimer();
        port_->SetOnTriggerAvail([this](TQuavComPort* cp, uint16_t n) { StatTriggerAvail(cp, n); });
        port_->SetOnTriggerStatus([this](TQuavComPort* cp, uint16_t h) { StatTriggerStatus(cp, h); });
        port_->SetOnTriggerTimer([this](TQuavComPort* cp, uint16_t h) { StatTriggerTimer(cp, h); });
        AddTriggers();
    } else {
        port_->SetOnTriggerAvail(savedAvail_);
        port_->SetOnTriggerStatus(savedStatus_);
        port_->SetOnTriggerTimer(savedTimer_);
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
            modemTrigger_ = port_->AddStatusTrigger(stModem);
            if (GetHaveRINGLight()) ringOffTimer_ = port_->AddTimerTrigger();
        }
        if (GetHaveERRORLight()) {
            lineErrorTrigger_ = port_->AddStatusTrigger(stLine);
            errorOffTimer_ = port_->AddTimerTrigger();
        }
        if (GetHaveBREAKLight()) {
            breakTrigger_ = port_->AddStatusTrigger(stLine);
            breakOffTimer_ = port_->AddTimerTrigger();
        }
        if (GetHaveRXDLight()) rxdOffTimer_ = port_->AddTimerTrigger();
        if (GetHaveTXDLight()) {
            txdTrigger_ = port_->AddStatusTrigger(stOutSent);
            txdOffTimer_ = port_->AddTimerTrigger();
        }
        if (GetHaveCTSLight()) mask_ |= kMaskCTS;
        if (GetHaveDSRLight()) mask_ |= kMaskDSR;
        if (GetHaveDCDLight()) mask_ |= kMaskDCD;
        if (GetHaveRINGLight()) mask_ |= kMaskRING;
        if (anyModemLight()) port_->SetStatusTrigger(modemTrigger_, mask_, true);
        if (GetHaveERRORLight()) port_->SetStatusTrigger(lineErrorTrigger_, kLineErrorValue, true);
        if (GetHaveBREAKLight()) port_->SetStatusTrigger(breakTrigger_, kBreakValue, true);
        if (GetHaveTXDLight()) port_->SetStatusTrigger(txdTrigger_, 0, true);
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
                if (handle != 0) port_->RemoveTrigger(handle);
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
        CheckLight(port_->GetCTS(), lights_.CTSLight);
        CheckLight(port_->GetDSR(), lights_.DSRLight);
        CheckLight(port_->GetDCD(), lights_.DCDLight);
    }
}

void TQuavCustomSLController::StatTriggerAvail(TQuavComPort* CP, uint16_t Count) {
    if (!port_) return;
    if (lights_.RXDLight && !lights_.RXDLight->Lit()) {
        lights_.RXDLight->SetLit(true);
        port_->SetTimerTrigger(rxdOffTimer_, RXDOffTimeout, true);
    }
    if (savedAvail_) savedAvail_(CP, Count);
}

void TQuavCustomSLController::StatTriggerStatus(TQuavComPort* CP, uint16_t TriggerHandle) {
    if (!port_) return;
    const int32_t h = TriggerHandle;
    if (h != 0 && h == modemTrigger_) {
        CheckLight(port_->GetDCD(), lights_.DCDLight);
        CheckLight(port_->GetCTS(), lights_.CTSLight);
        CheckLight(port_->GetDSR(), lights_.DSRLight);
        if (lights_.RINGLight && port_->GetDeltaRI() && !lights_.RINGLight->Lit()) {
            lights_.RINGLight->SetLit(true);
            port_->SetTimerTrigger(ringOffTimer_, RingOffTimeout, true);
        }
        port_->SetStatusTrigger(modemTrigger_, mask_, true);
    } else if (h != 0 && h == lineErrorTrigger_) {
        if (lights_.ERRORLight) lights_.ERRORLight->SetLit(true);
        port_->SetTimerTrigger(errorOffTimer_, ErrorOffTimeout, true);
        (void)port_->GetLineError();
    } else if (h != 0 && h == breakTrigger_) {
        if (lights_.BREAKLight) lights_.BREAKLight->SetLit(true);
        port_->SetTimerTrigger(breakOffTimer_, BreakOffTimeout, true);
        (void)port_->GetLineBreak();
    } else if (h != 0 && h == txdTrigger_) {
        if (lights_.TXDLight) lights_.TXDLight->SetLit(true);
        port_->SetTimerTrigger(txdOffTimer_, TXDOffTimeout, true);
    }
    if (savedStatus_) savedStatus_(CP, TriggerHandle);
}

void TQuavCustomSLController::StatTriggerTimer(TQuavComPort* CP, uint16_t TriggerHandle) {
    if (!port_) return;
    const int32_t h = TriggerHandle;
    if (h != 0 && h == errorOffTimer_) {
        if (lights_.ERRORLight) lights_.ERRORLight->SetLit(false);
        port_->SetStatusTrigger(lineErrorTrigger_, kLineErrorValue, true);
    } else if (h != 0 && h == breakOffTimer_) {
        if (lights_.BREAKLight) lights_.BREAKLight->SetLit(false);
        port_->SetStatusTrigger(breakTrigger_, kBreakValue, true);
    } else if (h != 0 && h == rxdOffTimer_) {
        if (port_->GetInBuffUsed() == 0) {
            if (lights_.RXDLight) lights_.RXDLight->SetLit(false);
        } else {
            port_->SetTimerTrigger(rxdOffTimer_, RXDOffTimeout, true);
        }
    } else if (h != 0 && h == txdOffTimer_) {
        if (port_->PortError() != 0 || port_->GetOutBuffUsed() == 0) {
            if (lights_.TXDLight) lights_.TXDLight->SetLit(false);
            port_->SetStatusTrigger(txdTrigger_, 0, true);
        } else {
            port_->SetTimerTrigger(txdOffTimer_, TXDOffTimeout, true);
        }
    } else if (h != 0 && h == ringOffTimer_) {
        if (lights_.RINGLight) lights_.RINGLight->SetLit(false);
    }
    if (savedTimer_) savedTimer_(CP, TriggerHandle);
}

void TQuavCustomSLController::StatPortClose(TQuavComPort*, bool Opening) {
    if (!Opening) {
        const bool was = monitoring_ || monitorOnOpen_;
        SetMonitoring(false);
        monitorOnOpen_ = was;
    } else if (monitorOnOpen_) {
        monitorOnOpen_ = false;
        SetMonitoring(true);
    }
}

void TQuavCustomSLController::SetComPort(TQuavComPort* port) {
    if (port == port_) return;
    deregisterFrom(port_);
    const bool was = monitoring_;
    if (port_) SetMonitoring(false);
    port_ = port;
    if (port_) SetMonitoring(was);
    registerWith(port_);
}

void TQuavCustomSLController::Notification(TQuavComPort* port, TOperation operation) {
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
