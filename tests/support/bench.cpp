#include "bench.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// True when nothing listens on (or holds) the TCP port on any address.
bool portFree(quint16 port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return free;
}

// Children die with the test process even when it crashes.
void dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

// The reader names, or false when the service does not answer yet.
bool listReaderNames(QStringList* out)
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    QStringList names;
    DWORD length = 0;
    if (SCardListReaders(context, nullptr, nullptr, &length) == SCARD_S_SUCCESS && length > 0) {
        QByteArray buffer(int(length), '\0');
        if (SCardListReaders(context, nullptr, buffer.data(), &length) == SCARD_S_SUCCESS) {
            for (const QByteArray& name : buffer.left(int(length)).split('\0'))
                if (!name.isEmpty())
                    names << QString::fromUtf8(name);
        }
    }
    SCardReleaseContext(context);
    *out = names;
    return true;
}

// The script names entry k "Virtual PCD" (k = 0) or "Virtual PCD k": pcscd
// numbers same-named entries alike, which would make two readers one name.
QString readerNameAt(int index)
{
    const int entry = index / 2;
    return entry == 0 ? QString::asprintf("Virtual PCD 00 %02d", index % 2)
                      : QString::asprintf("Virtual PCD %d 00 %02d", entry, index % 2);
}

} // namespace

struct PcscBench::Private
{
    QTemporaryDir dir{QDir::tempPath() + "/zbench-XXXXXX"};
    QProcess daemon;
    int entries = 1;
    quint16 basePort = 0;
    bool environmentSet = false;
    QString error;
    QByteArray log;

    QString benchDir() const { return dir.path() + "/pcscd"; }
    bool launch(int timeoutMs);
    void collectLog() { log += daemon.readAll(); }
};

PcscBench::PcscBench() : d(new Private)
{
    d->daemon.setProcessChannelMode(QProcess::MergedChannels);
    // No parent-death signal here: it would kill the supervising shell and
    // orphan pcscd. The shell sees the end of its stdin and stops pcscd.
}

PcscBench::~PcscBench()
{
    stop();
}

void PcscBench::setEntryCount(int entries)
{
    d->entries = qMax(0, entries);
}

bool PcscBench::start(int timeoutMs)
{
    if (isRunning())
        return true;
    if (!d->dir.isValid()) {
        d->error = "no temporary directory";
        return false;
    }
    // Another process may take a probed port before pcscd binds it: then the
    // readers stay missing and we try another pair.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (d->basePort == 0 || attempt > 0) {
            quint16 base = 0;
            for (int probe = 0; probe < 200 && base == 0; ++probe) {
                auto candidate = quint16(20000 + 2 * QRandomGenerator::global()->bounded(15000));
                bool free = true;
                for (int i = 0; i < readerCount() && free; ++i)
                    free = candidate + i != 35963 && candidate + i != 35964 && portFree(quint16(candidate + i));
                if (free)
                    base = candidate;
            }
            if (base == 0) {
                d->error = "no free port pair";
                return false;
            }
            d->basePort = base;
        }
        if (d->launch(timeoutMs))
            return true;
    }
    return false;
}

bool PcscBench::Private::launch(int timeoutMs)
{
    QDir().mkpath(benchDir());
    if (!environmentSet) {
        // pcsc-lite reads this once, at the process's first PC/SC call.
        qputenv("PCSCLITE_CSOCK_NAME", QFile::encodeName(benchDir() + "/sock/pcscd.comm"));
        environmentSet = true;
    }
    QFile::remove(benchDir() + "/sock/pcscd.comm");
    // Supervised: pcscd ends with our end of its stdin pipe, also when this
    // process dies without stopping it.
    daemon.start("/bin/sh",
                 {ZENTAVO_BENCH_SCRIPT, "supervise", benchDir(), QString::number(basePort), QString::number(entries)});
    if (!daemon.waitForStarted(5000)) {
        error = "cannot run " + QString(ZENTAVO_BENCH_SCRIPT) + ": " + daemon.errorString();
        return false;
    }
    QStringList expected;
    for (int i = 0; i < 2 * entries; ++i)
        expected << readerNameAt(i);
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (daemon.state() == QProcess::NotRunning)
            break;
        QStringList names;
        bool all = listReaderNames(&names);
        for (const QString& name : expected)
            all = all && names.contains(name);
        if (all)
            return true;
        // pcscd offers no event for "started"; poll the reader list.
        daemon.waitForFinished(20);
    }
    collectLog();
    error = QString("readers %1 not listed by the private pcscd on port %2: %3")
                .arg(expected.join(", "))
                .arg(basePort)
                .arg(QString::fromLocal8Bit(log.right(2000)));
    daemon.closeWriteChannel();
    if (!daemon.waitForFinished(3000)) {
        daemon.kill();
        daemon.waitForFinished(3000);
    }
    return false;
}

void PcscBench::stop()
{
    if (d->daemon.state() == QProcess::NotRunning)
        return;
    // End of input: the supervising shell kills pcscd and reaps it.
    d->daemon.closeWriteChannel();
    if (!d->daemon.waitForFinished(3000)) {
        d->daemon.kill();
        d->daemon.waitForFinished(3000);
    }
    d->collectLog();
}

bool PcscBench::restart(int timeoutMs)
{
    stop();
    // Same socket path and ports: contexts must be re-established, and the
    // simulators reconnect on their own.
    return d->launch(timeoutMs);
}

bool PcscBench::isRunning() const
{
    return d->daemon.state() != QProcess::NotRunning;
}

QString PcscBench::readerName(int index) const
{
    return readerNameAt(index);
}

int PcscBench::readerCount() const
{
    return 2 * d->entries;
}

quint16 PcscBench::port(int index) const
{
    return quint16(d->basePort + index);
}

QString PcscBench::socketPath() const
{
    return d->benchDir() + "/sock/pcscd.comm";
}

QString PcscBench::directory() const
{
    return d->benchDir();
}

QByteArray PcscBench::daemonLog() const
{
    d->collectLog();
    return d->log;
}

QString PcscBench::errorString() const
{
    return d->error;
}

bool PcscBench::waitCardPresent(int readerIndex, bool present, int timeoutMs) const
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    const QByteArray name = readerName(readerIndex).toUtf8();
    SCARD_READERSTATE state{};
    state.szReader = name.constData();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    QDeadlineTimer deadline(timeoutMs);
    bool reached = false;
    for (;;) {
        LONG rv = SCardGetStatusChange(context, DWORD(qMax<qint64>(0, deadline.remainingTime())), &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT)
            break;
        const DWORD event = state.dwEventState & 0xFFFF;
        if (rv == SCARD_S_SUCCESS) {
            const bool isPresent = event & SCARD_STATE_PRESENT;
            if (isPresent == present && !(event & SCARD_STATE_UNKNOWN)) {
                reached = true;
                break;
            }
        }
        if (deadline.hasExpired())
            break;
        state.dwCurrentState = event;
    }
    SCardReleaseContext(context);
    return reached;
}

// ---------------------------------------------------------------------------

struct SimCard::Private
{
    PcscBench* bench = nullptr;
    int reader = 0;
    QProcess process;
    QString logPath;
    QString controlPath;
    qint64 logStart = 0;
    QString error;

    QList<QByteArray> logLines() const;
    QByteArray control(const QByteArray& command, int timeoutMs);
};

QList<QByteArray> SimCard::Private::logLines() const
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    file.seek(logStart);
    QList<QByteArray> lines = file.readAll().split('\n');
    // A line still being written has no newline yet.
    lines.removeLast();
    return lines;
}

// One command over the control socket; safe from any thread.
QByteArray SimCard::Private::control(const QByteArray& command, int timeoutMs)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(controlPath);
    if (fd < 0 || path.size() >= int(sizeof(addr.sun_path))) {
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        const QByteArray line = command + '\n';
        if (::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL) == line.size()) {
            char buf[512];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof(buf), 0)) > 0)
                reply.append(buf, int(n));
        }
    }
    ::close(fd);
    return reply.trimmed();
}

SimCard::SimCard(PcscBench* bench, int readerIndex) : d(new Private)
{
    d->bench = bench;
    d->reader = readerIndex;
    d->process.setChildProcessModifier(dieWithParent);
}

SimCard::~SimCard()
{
    stop();
}

bool SimCard::start(const Profile& p, bool inserted, int timeoutMs)
{
    stop();
    const QString base = QString("%1/sim%2").arg(d->bench->directory()).arg(d->reader);
    d->logPath = base + ".log";
    d->controlPath = base + ".ctl";
    d->logStart = 0;
    QFile::remove(d->logPath);

    QStringList args = {"--port", QString::number(d->bench->port(d->reader)), "--control", d->controlPath};
    args << "--type" << QString::number(p.cardType) << "--card-number" << QString::fromLatin1(p.cardNumber)
         << "--skzi-number" << QString::fromLatin1(p.skziNumber) << "--pin" << QString::fromLatin1(p.pin) << "--puk"
         << QString::fromLatin1(p.puk) << "--pin-tries" << QString::number(p.pinTries) << "--pin-max-tries"
         << QString::number(p.pinMaxTries) << "--puk-tries" << QString::number(p.pukTries) << "--puk-max-tries"
         << QString::number(p.pukMaxTries);
    if (!p.certificateFile.isEmpty())
        args << "--cert" << p.certificateFile;
    if (p.certificateFileSize > 0)
        args << "--cert-file-size" << QString::number(p.certificateFileSize);
    if (p.t0)
        args << "--t0";
    if (!p.getDataSupported)
        args << "--no-get-data"
             << "--get-data-sw" << QString::number(p.getDataRefusedSw, 16);
    if (!p.protectCardNumber)
        args << "--no-pin-for-number";
    if (p.faultSw) {
        args << "--fault-sw" << QString::number(p.faultSw, 16);
        if (p.faultCommandIndex > 0)
            args << "--fault-index" << QString::number(p.faultCommandIndex);
        if (!p.faultCommand.isEmpty())
            args << "--fault-command" << QString::fromLatin1(p.faultCommand.toHex());
    }
    if (p.mute)
        args << "--mute"
             << "--mute-release" << QString::number(p.muteReleaseMs);
    if (p.emptyReadBinary)
        args << "--empty-read-binary";
    if (p.removeAfter > 0)
        args << "--remove-after" << QString::number(p.removeAfter);
    if (p.emptyAnswer)
        args << "--empty-answer";
    if (p.echo)
        args << "--echo";
    if (!inserted)
        args << "--removed";
    if (!p.profileFile.isEmpty())
        args << "--profile" << p.profileFile;

    // A file, not a pipe: the log can be read at any time without an event loop.
    d->process.setStandardOutputFile(d->logPath);
    d->process.setStandardErrorFile(base + ".err");
    d->process.start(ZENTAVO_TACHOSIM, args);
    if (!d->process.waitForStarted(5000)) {
        d->error = "cannot start " + QString(ZENTAVO_TACHOSIM) + ": " + d->process.errorString();
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!d->logLines().contains("ready")) {
        if (deadline.hasExpired() || d->process.waitForFinished(10)) {
            d->error = "tachosim did not come up: " + QString::fromLocal8Bit(output());
            return false;
        }
    }
    if (inserted && !d->bench->waitCardPresent(d->reader, true, int(qMax<qint64>(1, deadline.remainingTime())))) {
        d->error = "pcscd did not see the card in " + d->bench->readerName(d->reader);
        return false;
    }
    return true;
}

void SimCard::stop()
{
    if (d->process.state() == QProcess::NotRunning)
        return;
    // Closing stdin ends it; quitting also frees a reader that a mute card holds.
    d->process.closeWriteChannel();
    if (!d->process.waitForFinished(3000)) {
        d->process.kill();
        d->process.waitForFinished(3000);
    }
    // pcscd notices a removal at its next poll; a card started before that
    // would be taken for the old one, with the old one's dead handle.
    if (d->bench->isRunning())
        d->bench->waitCardPresent(d->reader, false, 3000);
}

bool SimCard::insert(int timeoutMs)
{
    if (d->control("insert", timeoutMs) != "ok") {
        d->error = "tachosim could not connect to vpcd";
        return false;
    }
    return d->bench->waitCardPresent(d->reader, true, timeoutMs);
}

bool SimCard::remove(int timeoutMs)
{
    if (d->control("remove", timeoutMs) != "ok") {
        d->error = "tachosim did not take the remove command";
        return false;
    }
    return d->bench->waitCardPresent(d->reader, false, timeoutMs);
}

QList<QByteArray> SimCard::commands() const
{
    QList<QByteArray> out;
    for (const QByteArray& line : d->logLines())
        if (line.startsWith("cmd "))
            out << QByteArray::fromHex(line.mid(4));
    return out;
}

QList<QByteArray> SimCard::responses() const
{
    QList<QByteArray> out;
    for (const QByteArray& line : d->logLines()) {
        if (line == "rsp -")
            out << QByteArray(); // never answered: null, unlike an empty answer
        else if (line.startsWith("rsp")) {
            QByteArray answer = QByteArray::fromHex(line.mid(4));
            out << (answer.isNull() ? QByteArray("") : answer);
        }
    }
    return out;
}

QStringList SimCard::events() const
{
    QStringList out;
    for (const QByteArray& line : d->logLines())
        if (line.startsWith("ctl "))
            out << QString::fromLatin1(line.mid(4));
    return out;
}

void SimCard::clearLog()
{
    QFile file(d->logPath);
    d->logStart = file.size();
}

SimCard::State SimCard::state(int timeoutMs)
{
    State s;
    const QByteArray reply = d->control("state", timeoutMs);
    if (!reply.startsWith("state "))
        return s;
    s.valid = true;
    for (const QByteArray& field : reply.mid(6).split(' ')) {
        const int eq = field.indexOf('=');
        const QByteArray key = field.left(eq), value = field.mid(eq + 1);
        if (key == "inserted")
            s.inserted = value == "1";
        else if (key == "powered")
            s.powered = value == "1";
        else if (key == "verified")
            s.pinVerified = value == "1";
        else if (key == "pin-tries")
            s.pinTries = value.toInt();
        else if (key == "puk-tries")
            s.pukTries = value.toInt();
        else if (key == "pin")
            s.pin = QByteArray::fromHex(value);
    }
    return s;
}

QByteArray SimCard::echoCommand(const QByteArray& response)
{
    return QByteArray::fromHex("80EE0000") + char(response.size()) + response;
}

QString SimCard::controlPath() const
{
    return d->controlPath;
}

QString SimCard::errorString() const
{
    return d->error;
}

QByteArray SimCard::output() const
{
    QFile out(d->logPath);
    QByteArray all;
    if (out.open(QIODevice::ReadOnly))
        all = out.readAll();
    QFile err(QString(d->logPath).replace(".log", ".err"));
    if (err.open(QIODevice::ReadOnly))
        all += err.readAll();
    return all;
}
