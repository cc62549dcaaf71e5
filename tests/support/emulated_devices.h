// Serial devices as udev describes them, for machines emulated with umockdev: USB adapters, the
// machine's own serial ports and the kernel console.
#pragma once

#include <string>

namespace brimwell::testing {

// Adapter n (/dev/ttyUSBn) in USB socket n + 1: the name of its USB device, where that device and
// its tty live in the emulated tree.
inline std::string emulatedUsbName(int n) {
    return "1-" + std::to_string(n + 1);
}
inline std::string emulatedUsbDevice(int n) {
    return "/devices/pci0000:00/0000:00:14.0/usb1/" + emulatedUsbName(n);
}
inline std::string emulatedAdapterTty(int n) {
    const std::string tty = "ttyUSB" + std::to_string(n);
    return emulatedUsbDevice(n) + "/" + emulatedUsbName(n) + ":1.0/" + tty + "/tty/" + tty;
}

// One FTDI-style adapter: the USB device, its interface, the usb-serial port and the tty with its
// by-id link.
inline std::string emulatedAdapter(int n, const std::string& serial) {
    const std::string usb = emulatedUsbDevice(n), tty = "ttyUSB" + std::to_string(n);
    const std::string interface = usb + "/" + emulatedUsbName(n) + ":1.0";
    const std::string byId = "serial/by-id/usb-Brimwell_Ltd_Loader_Cable_" + serial + "-if00-port0";
    return "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nA: idVendor=0403\n" +
           "A: idProduct=6001\nA: manufacturer=Brimwell Ltd\nA: product=Loader Cable\nA: serial=" + serial +
           "\n\nP: " + interface +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n\nP: " + interface + "/" + tty +
           "\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n\nP: " + emulatedAdapterTty(n) + "\nN: " + tty +
           "\nS: " + byId + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\nE: DEVLINKS=/dev/" + byId +
           "\n\n";
}

// The machine's own serial ports /dev/ttyS0 .. /dev/ttyS(count-1), the kernel console on ttyS0.
inline std::string emulatedMachinePorts(int count) {
    std::string text = "P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\nE: DRIVER=serial8250\n\n";
    for (int i = 0; i < count; ++i) {
        const std::string tty = "ttyS" + std::to_string(i);
        text += "P: /devices/platform/serial8250/tty/" + tty + "\nN: " + tty +
                "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\nA: type=4\n\n";
    }
    return text + "P: /devices/virtual/tty/console\nE: SUBSYSTEM=tty\nA: active=ttyS0\n\n";
}

} // namespace brimwell::testing
