// The real program, run as a separate process on the private pcscd with a
// simulated card: start-up to the first command at the card, CPU time while
// idle (a reader watched, and no reader at all), resident memory after
// start-up and over insert/read/remove cycles.
//
//   bench_process [--repeat N] [--idle SECONDS] [--cycles N] [--out FILE]

#include "bench/benchtable.h"
#include "support/bench.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

using benchutil::msSince;
using benchutil::nowNs;
using benchutil::Series;
using benchutil::Table;

namespace {

int intOption(const QStringList& args, const QString& name, int fallback)
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? qMax(1, args.at(i + 1).toInt()) : fallback;
}

// utime + stime of the whole process (all threads), in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // Fields after the command name, which may hold spaces: state is field 3.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return fields.at(11).toLongLong() + fields.at(12).toLongLong(); // utime, stime
}

// VmRSS in MiB.
double rssMiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

// Polls (1 ms steps) until cond() holds; false after timeoutMs.
template <typename F> bool pollUntil(F cond, int timeoutMs)
{
    const qint64 start = nowNs();
    while (!cond()) {
        if (msSince(start) > timeoutMs)
            return false;
        QThread::usleep(1000);
    }
    return true;
}

void sleepMs(int ms)
{
    QThread::msleep(ulong(ms));
}

// The program with its own settings, temporary files and PC/SC service.
QProcessEnvironment programEnvironment(const QString& home, const QString& socket)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // On a display when there is one (xvfb-run), else off screen.
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")) && !env.contains(QStringLiteral("DISPLAY")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("TMPDIR"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("PCSCLITE_CSOCK_NAME"), socket);
    return env;
}

void endProgram(QProcess& p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int repeat = benchutil::repeatCount(args, 10);
    const int idleSeconds = intOption(args, QStringLiteral("--idle"), 60);
    const int cycles = intOption(args, QStringLiteral("--cycles"), 100);
    Table table(benchutil::resultsPath(args));
    const QString program = QStringLiteral(ZENTAVO_BINARY);

    QTemporaryDir work;
    if (!work.isValid())
        return 2;
    const QString home = work.path() + QStringLiteral("/home");
    QDir().mkpath(home + QStringLiteral("/runtime"));
    QFile::setPermissions(home + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    PcscBench bench;
    if (!bench.start()) {
        fprintf(stderr, "bench: %s\n", qPrintable(bench.errorString()));
        return 1;
    }
    SimCard card(&bench, 0);
    SimCard::Profile profile;
    if (!card.start(profile)) {
        fprintf(stderr, "bench: %s\n", qPrintable(card.errorString()));
        return 1;
    }
    const QProcessEnvironment env = programEnvironment(home, bench.socketPath());
    auto commandCount = [&] { return int(card.commands().size()); };
    auto resetCount = [&] { return int(card.events().count(QStringLiteral("reset"))); };

    // ---------------------------------------------------------------- 6
    table.section(QStringLiteral("Start-up of the program (pcscd already up, card inserted)"));
    {
        Series firstCommand, cardRead;
        for (int r = 0; r < repeat; ++r) {
            card.clearLog();
            QProcess p;
            p.setProcessEnvironment(env);
            p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p.setStandardOutputFile(QProcess::nullDevice());
            const qint64 t = nowNs();
            p.start(program, {});
            // The window selects the reader during its first show and reads
            // the card inside it: the first command marks "shown and selected".
            if (!pollUntil([&] { return commandCount() > 0; }, 10000)) {
                table.note(QStringLiteral("run %1: no command reached the card").arg(r));
                endProgram(p);
                continue;
            }
            firstCommand.add(msSince(t));
            if (pollUntil([&] { return commandCount() >= 4; }, 10000))
                cardRead.add(msSince(t));
            endProgram(p);
            // The card is free again before the next start.
            sleepMs(200);
        }
        table.row(QStringLiteral("process start -> first command at the card"), QStringLiteral("ms"), firstCommand,
                  QStringLiteral("< 300 : ") + Table::verdict(!firstCommand.empty() && firstCommand.max() < 300));
        table.row(QStringLiteral("process start -> card read (4 commands)"), QStringLiteral("ms"), cardRead);

        // Under X: the window as the desktop sees it, found by its title.
        const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (!qEnvironmentVariableIsEmpty("DISPLAY") && !xdotool.isEmpty() &&
            env.value(QStringLiteral("QT_QPA_PLATFORM")) != QLatin1String("offscreen")) {
            Series mapped, look;
            auto windowShown = [&] {
                const qint64 started = nowNs();
                QProcess search;
                search.setStandardOutputFile(QProcess::nullDevice());
                search.setStandardErrorFile(QProcess::nullDevice());
                search.start(xdotool, {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                       QStringLiteral("--name"), QStringLiteral("Чтение карты тахографа")});
                const bool found = search.waitForFinished(5000) && search.exitStatus() == QProcess::NormalExit &&
                                   search.exitCode() == 0;
                look.add(msSince(started));
                return found;
            };
            for (int r = 0; r < repeat; ++r) {
                QProcess p;
                p.setProcessEnvironment(env);
                p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
                p.setStandardOutputFile(QProcess::nullDevice());
                const qint64 t = nowNs();
                p.start(program, {});
                const bool shown = pollUntil([&] { return p.state() == QProcess::NotRunning || windowShown(); }, 10000);
                if (p.state() == QProcess::NotRunning)
                    // Seen under xvfb-run while other X clients come and go:
                    // Qt could not open the display.
                    table.note(QStringLiteral("run %1: the program ended at start (exit code %2), not counted")
                                   .arg(r)
                                   .arg(p.exitCode()));
                else if (shown)
                    mapped.add(msSince(t));
                else
                    table.note(QStringLiteral("run %1: the window did not show").arg(r));
                endProgram(p);
                sleepMs(200);
            }
            table.row(QStringLiteral("process start -> window visible (xdotool)"), QStringLiteral("ms"), mapped,
                      QStringLiteral("< 300 : ") + Table::verdict(!mapped.empty() && mapped.max() < 300));
            table.row(QStringLiteral("one xdotool look (the resolution)"), QStringLiteral("ms"), look);
        }
    }

    // ---------------------------------------------------------------- 5
    table.section(QStringLiteral("Idle cost and resident memory of the program"));
    // A second service without any reader, for the program with nothing to select.
    const QString emptyDir = work.path() + QStringLiteral("/empty-pcscd");
    const QString script = QStringLiteral(ZENTAVO_BENCH_SCRIPT);
    QProcess starter;
    starter.setStandardOutputFile(QProcess::nullDevice());
    starter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    starter.start(QStringLiteral("sh"),
                  {script, QStringLiteral("start"), emptyDir, QStringLiteral("auto"), QStringLiteral("0")});
    if (!starter.waitForFinished(15000) || starter.exitCode() != 0) {
        fprintf(stderr, "bench: the empty pcscd did not start\n");
        return 1;
    }
    QProcess watching, unselected;
    for (QProcess* p : {&watching, &unselected}) {
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->setStandardOutputFile(QProcess::nullDevice());
    }
    watching.setProcessEnvironment(env);
    unselected.setProcessEnvironment(programEnvironment(home, emptyDir + QStringLiteral("/sock/pcscd.comm")));
    card.clearLog();
    watching.start(program, {});
    unselected.start(program, {});
    if (!watching.waitForStarted(5000) || !unselected.waitForStarted(5000) ||
        !pollUntil([&] { return commandCount() >= 4; }, 10000)) {
        fprintf(stderr, "bench: the program did not start and read the card\n");
        return 1;
    }
    sleepMs(2000);
    const qint64 pidWatching = watching.processId(), pidUnselected = unselected.processId();
    const double rssStartWatching = rssMiB(pidWatching), rssStartUnselected = rssMiB(pidUnselected);

    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const int slice = 10;
    Series cpuWatching, cpuUnselected;
    const qint64 w0 = cpuTicks(pidWatching), u0 = cpuTicks(pidUnselected);
    qint64 wPrev = w0, uPrev = u0;
    const qint64 idleStart = nowNs();
    for (int s = slice; s <= idleSeconds; s += slice) {
        const qint64 due = idleStart + qint64(s) * 1000000000;
        while (nowNs() < due)
            sleepMs(int(qMax<qint64>(1, (due - nowNs()) / 1000000)));
        const double wall = double(slice) * double(ticksPerSecond);
        const qint64 w = cpuTicks(pidWatching), u = cpuTicks(pidUnselected);
        cpuWatching.add(100.0 * double(w - wPrev) / wall);
        cpuUnselected.add(100.0 * double(u - uPrev) / wall);
        wPrev = w;
        uPrev = u;
    }
    const double idleWall = msSince(idleStart) / 1000.0 * double(ticksPerSecond);
    const double totalWatching = 100.0 * double(wPrev - w0) / idleWall;
    const double totalUnselected = 100.0 * double(uPrev - u0) / idleWall;
    const int commandsWhileIdle = commandCount() - 4;

    table.row(QStringLiteral("CPU, reader watched, per %1 s slice").arg(slice), QStringLiteral("%core"), cpuWatching);
    table.single(QStringLiteral("CPU, reader watched, whole %1 s").arg(idleSeconds), QStringLiteral("%core"),
                 totalWatching, QStringLiteral("< 0.5 : ") + Table::verdict(totalWatching < 0.5));
    table.row(QStringLiteral("CPU, no reader, per %1 s slice").arg(slice), QStringLiteral("%core"), cpuUnselected);
    table.single(QStringLiteral("CPU, no reader, whole %1 s").arg(idleSeconds), QStringLiteral("%core"),
                 totalUnselected, QStringLiteral("< 0.5 : ") + Table::verdict(totalUnselected < 0.5));
    table.note(QStringLiteral("clock tick %1 ms; commands sent to the card while idle: %2")
                   .arg(1000 / ticksPerSecond)
                   .arg(commandsWhileIdle));

    // Insert / read / remove cycles on the watching program.
    Series rssSamples;
    int unread = 0;
    const qint64 cyclesStart = nowNs();
    for (int c = 1; c <= cycles; ++c) {
        card.remove();
        const int before = commandCount(), resetsBefore = resetCount();
        card.insert();
        // Read means its 4 commands and both disconnects (each resets the
        // card): a card pulled during the last disconnect and put back at
        // once can stay unseen, pcscd telling every client the reader is
        // empty, which is no measure of the program.
        if (!pollUntil([&] { return commandCount() >= before + 4 && resetCount() >= resetsBefore + 2; }, 5000)) {
            ++unread;
            fprintf(stderr, "bench: cycle %d: %d of 4 commands\n", c, commandCount() - before);
        }
        if (c % 10 == 0)
            rssSamples.add(rssMiB(pidWatching));
    }
    const double cyclesSeconds = msSince(cyclesStart) / 1000.0;
    sleepMs(500);
    const double rssEndWatching = rssMiB(pidWatching);
    table.single(QStringLiteral("RSS after start, reader watched"), QStringLiteral("MiB"), rssStartWatching,
                 QStringLiteral("< 80 : ") + Table::verdict(rssStartWatching < 80));
    table.single(QStringLiteral("RSS after start, no reader"), QStringLiteral("MiB"), rssStartUnselected);
    table.single(QStringLiteral("RSS after the idle time, no reader"), QStringLiteral("MiB"), rssMiB(pidUnselected));
    table.row(QStringLiteral("RSS every 10 cycles"), QStringLiteral("MiB"), rssSamples);
    table.single(QStringLiteral("RSS after %1 insert/read/remove cycles").arg(cycles), QStringLiteral("MiB"),
                 rssEndWatching, QStringLiteral("< 80 : ") + Table::verdict(rssEndWatching < 80));
    table.single(QStringLiteral("RSS growth over the cycles"), QStringLiteral("MiB"),
                 rssEndWatching - rssStartWatching);
    table.note(QStringLiteral("%1 cycles in %2 s; cycles whose card was not read: %3")
                   .arg(cycles)
                   .arg(cyclesSeconds, 0, 'f', 1)
                   .arg(unread));

    endProgram(watching);
    endProgram(unselected);
    QProcess::execute(QStringLiteral("sh"), {script, QStringLiteral("stop"), emptyDir});
    return 0;
}
