// kvat sim as a user runs it: writers come up behind the printed links, answer a host, and a
// signal ends them cleanly with their links removed.
#include "pty_host.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct Child {
    pid_t pid = -1;
    FILE *out = nullptr;
};

// Starts kvat with `args`, its standard output readable line by line.
Child spawn(const std::vector<std::string> &args) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(KVAT_EXE));
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(KVAT_EXE, argv.data());
        _exit(127);
    }
    close(fds[1]);
    return {pid, fdopen(fds[0], "r")};
}

std::string read_line(FILE *f) {
    char buf[512];
    if (std::fgets(buf, sizeof buf, f) == nullptr) return {};
    return buf;
}

int wait_exit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(KvatSim, ServesUntilSignalledAndRemovesItsLinks) {
    for (int sig : {SIGTERM, SIGINT}) {
        const fs::path dir = fs::temp_directory_path() / ("kvat-sim-verb-" + std::to_string(getpid()));
        fs::remove_all(dir);
        Child child = spawn({"sim", "--count", "2", "--link-dir", dir.string(), "--encrypt"});
        ASSERT_GT(child.pid, 0);
        std::string output;
        for (std::string line; (line = read_line(child.out)).size() > 0;) {
            output += line;
            if (line.rfind("Stop with", 0) == 0) break;
        }
        EXPECT_NE(output.find("2 virtual writers (encrypted link"), std::string::npos) << output;
        EXPECT_NE(output.find((dir / "ttyKV1").string() + " -> /dev/pts/"), std::string::npos);
        EXPECT_NE(output.find("serial KVSIM0001"), std::string::npos);
        {
            kvat_test::PtyHost host((dir / "ttyKV1").string(), true);
            kvat_writer_info info;
            ASSERT_EQ(kvat_get_writer_info(host.handle, &info), 1);
            EXPECT_EQ(std::string(info.serial_number), "KVSIM0001");
        }
        kill(child.pid, sig);
        EXPECT_EQ(wait_exit(child.pid), 0);
        fclose(child.out);
        EXPECT_FALSE(fs::exists(dir / "ttyKV0"));
        EXPECT_FALSE(fs::is_symlink(dir / "ttyKV1"));
        fs::remove_all(dir);
    }
}

TEST(KvatSim, BadArgumentsAreUsageErrors) {
    Child child = spawn({"sim", "--key", "1234"});
    EXPECT_EQ(wait_exit(child.pid), 2);
    fclose(child.out);
    child = spawn({"sim", "--count", "0"});
    EXPECT_EQ(wait_exit(child.pid), 2);
    fclose(child.out);
}
