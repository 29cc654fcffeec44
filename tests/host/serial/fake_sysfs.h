// Builds sysfs-shaped trees for the port listing: the tty class with links into a device
// tree, USB devices with their attribute files, and ttys without a device.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace kvat_test {

class FakeSysfs {
public:
    explicit FakeSysfs(std::filesystem::path root) : root_(std::move(root)) {
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "class/tty");
    }
    ~FakeSysfs() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    const std::filesystem::path &root() const { return root_; }

    // A USB device folder (relative to devices/) with its attributes.
    void usb_device(const std::string &dir, const std::string &vid, const std::string &pid,
                    const std::string &serial, const std::string &product) {
        const auto d = root_ / "devices" / dir;
        std::filesystem::create_directories(d);
        write(d / "idVendor", vid);
        write(d / "idProduct", pid);
        if (!serial.empty()) write(d / "serial", serial);
        if (!product.empty()) write(d / "product", product);
    }

    // A tty at devices/<tty_dir>/tty/<name> whose device is devices/<device_dir>.
    void tty(const std::string &name, const std::string &tty_dir, const std::string &device_dir,
             const std::string &driver = {}) {
        namespace fs = std::filesystem;
        const auto t = root_ / "devices" / tty_dir / "tty" / name;
        const auto dev = root_ / "devices" / device_dir;
        fs::create_directories(t);
        fs::create_directories(dev);
        if (!device_dir.empty()) fs::create_directory_symlink(fs::relative(dev, t), t / "device");
        if (!driver.empty()) {
            const auto drv = root_ / "bus/platform/drivers" / driver;
            fs::create_directories(drv);
            fs::create_directory_symlink(fs::relative(drv, dev), dev / "driver");
        }
        fs::create_directory_symlink(fs::relative(t, root_ / "class/tty"), root_ / "class/tty" / name);
    }

    // A tty without a device (virtual console, pseudo-terminal).
    void virtual_tty(const std::string &name) {
        namespace fs = std::filesystem;
        const auto t = root_ / "devices/virtual/tty" / name;
        fs::create_directories(t);
        fs::create_directory_symlink(fs::relative(t, root_ / "class/tty"), root_ / "class/tty" / name);
    }

    // The tree of the tests: a writer on ttyACM0, two more on ttyACM2 and ttyACM10, an
    // FTDI adapter on ttyUSB0, a built-in ttyS0, a parallel port and a virtual console.
    void standard_tree() {
        const std::string hub = "pci0000:00/0000:00:14.0/usb1/";
        usb_device(hub + "1-1", "0d28", "0204", "0700000102", "Kelvra Writer");
        tty("ttyACM0", hub + "1-1/1-1:1.0", hub + "1-1/1-1:1.0");
        usb_device(hub + "1-3", "0d28", "0204", "0700000777", "Kelvra Writer");
        tty("ttyACM10", hub + "1-3/1-3:1.0", hub + "1-3/1-3:1.0");
        usb_device(hub + "1-4", "0d28", "0204", "", "");
        tty("ttyACM2", hub + "1-4/1-4:1.0", hub + "1-4/1-4:1.0");
        usb_device(hub + "1-2", "0403", "6001", "A9XYZ", "FT232R USB UART");
        tty("ttyUSB0", hub + "1-2/1-2:1.0/ttyUSB0", hub + "1-2/1-2:1.0/ttyUSB0");
        tty("ttyS0", "platform/serial8250", "platform/serial8250", "serial8250");
        tty("ttyLPT0", "platform/parport_pc", "platform/parport_pc");
        virtual_tty("tty0");
    }

private:
    static void write(const std::filesystem::path &file, const std::string &text) {
        std::ofstream(file) << text << "\n";
    }

    std::filesystem::path root_;
};

}  // namespace kvat_test
