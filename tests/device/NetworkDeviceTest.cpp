// The network device against a real ser2net in front of a pseudo-terminal, which stands in for
// the server's serial port: what the device asks for must happen on that port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "PseudoTerminal.h"
#include "TempTree.h"
#include "device/SerialDevice.h"

extern char** environ;

namespace vandrelux::platform {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::PseudoTerminal;

constexpr LineState k115200_8N1{115200, 'N', 8, 1, true};

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

// Listening is seen in the kernel's table: a probing connection would make ser2net open the line.
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
    for (std::string line; std::getline(table, line);) {
        if (line.find(wanted) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// ser2net on 127.0.0.1 with an RFC 2217 and a raw accepter in front of one device.
class Ser2net {
public:
    explicit Ser2net(const std::string& device) : m_rfc2217(FreePort()), m_raw(FreePort()) {
        const std::string config =
            m_tree.File("ser2net.yaml",
                        "%YAML 1.1\n---\n"
                        "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                            std::to_string(m_rfc2217) + "\n  connector: serialdev," + device +
                            ",115200n81,local\n"
                            "connection: &raw\n  accepter: tcp,127.0.0.1," +
                            std::to_string(m_raw) + "\n  connector: serialdev," + device +
                            ",115200n81,local\n");
        const std::string pidFile = m_tree.Path("ser2net.pid");
        const std::string log = m_tree.Path("ser2net.log");
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        const char* argv[] = {"ser2net",       "-n", "-d",           "-P",
                              pidFile.c_str(), "-c", config.c_str(), nullptr};
        const int rc = posix_spawnp(&m_pid, "ser2net", &files, nullptr,
                                    const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&files);
        if (rc != 0) {
            m_pid = -1;
            ADD_FAILURE() << "cannot start ser2net (scripts/install-deps.sh installs it)";
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!(Listening(m_rfc2217) && Listening(m_raw)) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(Listening(m_rfc2217) && Listening(m_raw)) << "ser2net does not listen";
    }
    ~Ser2net() { Stop(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    void Stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    [[nodiscard]] std::string Rfc2217() const {
        return "rfc2217://127.0.0.1:" + std::to_string(m_rfc2217);
    }
    [[nodiscard]] std::string Raw() const { return "tcp://127.0.0.1:" + std::to_string(m_raw); }

private:
    test::TempTree m_tree;
    int m_rfc2217;
    int m_raw;
    pid_t m_pid = -1;
};

class NetworkDeviceOnSer2net : public ::testing::Test {
protected:
    // ser2net hands the line to its other accepter only a moment after the last client left;
    // until then it turns the next one away as busy.
    void Open(const std::string& url) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!device.Open(url) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(device.IsOpen()) << url << ": " << LastSystemError().message;
    }

    // What the device reads, until `count` bytes or five seconds.
    Bytes ReadFromDevice(std::size_t count) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::array<std::uint8_t, 4096> chunk{};
            const std::optional<std::size_t> n = device.Read(chunk.data(), chunk.size());
            if (!n) {
                ADD_FAILURE() << LastSystemError().message;
                break;
            }
            got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*n));
            if (*n == 0) {
                std::this_thread::sleep_for(1ms);
            }
        }
        return got;
    }

    PseudoTerminal pty;
    Ser2net server{pty.SlavePath()};
    SerialDevice device;
};

TEST_F(NetworkDeviceOnSer2net, Rfc2217_LineSettingsReachTheServersDevice) {
    Open(server.Rfc2217());
    LineState found;
    ASSERT_TRUE(device.GetLineState(found));
    EXPECT_EQ(found.baudRate, 115200);  // as the server's configuration set it

    // A pseudo-terminal keeps speed and stop bits but is always 8 bits without parity.
    const LineState wanted{57600, 'N', 8, 2, true};
    ASSERT_TRUE(device.SetLineState(wanted)) << LastSystemError().message;
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B57600);
    EXPECT_NE(t.c_cflag & CSTOPB, 0U);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0U);
    ASSERT_TRUE(device.GetLineState(found));
    EXPECT_EQ(found, wanted);

    ASSERT_TRUE(device.SetLineState(k115200_8N1)) << LastSystemError().message;
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0U);

    // A speed no line has is refused before the server is asked, as a local port refuses it.
    EXPECT_FALSE(device.SetLineState({0, 'N', 8, 1, true}));
}

TEST_F(NetworkDeviceOnSer2net, EveryByteValue_CrossesBothWaysIntactOnBothAccepters) {
    Bytes bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i));
    }
    bytes.insert(bytes.end(), 300, 0xFF);
    bytes.insert(bytes.end(), {'\r', 0, '\r', '\n', 0xFF, 0xF0, 0xFF, 0xFA});
    for (const std::string& url : {server.Rfc2217(), server.Raw()}) {
        Open(url);
        ASSERT_TRUE(device.SetLineState(k115200_8N1)) << LastSystemError().message;
        ASSERT_TRUE(device.Purge());
        ASSERT_TRUE(device.Write(bytes.data(), bytes.size()));
        EXPECT_EQ(pty.Receive(bytes.size()), bytes) << url;
        pty.Send(bytes);
        EXPECT_EQ(ReadFromDevice(bytes.size()), bytes) << url;

        // A write that never waits takes all or nothing; what it keeps goes with later calls.
        for (std::size_t taken = 0; taken < bytes.size();) {
            const std::optional<std::size_t> n =
                device.WriteSome(bytes.data() + taken, bytes.size() - taken);
            ASSERT_TRUE(n.has_value()) << LastSystemError().message;
            ASSERT_TRUE(*n == 0 || *n == bytes.size() - taken) << *n;
            taken += *n;
        }
        for (int i = 0; i < 1000 && device.HoldsOutput(); ++i) {
            ASSERT_EQ(device.WriteSome(nullptr, 0), std::optional<std::size_t>(0));
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(pty.Receive(bytes.size()), bytes) << url;
        device.Close();
    }
}

TEST_F(NetworkDeviceOnSer2net, Purge_DropsWhatTheBoxSentBeforeItAndNothingAfter) {
    for (const std::string& url : {server.Rfc2217(), server.Raw()}) {
        Open(url);
        pty.Send({'o', 'l', 'd'});
        QueueStatus status;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (device.GetStatus(status) && status.inQueue == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(device.Purge());
        // The server has purged when Purge returns: what the box sends now is kept.
        pty.Send({'n', 'e', 'w'});
        EXPECT_EQ(ReadFromDevice(3), (Bytes{'n', 'e', 'w'})) << url;
        device.Close();
    }
}

// The port object drops what waits to be sent before each write; over the network that must not
// cost the box's answers, which a purge at the server would.
TEST_F(NetworkDeviceOnSer2net, WritesWithTheirPurges_LoseNothingTheBoxSendsMeanwhile) {
    Open(server.Rfc2217());
    ASSERT_TRUE(device.Purge());
    std::thread box([this] {
        for (int i = 0; i < 200; ++i) {
            pty.Send({static_cast<std::uint8_t>(i)});
            std::this_thread::sleep_for(200us);
        }
    });
    const std::uint8_t beacon = 0x16;
    Bytes got;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (got.size() < 200 && std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(device.PurgeOutput());
        ASSERT_TRUE(device.Write(&beacon, 1));
        std::array<std::uint8_t, 256> chunk{};
        const std::optional<std::size_t> n = device.Read(chunk.data(), chunk.size());
        ASSERT_TRUE(n) << LastSystemError().message;
        got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*n));
        std::this_thread::sleep_for(100us);
    }
    box.join();
    Bytes want;
    for (int i = 0; i < 200; ++i) {
        want.push_back(static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(got, want);
}

TEST_F(NetworkDeviceOnSer2net, Wait_WakesInOrderAndTheServersEndIsTheLinesEnd) {
    Open(server.Rfc2217());
    ASSERT_TRUE(device.Purge());
    Event stop;
    Event writeRequest;
    writeRequest.Set();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::WriteRequest);
    writeRequest.Reset();
    pty.Send({0x19});
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
    EXPECT_EQ(ReadFromDevice(1), Bytes{0x19});
    stop.Set();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop);
    stop.Reset();

    server.Stop();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
    std::array<std::uint8_t, 16> chunk{};
    std::optional<std::size_t> read;
    for (int i = 0; i < 1000 && (read = device.Read(chunk.data(), chunk.size())) && *read == 0;
         ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(read);
    EXPECT_EQ(LastSystemError().message, "the server closed the connection");
}

}  // namespace
}  // namespace vandrelux::platform
