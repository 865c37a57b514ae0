// libFuzzer target: certificate field extraction and form filling on
// arbitrary bytes.
//
//   byte 0 even: the rest are the certificate bytes read from a card; every
//                field is extracted and the form of card type (byte 0 / 2) % 6
//                is filled and written. Bytes that are no certificate must
//                leave no document behind.
//   byte 0 odd:  the rest are a form template (UTF-16LE units), filled from a
//                real certificate.

#include "certificate/printcertificate.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const int fieldCodes[] = {1,  2,  3,  4,  5,  6,  7,  8,   9,   10,  50,  51, 52,
                          53, 54, 55, 56, 57, 58, 59, 100, 101, 102, 103, 104};

struct Harness
{
    QTemporaryDir temp;
    CPrintCertificate printer;
    QSslCertificate known;
    QString documentPath;
};

Harness* harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false;qt.qpa.*=false");
    // Never destroyed, like everything the targets set up: a static
    // application would go before the Qt globals that still refer to it.
    new QGuiApplication(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    harness = new Harness;
    qputenv("TMPDIR", QFile::encodeName(harness->temp.path()));
    std::atexit([] { harness->temp.remove(); });
    harness->documentPath = harness->temp.filePath(QStringLiteral("Certificate.htm"));
    QFile file(QStringLiteral(ZENTAVO_TESTDATA_DIR "/driver-gost.der"));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no test certificate at %s\n", ZENTAVO_TESTDATA_DIR);
        std::abort();
    }
    harness->known = QSslCertificate(file.readAll(), QSsl::Der);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), int(size - 1));
    CPrintCertificate& printer = harness->printer;

    if (data[0] % 2 == 0) {
        const QSslCertificate certificate(bytes, QSsl::Der);
        for (const int code : fieldCodes)
            printer.certificateField(certificate, code);

        QFile::remove(harness->documentPath);
        printer.printCertificate(bytes, (data[0] / 2) % 6);
        if (certificate.isNull() && QFile::exists(harness->documentPath)) {
            std::fprintf(stderr, "finding: a document written for bytes that are no certificate\n");
            std::abort();
        }
    } else {
        QString text;
        text.reserve(bytes.size() / 2);
        for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
            text.append(QChar(char16_t(uchar(bytes[i]) | uchar(bytes[i + 1]) << 8)));
        printer.fillTemplate(text, harness->known);
    }
    // The printer's trace lines are queued signals without a receiver here.
    QCoreApplication::sendPostedEvents();
    return 0;
}
