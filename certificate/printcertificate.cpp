#include "certificate/printcertificate.h"

#include "app/resources.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryFile>
#include <QUrl>

#ifdef Q_OS_WIN
#include <QDeadlineTimer>
#include <QThread>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Russian registration numbers live under the 1.2.643 arc, outside the name
// attributes that QSslCertificate looks up by enumerator, so they are matched
// by the OID's content octets.
struct RegistrationAttribute
{
    int issuerCode;
    int subjectCode;
    const char* oid;
    const char* fallbackOid; // read only when the name has no `oid`
};

// Since 2021 an organisation's INN is INNLE (INN now names a person) and an
// entrepreneur's OGRN is OGRNIP. A director's name holds INNLE and his own INN:
// INN still wins there, as it always has.
const RegistrationAttribute kRegistrationAttributes[] = {
    {8, 57, "\x2A\x85\x03\x64\x03", nullptr},                            // 1.2.643.100.3 SNILS
    {9, 58, "\x2A\x85\x03\x03\x81\x03\x01\x01", "\x2A\x85\x03\x64\x04"}, // INN, else INNLE 1.2.643.100.4
    {10, 59, "\x2A\x85\x03\x64\x01", "\x2A\x85\x03\x64\x05"},            // OGRN, else OGRNIP 1.2.643.100.5
    {-1, -1, nullptr, nullptr},
};

struct FormTemplate
{
    int cardType;
    const char* name;
};

const FormTemplate kFormTemplates[] = {
    {1, "tacCertD.htm"}, {2, "tacCertM.htm"}, {3, "tacCertK.htm"}, {4, "tacCertP.htm"}, {0, nullptr},
};

struct Placeholder
{
    const char* name;
    int code; // 0: receives a key line
};

const Placeholder kPlaceholders[] = {
    {"%%CERTNUMBER%%", 103}, {"%%CURRENTDATE%%", 105},  {"%%ISSUER%%", 2},        {"%%ISSUERINN%%", 9},
    {"%%ISSUEROGRN%%", 10},  {"%%ISSUERCITY%%", 3},     {"%%ISSUERADDRESS%%", 7}, {"%%SUBJECTCN%%", 51},
    {"%%SUBJECTL%%", 52},    {"%%SUBJECTSTREET%%", 56}, {"%%SUBJECTSNILS%%", 57}, {"%%SUBJECTINN%%", 58},
    {"%%SUBJECTOGRN%%", 59}, {"%%VALIDFROM%%", 100},    {"%%VALIDTO%%", 101},     {"%%PUBLICKEY0%%", 104},
    {"%%PUBLICKEY1%%", 0},   {"%%PUBLICKEY2%%", 0},     {"%%PUBLICKEY3%%", 0},    {"%%PUBLICKEY4%%", 0},
    {"%%PUBLICKEY5%%", 0},   {"%%PUBLICKEY6%%", 0},     {"%%PUBLICKEY7%%", 0},    {"%%PUBLICKEY8%%", 0},
    {"%%PUBLICKEY9%%", 0},   {"%%PUBLICKEY10%%", 0},
};
constexpr int kPlaceholderCount = int(std::size(kPlaceholders));
constexpr int kFirstKeyRow = 15;
constexpr int kKeyLineLength = 45; // 15 key bytes

const QSslCertificate::SubjectInfo kNameAttributes[] = {
    QSslCertificate::Organization,           QSslCertificate::CommonName,  QSslCertificate::LocalityName,
    QSslCertificate::OrganizationalUnitName, QSslCertificate::CountryName, QSslCertificate::StateOrProvinceName,
};

const char kTracePrint[] = "Печать сертификата";
const char kTraceFailure[] = "Ошибка чтения сертификата карты";

QString hexLine(const unsigned char* bytes, int length)
{
    QString text;
    text.reserve(length * 3);
    for (int i = 0; i < length; ++i)
        text += QString::asprintf("%02X ", bytes[i]);
    return text;
}

QString shortDate(const QDate& date)
{
    return QLocale::system().toString(date, QLocale::ShortFormat);
}

// QMultiMap hands back the values of one attribute newest first, that is last in
// the certificate; the form shows the first one the certificate states.
QString firstStated(const QStringList& values)
{
    return values.isEmpty() ? QString() : values.last();
}

struct X509Deleter
{
    void operator()(X509* x) const { X509_free(x); }
};

// The parsed OpenSSL structure behind a certificate: the backend's own handle,
// or a parse of our own when the backend keeps none (the cert-only fallback).
class ParsedCertificate
{
public:
    explicit ParsedCertificate(const QSslCertificate& certificate)
    {
        if (certificate.isNull())
            return;
        x509 = static_cast<X509*>(certificate.handle());
        if (x509)
            return;
        const QByteArray der = certificate.toDer();
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
        owned.reset(d2i_X509(nullptr, &p, der.size()));
        x509 = owned.get();
    }
    X509* get() const { return x509; }

private:
    X509* x509 = nullptr;
    std::unique_ptr<X509, X509Deleter> owned;
};

// The first entry of that type in the name, or nothing when the name has none.
// The value's content octets up to a zero octet, as UTF-8, whatever its string
// type: NumericString and UTF8String digits read alike.
std::optional<QString> firstAttribute(const X509_NAME* name, const char* oid)
{
    const size_t oidLength = std::strlen(oid);
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_OBJECT* type = X509_NAME_ENTRY_get_object(entry);
        if (OBJ_length(type) != oidLength || std::memcmp(OBJ_get0_data(type), oid, oidLength) != 0)
            continue;
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        const char* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
        const int length = ASN1_STRING_length(value);
        const void* zero = std::memchr(data, 0, size_t(length));
        return QString::fromUtf8(data, zero ? int(static_cast<const char*>(zero) - data) : length);
    }
    return std::nullopt;
}

QString registrationNumber(X509* x509, int code)
{
    const RegistrationAttribute* row = kRegistrationAttributes;
    while (row->issuerCode != -1 && row->issuerCode != code && row->subjectCode != code)
        ++row;
    if (row->issuerCode == -1 || !x509)
        return {};

    const X509_NAME* name = code == row->issuerCode ? X509_get_issuer_name(x509) : X509_get_subject_name(x509);
    std::optional<QString> value = firstAttribute(name, row->oid);
    if (!value && row->fallbackOid)
        value = firstAttribute(name, row->fallbackOid);
    return value.value_or(QString());
}

// Form templates are UTF-16LE behind a byte-order mark, text up to the first NUL.
std::optional<QString> decodeForm(const QByteArray& data)
{
    if (data.size() < 2 || uchar(data[0]) != 0xFF || uchar(data[1]) != 0xFE)
        return std::nullopt;
    QString text;
    text.reserve((data.size() - 2) / 2);
    for (qsizetype i = 2; i + 1 < data.size(); i += 2) {
        const char16_t unit = char16_t(uchar(data[i]) | uchar(data[i + 1]) << 8);
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    // A form without any text would print a blank page as if it were filled.
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

// Every place is read; the bundle comes last and wins, so a file next to the
// executable, or in the data directory of an installed program (bin/../share),
// only supplies a form that the bundle lacks. A Windows program folder has no
// such neighbour: "..\share" of a zip unpacked to X:\Zentavo is X:\share,
// open to anyone who can write to that drive.
std::optional<QString> loadForm(const QString& name)
{
    const QDir executableDir(QCoreApplication::applicationDirPath());
    const QString places[] = {
        QDir::toNativeSeparators(executableDir.absoluteFilePath(name)),
#ifndef Q_OS_WIN
        QDir::toNativeSeparators(
            QDir::cleanPath(executableDir.absoluteFilePath(QStringLiteral("../share/zentavo/") + name))),
#endif
        QStringLiteral(":/") + name,
    };
    std::optional<QString> text;
    for (const QString& place : places) {
        QFile file(place);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        if (std::optional<QString> decoded = decodeForm(file.readAll()))
            text = std::move(decoded);
    }
    return text;
}

QByteArray utf16leWithBom(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(2 + text.size() * 2);
    bytes.append('\xFF').append('\xFE');
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        bytes.append(char(unit & 0xFF)).append(char(unit >> 8));
    }
    return bytes;
}

// Empty when TMPDIR names no existing directory: Qt then answers an empty
// temporary path, and the files would land in the current directory.
QString tempFilePath(const char* name)
{
    const QString directory = QDir::tempPath();
    if (directory.isEmpty())
        return {};
    return QDir::toNativeSeparators(QDir(directory).filePath(QString::fromLatin1(name)));
}

#ifdef Q_OS_WIN
// One step, as rename() is on Unix: the earlier document stays until the new
// one takes its name. A virus scanner or the search indexer opens a fresh file
// for a moment (and a browser may hold the earlier document): such a refusal
// is waited out for a short while, a lasting one fails as any other.
constexpr int kMoveRetryMs = 1000;
constexpr int kMoveRetryStepMs = 50;

bool moveOver(const QString& from, const QString& to)
{
    const QDeadlineTimer deadline(kMoveRetryMs);
    for (;;) {
        if (MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()), reinterpret_cast<LPCWSTR>(to.utf16()),
                        MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || deadline.hasExpired())
            return false;
        QThread::msleep(kMoveRetryStepMs);
    }
}
#endif

// The output names are fixed and the directory is shared: write a fresh file
// under a unique name and rename it over the target. rename() replaces a planted
// symbolic link instead of following it, and in a sticky directory refuses to
// replace another user's file; a short write is a failure, not a truncated file.
bool replaceFile(const QString& path, const QByteArray& bytes)
{
    if (path.isEmpty())
        return false;
    QString written;
    {
        QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
        if (!file.open())
            return false;
        if (file.write(bytes) != bytes.size() || !file.flush())
            return false;
        // A QTemporaryFile keeps its handle until it goes, and Windows renames
        // no open file: let it go, keeping the file.
        file.setAutoRemove(false);
        written = file.fileName();
    }
#ifdef Q_OS_WIN
    const bool renamed = moveOver(QDir::toNativeSeparators(written), path);
#else
    const bool renamed = std::rename(QFile::encodeName(written).constData(), QFile::encodeName(path).constData()) == 0;
#endif
    if (!renamed)
        QFile::remove(written);
    return renamed;
}

} // namespace

CPrintCertificate::CPrintCertificate()
{
    initZentavoResources();
}

void CPrintCertificate::printCertificate(const QByteArray& der, int cardType)
{
    emit signalTrace(QString::fromUtf8(kTracePrint));
    bool printed = false;
    try {
        const FormTemplate* form = kFormTemplates;
        while (form->name && form->cardType != cardType)
            ++form;
        std::optional<QString> text;
        if (form->name)
            text = loadForm(QString::fromLatin1(form->name));
        // Bytes that are no certificate give no document: a form with blank
        // fields could be signed as if it described the card.
        const QSslCertificate certificate(der, QSsl::Der);
        if (text && !certificate.isNull()) {
            fillTemplate(*text, certificate);
            const QString path = tempFilePath("Certificate.htm");
            if (replaceFile(path, utf16leWithBom(*text))) {
                printed = true;
                QDesktopServices::openUrl(QUrl::fromLocalFile(path));
            }
        }
    } catch (...) {
        printed = false;
    }
    if (!printed)
        emit signalTrace(QString::fromUtf8(kTraceFailure));
}

void CPrintCertificate::fillTemplate(QString& text, const QSslCertificate& certificate) const
{
    struct Found
    {
        qsizetype position = -1;
        QString value;
    };
    Found found[kPlaceholderCount];

    // All positions are taken from the unchanged text, so a value that contains
    // placeholder text is never filled in again.
    for (int i = 0; i < kPlaceholderCount; ++i)
        found[i].position = text.indexOf(QLatin1String(kPlaceholders[i].name));
    for (int i = 0; i < kPlaceholderCount; ++i) {
        if (found[i].position != -1 && kPlaceholders[i].code != 0)
            found[i].value = certificateField(certificate, kPlaceholders[i].code);
    }
    if (found[kFirstKeyRow].position != -1) {
        QString key = found[kFirstKeyRow].value;
        for (int i = kFirstKeyRow; i < kPlaceholderCount && !key.isEmpty(); ++i) {
            found[i].value = key.left(kKeyLineLength);
            key.remove(0, kKeyLineLength);
        }
    }

    // Replace back to front by position, which also holds for a form whose
    // placeholders are out of order; a placeholder overlapping one before it
    // is left alone rather than cut in half.
    std::vector<int> rows;
    for (int i = 0; i < kPlaceholderCount; ++i) {
        if (found[i].position != -1)
            rows.push_back(i);
    }
    std::sort(rows.begin(), rows.end(), [&](int a, int b) { return found[a].position < found[b].position; });
    std::vector<int> kept;
    qsizetype end = 0;
    for (int row : rows) {
        if (found[row].position < end)
            continue;
        kept.push_back(row);
        end = found[row].position + qsizetype(std::strlen(kPlaceholders[row].name));
    }
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        const int row = *it;
        text.replace(found[row].position, qsizetype(std::strlen(kPlaceholders[row].name)),
                     found[row].value.toHtmlEscaped());
    }
}

QString CPrintCertificate::certificateField(const QSslCertificate& certificate, int code) const
{
    if (code == 105)
        return shortDate(QDate::currentDate());
    if (certificate.isNull())
        return {};

    if (code >= 1 && code <= 6)
        return firstStated(certificate.issuerInfo(kNameAttributes[code - 1]));
    if (code >= 50 && code <= 55)
        return firstStated(certificate.subjectInfo(kNameAttributes[code - 50]));
    if (code == 7)
        return firstStated(certificate.issuerInfo(QByteArrayLiteral("street")));
    if (code == 56)
        return firstStated(certificate.subjectInfo(QByteArrayLiteral("street")));
    if ((code >= 8 && code <= 10) || (code >= 57 && code <= 59))
        return registrationNumber(ParsedCertificate(certificate).get(), code);

    switch (code) {
    case 100:
        return shortDate(certificate.effectiveDate().toUTC().date());
    case 101:
        return shortDate(certificate.expiryDate().toUTC().date());
    case 102:
        return QString::fromLatin1(certificate.version());
    case 103: {
        // OpenSSL keeps the magnitude: no sign octet.
        const ParsedCertificate parsed(certificate);
        if (!parsed.get())
            return {};
        const ASN1_INTEGER* serial = X509_get0_serialNumber(parsed.get());
        return hexLine(ASN1_STRING_get0_data(serial), ASN1_STRING_length(serial));
    }
    case 104: {
        // Never QSslCertificate::publicKey(): it crashes on GOST R 34.10-2012 keys.
        const ParsedCertificate parsed(certificate);
        if (!parsed.get())
            return {};
        const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(parsed.get());
        if (!key)
            return {};
        return hexLine(ASN1_STRING_get0_data(key), ASN1_STRING_length(key));
    }
    default:
        return {};
    }
}

QString saveCertificate(const QByteArray& der)
{
    const QString path = tempFilePath("Certificate.cer");
    return replaceFile(path, der) ? path : QString();
}
