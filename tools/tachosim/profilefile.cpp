#include "profilefile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>
#include <iterator>

namespace {

// A status word as a number or as hex text ("6D00").
int statusWord(const QJsonValue& value)
{
    return value.isString() ? value.toString().toInt(nullptr, 16) : value.toInt();
}

} // namespace

bool readCertificateFile(const std::string& path, CardProfile* profile)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    profile->certificate.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

bool loadProfileFile(const std::string& path, CardProfile* p, std::string* error)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read " + path;
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        *error = path + ": " + parseError.errorString().toStdString();
        return false;
    }
    const QJsonObject o = doc.object();
    static const QStringList known = {"cardType",
                                      "cardNumber",
                                      "skziNumber",
                                      "certificateFile",
                                      "certificateFileSize",
                                      "pin",
                                      "puk",
                                      "pinTries",
                                      "pinMaxTries",
                                      "pukTries",
                                      "pukMaxTries",
                                      "t0",
                                      "getDataSupported",
                                      "getDataRefusedSw",
                                      "protectCardNumber",
                                      "faultCommandIndex",
                                      "faultCommand",
                                      "faultSw",
                                      "mute",
                                      "muteReleaseMs",
                                      "emptyReadBinary",
                                      "removeAfter",
                                      "emptyAnswer",
                                      "echo"};
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!known.contains(it.key())) {
            *error = path + ": unknown key " + it.key().toStdString();
            return false;
        }
    }
    auto text = [&](const char* key, std::string* out) {
        if (o.contains(key))
            *out = o.value(key).toString().toStdString();
    };
    auto number = [&](const char* key, int* out) {
        if (o.contains(key))
            *out = o.value(key).toInt();
    };
    auto flag = [&](const char* key, bool* out) {
        if (o.contains(key))
            *out = o.value(key).toBool();
    };
    number("cardType", &p->cardType);
    text("cardNumber", &p->cardNumber);
    text("skziNumber", &p->skziNumber);
    if (o.contains("certificateFile")) {
        const std::string cert = o.value("certificateFile").toString().toStdString();
        if (!readCertificateFile(cert, p)) {
            *error = "cannot read " + cert;
            return false;
        }
    }
    if (o.contains("certificateFileSize"))
        p->certificateFileSize = size_t(o.value("certificateFileSize").toInt());
    text("pin", &p->pin);
    text("puk", &p->puk);
    number("pinTries", &p->pinTries);
    number("pinMaxTries", &p->pinMaxTries);
    number("pukTries", &p->pukTries);
    number("pukMaxTries", &p->pukMaxTries);
    flag("t0", &p->t0);
    flag("getDataSupported", &p->getDataSupported);
    if (o.contains("getDataRefusedSw"))
        p->getDataRefusedSw = statusWord(o.value("getDataRefusedSw"));
    flag("protectCardNumber", &p->protectCardNumber);
    number("faultCommandIndex", &p->faultCommandIndex);
    if (o.contains("faultCommand") && !fromHex(o.value("faultCommand").toString().toStdString(), &p->faultCommand)) {
        *error = path + ": faultCommand is not hex";
        return false;
    }
    if (o.contains("faultSw"))
        p->faultSw = statusWord(o.value("faultSw"));
    flag("mute", &p->mute);
    number("muteReleaseMs", &p->muteReleaseMs);
    flag("emptyReadBinary", &p->emptyReadBinary);
    number("removeAfter", &p->removeAfter);
    flag("emptyAnswer", &p->emptyAnswer);
    flag("echo", &p->echo);
    return true;
}
