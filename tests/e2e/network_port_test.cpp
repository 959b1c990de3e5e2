// Network serial ports end to end: Debian's ser2net serves the pseudo-terminals of two
// simulators on the loopback address, one with RFC 2217 (COM2, a file naming
// rfc2217://127.0.0.1:PORT) and one as raw TCP (COM4, tcp://). The link comes up at 57600 over
// RFC 2217 and stays at 9600 on the raw port; an update and a backup go through tavraloader-cli;
// ser2net killed takes the link down at once and ser2net started again brings it back.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace tavra::test {
namespace {

const char kUpdateOk[] = "Opdater Firmware afsluttet med succes\n";
const char kBackupOk[] = "Backup af  Firmware afsluttet med succes\n";

std::string FindSer2net() {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin"}) {
    std::string path = std::string(dir) + "/ser2net";
    if (::access(path.c_str(), X_OK) == 0) {
      return path;
    }
  }
  return {};
}

// A TCP port on 127.0.0.1 that nobody listens on now.
int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// Whether something listens on 127.0.0.1:port (from /proc/net/tcp, without connecting: a
// connection would make ser2net open the device).
bool Listening(int port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string address;
    std::string remote;
    std::string state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") {
      return true;
    }
  }
  return false;
}

std::string CounterLine(const std::string& status, const std::string& name) {
  const auto at = status.find("  " + name + " ");
  return at == std::string::npos ? "" : status.substr(at, status.find('\n', at) - at);
}

class NetworkPort : public EndToEnd {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_bus.Ready());
    m_ser2net = FindSer2net();
    ASSERT_NE(m_ser2net, "") << "ser2net is missing: scripts/install-deps brings it";
    MakeFirmware("small.TVW", {"--rows", "120"});
    m_sims.push_back(StartSim(1, {}));
    m_sims.push_back(StartSim(3, {}));
    m_rfc2217Port = FreeLoopbackPort();
    m_rawPort = FreeLoopbackPort();
    ASSERT_GT(m_rfc2217Port, 0);
    ASSERT_GT(m_rawPort, 0);
    ASSERT_NE(m_rfc2217Port, m_rawPort);
    const auto device = [&](int port) {
      return std::filesystem::read_symlink(m_bus.PortFolder() / ("COM" + std::to_string(port)))
          .string();
    };
    std::ofstream(File("ser2net.yaml"))
        << "%YAML 1.1\n---\n"
        << "connection: &rfc2217\n"
        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << m_rfc2217Port << "\n"
        << "  connector: serialdev," << device(1) << ",9600n81,local\n"
        << "connection: &raw\n"
        << "  accepter: tcp,127.0.0.1," << m_rawPort << "\n"
        << "  connector: serialdev," << device(3) << ",9600n81,local\n";
    std::ofstream(m_bus.PortFolder() / "COM2") << "rfc2217://127.0.0.1:" << m_rfc2217Port << "\n";
    std::ofstream(m_bus.PortFolder() / "COM4") << "tcp://127.0.0.1:" << m_rawPort << "\n";
    StartSer2net();
  }

  void StartSer2net() {
    m_server = std::make_unique<ChildProcess>(
        std::vector<std::string>{m_ser2net, "-n", "-u", "-c", File("ser2net.yaml").string(), "-P",
                                 File("ser2net.pid").string()},
        std::map<std::string, std::string>{}, File("ser2net.err"));
    ASSERT_TRUE(WaitUntil([&] { return Listening(m_rfc2217Port) && Listening(m_rawPort); },
                          std::chrono::milliseconds(kWait)))
        << ReadFile(File("ser2net.err"));
  }

  std::string Status(int port) {
    const CliRun status = Tavractl({"status", std::to_string(port)});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    return status.out;
  }

  std::string m_ser2net;
  int m_rfc2217Port = -1;
  int m_rawPort = -1;
  std::vector<std::unique_ptr<ChildProcess>> m_sims;
  std::unique_ptr<ChildProcess> m_server;
};

TEST_F(NetworkPort, UpdateBackupAndReconnectThroughSer2net) {
  const CliRun update = Run({"--port", "2", "--quiet", "update", File("small.TVW")});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  EXPECT_NE(update.out.find(kUpdateOk), std::string::npos) << update.out;
  const CliRun backup = Run({"--port", "2", "--quiet", "backup", File("back.TVW")});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_NE(backup.out.find(kBackupOk), std::string::npos) << backup.out;
  EXPECT_EQ(ReadFile(File("back.TVW")), ReadFile(File("small.TVW")));

  // The raw port: the same controller work at 9600, never asked for more.
  const CliRun rawUpdate = Run({"--port", "4", "--quiet", "update", File("small.TVW")});
  EXPECT_EQ(rawUpdate.exitCode, 0) << rawUpdate.err;
  EXPECT_NE(rawUpdate.out.find(kUpdateOk), std::string::npos) << rawUpdate.out;
  {
    auto rawWatch = Watch(4);
    ASSERT_TRUE(SeeLine(*rawWatch, "STATUS_ONLINE"));
    EXPECT_EQ(CounterLine(Status(4), "BitRate"), "  BitRate                       9600");
  }

  // A client that stays: the link negotiated to 57600 over RFC 2217.
  auto watch = Watch(2);
  ASSERT_TRUE(SeeLine(*watch, "STATUS_ONLINE")) << ReadFile(File("ser2net.err"));
  const std::string up = Status(2);
  EXPECT_EQ(CounterLine(up, "BitRate"), "  BitRate                       57600");
  const long before = Counter(up, "LinkEstablishments");
  ASSERT_GT(before, 0) << up;

  // The device server goes away: the link is lost at once, and comes back with the server.
  m_server->Signal(SIGKILL);
  EXPECT_TRUE(m_server->Wait(std::chrono::milliseconds(kWait)));
  EXPECT_TRUE(SeeLine(*watch, "STATUS_NO_CONNECTION"));
  StartSer2net();
  EXPECT_TRUE(SeeLine(*watch, "STATUS_ONLINE"));
  const std::string back = Status(2);
  EXPECT_EQ(CounterLine(back, "BitRate"), "  BitRate                       57600");
  EXPECT_EQ(Counter(back, "LinkEstablishments"), before + 1) << back;
}

// A file that names no network port, and a server that is not there: clear refusals.
TEST_F(NetworkPort, BadEntriesAndAbsentServersAreRefusedClearly) {
  std::ofstream(m_bus.PortFolder() / "COM5") << "serial://127.0.0.1:1\n";
  const CliRun bad = Run({"--port", "5", "version"});
  EXPECT_EQ(bad.exitCode, 1) << bad.err;
  std::ofstream(m_bus.PortFolder() / "COM6")
      << "rfc2217://127.0.0.1:" << FreeLoopbackPort() << "\n";
  const CliRun absent = Run({"--port", "6", "version"});
  EXPECT_EQ(absent.exitCode, 1) << absent.err;

  // The port list shows the URLs and the bad entry, without connecting.
  const CliRun ports = Run({"ports"});
  EXPECT_EQ(ports.exitCode, 0) << ports.err;
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(m_rfc2217Port);
  EXPECT_NE(ports.out.find("COM2  " + url + std::string(32 - url.size(), ' ') + "network\n"),
            std::string::npos)
      << ports.out;
  EXPECT_NE(ports.out.find("tcp://127.0.0.1:" + std::to_string(m_rawPort)), std::string::npos);
  EXPECT_NE(ports.out.find("bad entry\n"), std::string::npos) << ports.out;
}

}  // namespace
}  // namespace tavra::test
