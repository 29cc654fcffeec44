// A mosquitto broker of the test's own on 127.0.0.1 and a free port, in a scratch folder:
// plain, or TLS with a certificate made here by openssl and a password file. When no broker
// can run here the test ends with exit 77 (skipped) and says so in a frame.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kelvra::records::test {

namespace fs = std::filesystem;

[[noreturn]] inline void skip_broker_test(const std::string &why) {
    std::fprintf(stderr,
                 "======================================================================\n"
                 "SKIPPED: %s\n"
                 "The station records have NOT been tested against a broker in this run.\n"
                 "======================================================================\n",
                 why.c_str());
    std::fflush(stderr);
    std::_Exit(77);
}

inline std::string find_program(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin:/sbin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        close(fd);
        return 0;
    }
    close(fd);
    return ntohs(address.sin_port);
}

inline bool port_answers(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

class Broker {
public:
    // tls: a certificate for 127.0.0.1 from a CA made here, and the user "station" / "s3cret".
    explicit Broker(bool tls = false) : tls_(tls) {
        static int counter = 0;
        dir_ = fs::temp_directory_path() / ("kvat_broker_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "data");
        // KVAT_TEST_MOSQUITTO names another broker program (the skip's own test uses one that fails).
        const char *chosen = std::getenv("KVAT_TEST_MOSQUITTO");
        program_ = chosen != nullptr ? std::string(chosen) : find_program("mosquitto");
        if (program_.empty()) skip_broker_test("no mosquitto broker here (bash scripts/install-deps.sh installs it)");
        port_ = free_port();
        if (port_ == 0) skip_broker_test("no free port on 127.0.0.1");
        std::ofstream conf(dir_ / "mosquitto.conf");
        conf << "listener " << port_ << " 127.0.0.1\n"
             << "persistence true\npersistence_location " << (dir_ / "data").string() << "/\n"
             << "log_dest file " << (dir_ / "broker.log").string() << "\n";
        if (geteuid() == 0) conf << "user root\n";
        if (tls_) {
            make_certificates();
            conf << "cafile " << ca_file() << "\ncertfile " << (dir_ / "server.crt").string() << "\nkeyfile "
                 << (dir_ / "server.key").string() << "\nallow_anonymous false\npassword_file "
                 << (dir_ / "passwd").string() << "\n";
        } else {
            conf << "allow_anonymous true\n";
        }
        conf.close();
        Start();
    }
    ~Broker() {
        Stop();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    void Start() {
        if (pid_ > 0) return;
        const std::string conf = (dir_ / "mosquitto.conf").string();
        pid_ = fork();
        if (pid_ == 0) {
            execl(program_.c_str(), program_.c_str(), "-c", conf.c_str(), static_cast<char *>(nullptr));
            std::_Exit(127);
        }
        for (int i = 0; i < 200; ++i) {  // at most 10 s
            if (port_answers(port_)) return;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                skip_broker_test("mosquitto would not start here: " + log_text());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        skip_broker_test("mosquitto did not listen on its port within 10 s");
    }
    // Stops it as a service manager would (its persistent store is written on the way out).
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    int port() const { return port_; }
    std::string url(const std::string &prefix = "plant") const {
        return std::string(tls_ ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_) + "/" + prefix;
    }
    std::string ca_file() const { return (dir_ / "ca.crt").string(); }
    // A CA the broker's certificate does not come from.
    std::string other_ca_file() const { return (dir_ / "other_ca.crt").string(); }
    const fs::path &dir() const { return dir_; }
    std::string log_text() const {
        std::ifstream in(dir_ / "broker.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void run(const std::string &command) {
        const std::string line = "cd " + dir_.string() + " && " + command + " >>setup.log 2>&1";
        if (std::system(line.c_str()) != 0) skip_broker_test("cannot make the test's TLS files: " + command);
    }
    void make_certificates() {
        if (find_program("openssl").empty()) skip_broker_test("no openssl to make a test certificate");
        const std::string passwd = find_program("mosquitto_passwd");
        if (passwd.empty()) skip_broker_test("no mosquitto_passwd to make a password file");
        run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kvat-test-ca -keyout ca.key -out ca.crt");
        run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kvat-other-ca -keyout other_ca.key -out other_ca.crt");
        run("openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr");
        std::ofstream(dir_ / "san.ext") << "subjectAltName=IP:127.0.0.1\n";
        run("openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext -out server.crt");
        run(passwd + " -b -c passwd station s3cret");
        run("chmod 644 server.key passwd");
    }

    bool tls_ = false;
    fs::path dir_;
    std::string program_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kelvra::records::test
