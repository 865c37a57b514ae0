// tachosim: a tachograph card in the vpcd virtual reader.
//
// The card connects to vpcd's TCP port (connect = inserted, close = removed)
// and answers its frames. Every event goes to stdout as one line, for tests:
//   event inserted|removed|disconnected|dropped   ctl power-on|power-off|reset|atr
//   cmd HEX   rsp HEX   rsp -  (no answer)  state k=v ...   ok   error TEXT
// Commands come as lines on stdin and on the control socket (--control):
//   insert  remove  state  quit

#include "profilefile.h"
#include "simcard.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char usage[] = "usage: tachosim --port PORT [options]\n"
                     "       tachosim --send CONTROL-PATH insert|remove|state|quit\n"
                     "        --profile FILE.json (a JSON object of card settings, see docs/demo.md;\n"
                     "        options after it override it)\n"
                     "card:   --type N (1 driver, 2 workshop, 3 control, 4 company)  --card-number TEXT\n"
                     "        --skzi-number TEXT  --cert FILE  --cert-file-size N  --pin TEXT  --puk TEXT\n"
                     "        --pin-tries N  --pin-max-tries N  --puk-tries N  --puk-max-tries N\n"
                     "        --t0 (ATR 3B 02 14 50; default T=1 3B 80 01 81)  --no-get-data [--get-data-sw XXXX]\n"
                     "        --no-pin-for-number (EF 0520 readable without PIN on control/company cards)\n"
                     "faults: --fault-sw XXXX with --fault-index N (the n-th APDU) and/or --fault-command HEX-PREFIX\n"
                     "        --mute [--mute-release MS] (removed MS after the unanswered command)\n"
                     "        --empty-read-binary  --remove-after N  --empty-answer (connection dropped and restored)\n"
                     "test:   --echo (80 EE 00 00 Lc DATA is answered with DATA)\n"
                     "run:    --host ADDR (127.0.0.1)  --removed (start with the card out)  --control PATH\n";

void out(const std::string& line)
{
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

bool writeAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

int parseInt(const char* text, int base = 10)
{
    char* end = nullptr;
    long value = strtol(text, &end, base);
    if (!end || *end || end == text) {
        fprintf(stderr, "tachosim: not a number: %s\n", text);
        exit(2);
    }
    return int(value);
}

int sendControl(const std::string& path, const std::string& command)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        fprintf(stderr, "tachosim: control path too long\n");
        return 2;
    }
    strcpy(addr.sun_path, path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        fprintf(stderr, "tachosim: cannot reach %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    std::string line = command + "\n";
    writeAll(fd, reinterpret_cast<const uint8_t*>(line.data()), line.size());
    ::shutdown(fd, SHUT_WR);
    char buf[512];
    ssize_t n;
    std::string reply;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0)
        reply.append(buf, size_t(n));
    ::close(fd);
    fputs(reply.c_str(), stdout);
    return reply.rfind("error", 0) == 0 ? 1 : 0;
}

class Simulator
{
public:
    Simulator(const CardProfile& profile, std::string host, int port)
        : m_card(profile), m_host(std::move(host)), m_port(port), m_muteReleaseMs(profile.muteReleaseMs)
    {}

    bool listenControl(const std::string& path);
    void setInserted(bool inserted) { m_wantInserted = inserted; }
    int run();

private:
    std::string handleLine(const std::string& line);
    void tryConnect();
    void disconnect(const char* why);
    bool readFrames();
    bool handleFrame(const Bytes& payload);
    bool sendFrame(const Bytes& payload);
    std::string stateLine() const;

    SimulatedCard m_card;
    std::string m_host;
    int m_port;
    bool m_wantInserted = true;
    bool m_quit = false;
    int m_socket = -1;
    Bytes m_in;
    int m_control = -1;
    std::string m_controlPath;
    std::string m_stdinBuffer;
    int m_muteReleaseMs = 0;
    bool m_muted = false;
    std::chrono::steady_clock::time_point m_muteSince;
};

bool Simulator::listenControl(const std::string& path)
{
    m_control = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
        return false;
    strcpy(addr.sun_path, path.c_str());
    ::unlink(path.c_str());
    if (::bind(m_control, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_control, 4) != 0)
        return false;
    m_controlPath = path;
    return true;
}

std::string Simulator::stateLine() const
{
    Bytes pin(m_card.pin().begin(), m_card.pin().end());
    return "state inserted=" + std::to_string(m_socket >= 0) + " powered=" + std::to_string(m_card.powered()) +
           " verified=" + std::to_string(m_card.pinVerified()) + " pin-tries=" + std::to_string(m_card.pinTries()) +
           " puk-tries=" + std::to_string(m_card.pukTries()) + " pin=" + toHex(pin);
}

std::string Simulator::handleLine(const std::string& raw)
{
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    if (line == "insert") {
        m_wantInserted = true;
        tryConnect();
        return m_socket >= 0 ? "ok" : "error vpcd not reachable, will retry";
    }
    if (line == "remove") {
        m_wantInserted = false;
        if (m_socket >= 0)
            disconnect("removed");
        return "ok";
    }
    if (line == "state")
        return stateLine();
    if (line == "quit") {
        m_quit = true;
        return "ok";
    }
    if (line.empty())
        return "";
    return "error unknown command: " + line;
}

void Simulator::tryConnect()
{
    if (m_socket >= 0 || !m_wantInserted)
        return;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(m_port));
    inet_pton(AF_INET, m_host.c_str(), &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return;
    }
    // vpcd writes each frame in two pieces: without these every exchange
    // waits for a delayed ACK (about 44 ms).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    m_socket = fd;
    m_in.clear();
    m_card.powerOff();
    out("event inserted");
}

void Simulator::disconnect(const char* why)
{
    m_muted = false;
    ::close(m_socket);
    m_socket = -1;
    m_in.clear();
    m_card.powerOff();
    out(std::string("event ") + why);
}

bool Simulator::sendFrame(const Bytes& payload)
{
    Bytes frame = {uint8_t(payload.size() >> 8), uint8_t(payload.size() & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return writeAll(m_socket, frame.data(), frame.size());
}

bool Simulator::handleFrame(const Bytes& payload)
{
    if (payload.size() == 1) {
        switch (payload[0]) {
        case 0:
            m_card.powerOff();
            out("ctl power-off");
            return true;
        case 1:
            m_card.powerOn();
            out("ctl power-on");
            return true;
        case 2:
            m_card.reset();
            out("ctl reset");
            return true;
        case 4:
            out("ctl atr");
            return sendFrame(m_card.atr());
        default:
            out("ctl " + std::to_string(payload[0]));
            return true;
        }
    }
    out("cmd " + toHex(payload));
    Answer answer = m_card.command(payload);
    if (answer.kind == Answer::NoReply) {
        out("rsp -");
        m_muteSince = std::chrono::steady_clock::now();
        m_muted = true;
        return true;
    }
    if (answer.kind == Answer::Drop) {
        out("rsp ");
        disconnect("dropped");
        return true;
    }
    out("rsp " + toHex(answer.data));
    if (!sendFrame(answer.data))
        return false;
    if (answer.kind == Answer::ReplyThenRemove) {
        m_wantInserted = false;
        disconnect("removed");
    }
    return true;
}

// Reads what is there and handles every complete frame; false when vpcd
// closed the connection.
bool Simulator::readFrames()
{
    uint8_t buf[4096];
    ssize_t n = ::recv(m_socket, buf, sizeof(buf), 0);
    // Quick ACK is cleared by the kernel after use: re-arm it each time.
    int one = 1;
    setsockopt(m_socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    m_in.insert(m_in.end(), buf, buf + n);
    while (m_socket >= 0 && m_in.size() >= 2) {
        size_t length = size_t(m_in[0]) << 8 | m_in[1];
        if (m_in.size() < 2 + length)
            break;
        Bytes payload(m_in.begin() + 2, m_in.begin() + 2 + long(length));
        m_in.erase(m_in.begin(), m_in.begin() + 2 + long(length));
        if (!handleFrame(payload))
            return m_socket < 0;
    }
    return true;
}

int Simulator::run()
{
    bool stdinOpen = true;
    tryConnect();
    if (!m_wantInserted)
        out("event removed");
    out("ready");
    while (!m_quit) {
        pollfd fds[3];
        int count = 0;
        int stdinIndex = -1, socketIndex = -1, controlIndex = -1;
        if (stdinOpen) {
            stdinIndex = count;
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (m_socket >= 0) {
            socketIndex = count;
            fds[count++] = {m_socket, POLLIN, 0};
        }
        if (m_control >= 0) {
            controlIndex = count;
            fds[count++] = {m_control, POLLIN, 0};
        }
        // Waiting to be inserted: retry the connection every 50 ms.
        int timeout = (m_wantInserted && m_socket < 0) ? 50 : -1;
        if (m_muted && m_muteReleaseMs > 0) {
            auto left = m_muteReleaseMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - m_muteSince)
                                              .count();
            if (left <= 0) {
                // pcscd is stuck waiting for the answer: only going away frees it.
                m_wantInserted = false;
                disconnect("removed");
                continue;
            }
            timeout = int(left);
        }
        int ready = ::poll(fds, nfds_t(count), timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return 1;
        if (socketIndex >= 0 && (fds[socketIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!readFrames() && m_socket >= 0)
                disconnect("disconnected"); // vpcd went away; reconnect while inserted
        }
        if (stdinIndex >= 0 && (fds[stdinIndex].revents & (POLLIN | POLLHUP))) {
            char buf[1024];
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
            if (n <= 0) {
                // The test that drives us through a pipe is gone, or a person
                // typed Ctrl-D: so are we. Started with stdin on /dev/null (in
                // the background), only the control socket drives us.
                struct stat st
                {
                };
                stdinOpen = false;
                if (isatty(STDIN_FILENO) || (fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode)))
                    m_quit = true;
            } else {
                m_stdinBuffer.append(buf, size_t(n));
                size_t pos;
                while ((pos = m_stdinBuffer.find('\n')) != std::string::npos) {
                    std::string reply = handleLine(m_stdinBuffer.substr(0, pos));
                    m_stdinBuffer.erase(0, pos + 1);
                    if (!reply.empty())
                        out(reply);
                }
            }
        }
        if (controlIndex >= 0 && (fds[controlIndex].revents & POLLIN)) {
            int client = ::accept(m_control, nullptr, nullptr);
            if (client >= 0) {
                // One short line per connection; a person's tool, not a hot path.
                std::string line;
                char c;
                while (line.size() < 256 && ::read(client, &c, 1) == 1 && c != '\n')
                    line.push_back(c);
                std::string reply = handleLine(line);
                out("control " + line + ": " + reply);
                reply += "\n";
                writeAll(client, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
                ::close(client);
            }
        }
        tryConnect();
    }
    if (m_socket >= 0)
        disconnect("removed");
    if (!m_controlPath.empty())
        ::unlink(m_controlPath.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    CardProfile profile;
    std::string host = "127.0.0.1";
    std::string controlPath;
    int port = -1;
    bool inserted = true;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "tachosim: %s needs a value\n%s", arg.c_str(), usage);
                exit(2);
            }
            return argv[++i];
        };
        if (arg == "--send") {
            std::string path = value();
            std::string command = value();
            return sendControl(path, command);
        } else if (arg == "--port") {
            port = parseInt(value());
        } else if (arg == "--host") {
            host = value();
        } else if (arg == "--control") {
            controlPath = value();
        } else if (arg == "--removed") {
            inserted = false;
        } else if (arg == "--type") {
            profile.cardType = parseInt(value());
        } else if (arg == "--card-number") {
            profile.cardNumber = value();
        } else if (arg == "--skzi-number") {
            profile.skziNumber = value();
        } else if (arg == "--profile") {
            std::string error;
            if (!loadProfileFile(value(), &profile, &error)) {
                fprintf(stderr, "tachosim: %s\n", error.c_str());
                return 2;
            }
        } else if (arg == "--cert") {
            if (!readCertificateFile(value(), &profile)) {
                fprintf(stderr, "tachosim: cannot read %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--cert-file-size") {
            profile.certificateFileSize = size_t(parseInt(value()));
        } else if (arg == "--pin") {
            profile.pin = value();
        } else if (arg == "--puk") {
            profile.puk = value();
        } else if (arg == "--pin-tries") {
            profile.pinTries = parseInt(value());
        } else if (arg == "--pin-max-tries") {
            profile.pinMaxTries = parseInt(value());
        } else if (arg == "--puk-tries") {
            profile.pukTries = parseInt(value());
        } else if (arg == "--puk-max-tries") {
            profile.pukMaxTries = parseInt(value());
        } else if (arg == "--t0") {
            profile.t0 = true;
        } else if (arg == "--no-get-data") {
            profile.getDataSupported = false;
        } else if (arg == "--get-data-sw") {
            profile.getDataRefusedSw = parseInt(value(), 16);
        } else if (arg == "--no-pin-for-number") {
            profile.protectCardNumber = false;
        } else if (arg == "--fault-sw") {
            profile.faultSw = parseInt(value(), 16);
        } else if (arg == "--fault-index") {
            profile.faultCommandIndex = parseInt(value());
        } else if (arg == "--fault-command") {
            if (!fromHex(value(), &profile.faultCommand)) {
                fprintf(stderr, "tachosim: bad hex: %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--mute") {
            profile.mute = true;
        } else if (arg == "--mute-release") {
            profile.muteReleaseMs = parseInt(value());
        } else if (arg == "--empty-read-binary") {
            profile.emptyReadBinary = true;
        } else if (arg == "--remove-after") {
            profile.removeAfter = parseInt(value());
        } else if (arg == "--empty-answer") {
            profile.emptyAnswer = true;
        } else if (arg == "--echo") {
            profile.echo = true;
        } else if (arg == "--help" || arg == "-h") {
            fputs(usage, stdout);
            return 0;
        } else {
            fprintf(stderr, "tachosim: unknown option %s\n%s", arg.c_str(), usage);
            return 2;
        }
    }
    if (port <= 0 || port > 65535) {
        fprintf(stderr, "tachosim: --port is required\n%s", usage);
        return 2;
    }
    if (profile.pinMaxTries < profile.pinTries)
        profile.pinMaxTries = profile.pinTries;
    if (profile.pukMaxTries < profile.pukTries)
        profile.pukMaxTries = profile.pukTries;

    Simulator simulator(profile, host, port);
    simulator.setInserted(inserted);
    if (!controlPath.empty() && !simulator.listenControl(controlPath)) {
        fprintf(stderr, "tachosim: cannot listen on %s: %s\n", controlPath.c_str(), strerror(errno));
        return 2;
    }
    return simulator.run();
}
