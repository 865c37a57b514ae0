// Writes the seed corpus of the fuzz targets from the simulator's real
// answers: every operation's command sequence played against the simulated
// card of tools/tachosim for several card profiles, and the test
// certificates and form templates.
//
//   make_seeds SOURCE_DIR OUT_DIR   (writes OUT_DIR/card_answers, OUT_DIR/certificate)

#include "cardscript.h"
#include "tacho/answer.h"
#include "tacho/cardtype.h"
#include "tools/tachosim/simcard.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

QString sourceDir;
QString outDir;

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        std::exit(1);
    }
    return file.readAll();
}

void writeSeed(const QString& target, const QString& name, const QByteArray& bytes)
{
    QDir().mkpath(outDir + "/" + target);
    QFile file(outDir + "/" + target + "/" + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        std::exit(1);
    }
}

// Plays the commands against the card and appends its answers to the script.
class Player
{
public:
    explicit Player(const CardProfile& profile) : card(profile) { card.powerOn(); }
    QByteArray script;

    QByteArray send(const QByteArray& command)
    {
        const Answer answer = card.command(Bytes(command.begin(), command.end()));
        const QByteArray bytes(reinterpret_cast<const char*>(answer.data.data()), int(answer.data.size()));
        CardScript::appendAnswer(script, bytes);
        return bytes;
    }
    // A new connection resets the card, as the disconnect of every operation does.
    void reconnect()
    {
        card.reset();
        card.powerOn();
    }

private:
    SimulatedCard card;
};

CardProfile profileFor(int cardType, bool getData, const QString& certificate = QString())
{
    CardProfile p;
    p.cardType = cardType;
    p.getDataSupported = getData;
    if (!certificate.isEmpty()) {
        const QByteArray der = readFile(sourceDir + "/tests/data/" + certificate);
        p.certificate.assign(der.begin(), der.end());
    } else {
        p.certificate = Bytes(300, 0x30);
    }
    return p;
}

void insertSeeds()
{
    for (int type = 1; type <= 4; ++type) {
        for (const bool getData : {true, false}) {
            for (const std::uint8_t connect : {0, 1}) {
                Player player(profileFor(type, getData));
                player.script = CardScript::header(CardScript::InsertCard, connect, 0);
                // A refusal (a bare status word) ends the operation at the first GET DATA.
                const QByteArray first = player.send(TachoCommand::getIdentification);
                const QByteArray second = first.size() == 2 ? first : player.send(TachoCommand::getIdentification);
                if (second.size() != 20) {
                    // The fallback: card type, then number (after the PIN on control and company cards).
                    player.reconnect();
                    player.send(TachoCommand::selectTachograph);
                    player.send(TachoCommand::selectEf0501);
                    player.send(TachoCommand::readCardType);
                    player.reconnect();
                    player.send(TachoCommand::selectTachograph);
                    player.send(TachoCommand::selectEf0520);
                    if (type == 3 || type == 4)
                        player.send(buildVerifyCommand(QStringLiteral("1234")));
                    player.send(TachoCommand::readCardNumber);
                }
                player.reconnect();
                player.send(TachoCommand::selectEf0002);
                player.send(TachoCommand::readIccData);
                writeSeed("card_answers",
                          QString("insert-type%1-%2-t%3").arg(type).arg(getData ? "getdata" : "files").arg(connect),
                          player.script);
            }
        }
    }
}

void certificateSeeds()
{
    const char* files[] = {"driver-gost.der", "workshop-ec.der", "size-1k.der", "size-4k.der"};
    for (const char* file : files) {
        for (const CardScript::Operation operation : {CardScript::PrintCertificate, CardScript::SaveCertificate}) {
            Player player(profileFor(1, true, QString::fromLatin1(file)));
            player.script = CardScript::header(operation, 0, 1 << 4);
            player.send(TachoCommand::selectTachograph);
            player.send(TachoCommand::selectEfC200);
            const QByteArray header = player.send(TachoCommand::readCertHeader);
            const int total = ((uchar(header[2]) << 8) | uchar(header[3])) + 4;
            for (int chunk = 0, read = 0; read < total && chunk < MaxCertificateChunks; ++chunk)
                read += int(player.send(buildReadChunkCommand(chunk)).size()) - 2;
            writeSeed("card_answers",
                      QString("%1-%2").arg(operation == CardScript::PrintCertificate ? "print" : "save").arg(file),
                      player.script);
        }
    }
}

void pinSeeds()
{
    for (const char* pin : {"1234", "4321"}) {
        Player player(profileFor(1, true));
        player.script = CardScript::header(CardScript::VerifyPin, 0, 0);
        player.send(TachoCommand::selectTachograph);
        player.send(buildVerifyCommand(QString::fromLatin1(pin)));
        writeSeed("card_answers", QString("verify-%1").arg(pin), player.script);
    }
    for (const char* puk : {"12345678", "87654321"}) {
        Player player(profileFor(1, true));
        player.script = CardScript::header(CardScript::UnblockPin, 1, 0);
        player.send(TachoCommand::selectTachograph);
        player.send(buildResetRetryCounterCommand(QString::fromLatin1(puk), QStringLiteral("1234")));
        writeSeed("card_answers", QString("unblock-%1").arg(puk), player.script);
    }
}

void documentSeeds()
{
    const QDir data(sourceDir + "/tests/data");
    int type = 0;
    for (const QString& name : data.entryList({"*.der", "*.bin"}, QDir::Files, QDir::Name)) {
        QByteArray seed(1, char((type++ % 6) * 2));
        writeSeed("certificate", "cert-" + name, seed + readFile(data.filePath(name)));
    }
    for (const char* form : {"tacCertD.htm", "tacCertK.htm"})
        writeSeed("certificate", QString("form-%1").arg(form),
                  QByteArray(1, char(1)) + readFile(sourceDir + "/resources/" + form));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds SOURCE_DIR OUT_DIR\n");
        return 2;
    }
    sourceDir = QString::fromLocal8Bit(argv[1]);
    outDir = QString::fromLocal8Bit(argv[2]);
    insertSeeds();
    certificateSeeds();
    pinSeeds();
    documentSeeds();
    return 0;
}
