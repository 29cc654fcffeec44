"""Writes a registry file with fake devices of the Ports class, for regedit /S in a wine prefix.

Each device: an instance key under Enum with the class GUID, friendly name and hardware IDs,
and "PortName" in its "Device Parameters" key, as the system keeps them."""
import sys

PORTS_CLASS = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
ENUM = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum"


def multi_sz(*texts):
    data = "".join(t + "\0" for t in texts) + "\0"
    return "hex(7):" + ",".join(f"{b:02x}" for b in data.encode("utf-16-le"))


def text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


# (instance, friendly name or None, hardware ID value or None, port name or None)
DEVICES = [
    # A writer: a candidate by its vendor and product ID.
    (r"USB\VID_0D28&PID_0204\KV0001", "Kelvra Writer (COM5)",
     multi_sz(r"USB\VID_0D28&PID_0204&REV_0100", r"USB\VID_0D28&PID_0204"), "COM5"),
    # An adapter whose serial number holds 0D28 and 0204: no writer.
    (r"FTDIBUS\VID_0403+PID_6001+0D280204A\0000", "USB Serial Port (COM7)",
     multi_sz(r"FTDIBUS\COMPORT&VID_0403&PID_6001\0D28_0204"), "COM7"),
    # A parallel port: never listed.
    (r"ACPI\PNP0401\1", "Printer Port (LPT1)", multi_sz(r"ACPI\PNP0401", "*PNP0401"), "LPT1"),
    # A port name stored in lower case, and a friendly name without "(COM".
    (r"ACPI\PNP0501\1", "Communications Port", multi_sz(r"ACPI\PNP0501", "*PNP0501"), "com3"),
    # A hardware ID that is no text and no friendly name: listed with both empty.
    (r"ROOT\PORTS\0000", None, "hex:01,02,03,04", "COM11"),
    # An empty hardware ID: listed, no writer.
    (r"ROOT\PORTS\0002", "Virtual Port (COM12)", multi_sz(""), "COM12"),
    # No port name: skipped.
    (r"ROOT\PORTS\0001", "Broken Port (COM13)", multi_sz(r"ROOT\PORTS"), None),
]

lines = ["Windows Registry Editor Version 5.00", ""]
for instance, friendly, hardware, port in DEVICES:
    lines.append(f"[{ENUM}\\{instance}]")
    lines.append(f'"ClassGUID"={text(PORTS_CLASS)}')
    lines.append('"Class"="Ports"')
    if friendly is not None:
        lines.append(f'"FriendlyName"={text(friendly)}')
    if hardware is not None:
        lines.append(f'"HardwareID"={hardware}')
    lines.append("")
    lines.append(f"[{ENUM}\\{instance}\\Device Parameters]")
    if port is not None:
        lines.append(f'"PortName"={text(port)}')
    lines.append("")
# UTF-16, as regedit writes them: hex(7) data is then read as UTF-16 too.
with open(sys.argv[1], "w", encoding="utf-16", newline="\r\n") as out:
    out.write("\n".join(lines) + "\n")
