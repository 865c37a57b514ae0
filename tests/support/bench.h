#pragma once

// The test bench: a private pcscd with the vpcd virtual reader driver, and
// the tachosim simulator playing a tachograph card in one of its readers.
//
// Typical use in a QTest (one PcscBench per test process, started in
// initTestCase() before the process's first PC/SC call):
//
//     PcscBench bench;
//     QVERIFY2(bench.start(), qPrintable(bench.errorString()));
//     SimCard card(&bench, 0);
//     SimCard::Profile p;            // defaults: driver card, T=1, PIN 1234
//     QVERIFY2(card.start(p), qPrintable(card.errorString()));
//     ... SCardConnect(ctx, bench.readerName(0) ...)
//     QCOMPARE(card.commands().size(), 3);

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private pcscd in a user+mount namespace, on a free pair of vpcd ports.
// Each process has its own, so tests may run in parallel.
class PcscBench
{
public:
    PcscBench();
    ~PcscBench(); // stops the daemon
    PcscBench(const PcscBench&) = delete;
    PcscBench& operator=(const PcscBench&) = delete;

    // Number of vpcd entries (each gives two readers) written to reader.conf.
    // Set before start() or restart(); default 1 (two readers); 0 gives a
    // service without any reader.
    void setEntryCount(int entries);

    // Starts pcscd, sets PCSCLITE_CSOCK_NAME for this process (first start
    // only: pcsc-lite reads it once) and waits until every reader is listed.
    // The socket path stays the same across restart(). False with
    // errorString() on failure.
    bool start(int timeoutMs = 10000);
    // Kills and reaps the daemon. Contexts made before are dead afterwards.
    void stop();
    // stop() then start() on the same socket and ports.
    bool restart(int timeoutMs = 10000);
    bool isRunning() const;

    // "Virtual PCD 00 00", "Virtual PCD 00 01", then "Virtual PCD 1 00 00",
    // "Virtual PCD 1 00 01" for the second entry...
    QString readerName(int index) const;
    int readerCount() const; // 2 * entries
    // The vpcd TCP port a card in reader index connects to.
    quint16 port(int index) const;
    // SOCKDIR/pcscd.comm, the value of PCSCLITE_CSOCK_NAME.
    QString socketPath() const;
    // The directory holding reader.conf, the socket and the daemon's log.
    QString directory() const;
    // What pcscd wrote to stdout/stderr so far (for failure messages).
    QByteArray daemonLog() const;
    QString errorString() const;

    // Waits (SCardGetStatusChange on a private context, with a deadline)
    // until the reader shows a card present (true) or empty (false).
    bool waitCardPresent(int readerIndex, bool present, int timeoutMs = 5000) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// One tachosim process playing a card in one bench reader. The bench must
// outlive its cards (declare the PcscBench first).
class SimCard
{
public:
    struct Profile
    {
        int cardType = 1;                           // 1 driver, 2 workshop, 3 control, 4 company
        QByteArray cardNumber = "RUD0000000000001"; // 16 ASCII bytes
        QByteArray skziNumber = "SKZI000000000001"; // 16 ASCII bytes, EF 0002 offset 9
        QString certificateFile;                    // DER file served as EF C200; empty = built-in small test blob
        QByteArray pin = "1234";
        QByteArray puk = "12345678";
        int pinTries = 3; // remaining PIN tries
        int pinMaxTries = 3;
        int pukTries = 10; // remaining PUK tries
        int pukMaxTries = 10;
        bool t0 = false; // true: ATR 3B 02 14 50 (T=0 only); false: 3B 80 01 81 (T=1 only)
        bool getDataSupported = true;
        int getDataRefusedSw = 0x6D00; // answer to GET DATA when not supported
        // EF 0520 on control/company cards needs a verified PIN.
        bool protectCardNumber = true;
        // Size of EF C200; 0 = the certificate rounded up to a multiple of 256
        // (padded with 00), so whole 256-byte chunks read to 90 00.
        int certificateFileSize = 0;

        // Faults (0 / empty = off)
        int faultCommandIndex = 0; // 1-based index of the APDU to answer with faultSw
        QByteArray faultCommand;   // APDU prefix (e.g. "\x00\xB0") to answer with faultSw
        int faultSw = 0;           // status word for the two faults above
        bool mute = false;         // never answers an APDU; remove()/stop() free the reader
                                   // (remove() may be called from another thread)
        // A mute card is removed this long after the unanswered command, so a
        // test blocked in SCardTransmit is freed; 0 = stays until removed.
        int muteReleaseMs = 5000;
        bool emptyReadBinary = false; // READ BINARY answers 90 00 with no data
        int removeAfter = 0;          // close the connection after n APDUs
        // Every APDU gets no answer bytes: vpcd cannot carry a zero-length frame
        // (it hangs), so the card drops the connection instead, which makes
        // SCardTransmit succeed with 0 bytes, and is back inserted at once.
        bool emptyAnswer = false;
        // Test hook: 80 EE 00 00 Lc DATA is answered with DATA verbatim (any
        // response through the real stack). SimCard::echoCommand() builds it.
        bool echo = false;
        // A tachosim JSON profile applied after the fields above: its keys win.
        QString profileFile;
    };

    // The echo command whose answer is exactly response (1 to 255 bytes).
    static QByteArray echoCommand(const QByteArray& response);

    // A card in bench reader readerIndex (0 = "Virtual PCD 00 00").
    SimCard(PcscBench* bench, int readerIndex = 0);
    ~SimCard(); // quits the simulator
    SimCard(const SimCard&) = delete;
    SimCard& operator=(const SimCard&) = delete;

    // Starts the simulator; when inserted, waits until pcscd reports the card.
    bool start(const Profile& profile, bool inserted = true, int timeoutMs = 5000);
    void stop();
    // Insert / remove and wait until pcscd has seen it (with a deadline).
    bool insert(int timeoutMs = 5000);
    bool remove(int timeoutMs = 5000);

    // Command APDUs received so far, in order (control codes not included).
    QList<QByteArray> commands() const;
    // Response APDUs sent, in the same order as commands().
    QList<QByteArray> responses() const;
    // Control events received, in order: "power-off", "power-on", "reset", "atr".
    // "atr" comes at every presence poll, so tests usually filter it out.
    QStringList events() const;
    void clearLog();

    struct State
    {
        bool valid = false;
        bool inserted = false;
        bool powered = false;
        bool pinVerified = false;
        int pinTries = 0;
        int pukTries = 0;
        QByteArray pin;
    };
    // Asks the simulator for its state (round trip over stdin/stdout).
    State state(int timeoutMs = 3000);

    // The simulator's control socket, for `tachosim --send PATH insert`.
    QString controlPath() const;
    QString errorString() const;
    // Everything the simulator wrote (for failure messages).
    QByteArray output() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
