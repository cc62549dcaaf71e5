// Finding and opening the unit's port for a command-line run: an explicit --port, or the settings
// file's port, or the probe of COM1 and COM2 for the unit's prompt as the window does at start-up.
#pragma once

#include "app/cli/cli_host.h"
#include "script/script_engine.h"
#include "script/settings_file.h"
#include "serial/component/com_port.h"
#include "serial/finder/port_finder.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brimwell::cli {

class PortSetup {
  public:
    PortSetup(serial::ComPort& port, script::ScriptEngine& engine, CliHost& host)
        : port_(port), engine_(engine), host_(host) {}

    // The port number that stands for `name`: "COMn" gives n; a device path gets a number of its
    // own (BRIMWELL_COMn is pointed at it). 0 with a reason when the name cannot be used.
    uint16_t numberFor(const std::string& name, std::string& error);

    // Opens port n without asking the unit anything. False with "cannot open DEVICE: reason" in
    // error; `advice` is added when the device does not exist.
    bool open(uint16_t n, std::string& error, const std::string& advice = {});

    // checkCom: is the unit answering on port n? Leaves the port open on success, closed otherwise.
    bool checkCom(uint16_t n);
    // searchComPorts: COM1, then COM2, then the one USB adapter when there is exactly one (the
    // search of app/port_probe.h). 1 when one answered, -1 otherwise.
    int searchComPorts();
    // The USB adapters present at the last search.
    const std::vector<serial::SerialPortInfo>& adapters() const { return adapters_; }
    // The number an adapter is opened under (a number of its own, as a device named by its path).
    uint16_t numberForAdapter(const serial::SerialPortInfo& adapter);

    // Whether a stop was asked for while probing; probing then gives up early.
    void setStopCheck(std::function<bool()> stopped) { stopped_ = std::move(stopped); }

    // "DEVICE (COMn)" for messages.
    static std::string describe(uint16_t n);
    // As describe, but only the path for a device that was named by its path.
    static std::string nameOf(uint16_t n);

  private:
    serial::ComPort& port_;
    script::ScriptEngine& engine_;
    CliHost& host_;
    std::function<bool()> stopped_;
    std::vector<serial::SerialPortInfo> adapters_;
};

} // namespace brimwell::cli
