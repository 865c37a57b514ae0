#pragma once

// Figures of one benchmark run: each row is a series of samples printed as
// min / median / max, with an optional target and its verdict.

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace benchutil {

inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double msSince(qint64 startNs)
{
    return double(nowNs() - startNs) / 1e6;
}

class Series
{
public:
    void add(double v) { values.push_back(v); }
    bool empty() const { return values.empty(); }
    int size() const { return int(values.size()); }
    // Nearest-rank percentile, p in [0, 100].
    double percentile(double p) const
    {
        if (values.empty())
            return 0;
        std::vector<double> s = values;
        std::sort(s.begin(), s.end());
        const size_t rank = size_t(std::max(1.0, std::ceil(p / 100.0 * double(s.size()))));
        return s[std::min(rank, s.size()) - 1];
    }
    double min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
    double median() const
    {
        if (values.empty())
            return 0;
        std::vector<double> s = values;
        std::sort(s.begin(), s.end());
        const size_t n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    std::vector<double> values;
};

// The table is printed as rows come in (a long run shows progress) and
// appended to the results file when one is given.
class Table
{
public:
    explicit Table(QString resultsPath) : path(std::move(resultsPath)) {}

    void section(const QString& title)
    {
        emitLine(QString());
        emitLine(QStringLiteral("== ") + title);
        emitLine(QStringLiteral("%1 %2 %3 %4 %5 %6  %7")
                     .arg(QStringLiteral("figure"), -54)
                     .arg(QStringLiteral("unit"), -6)
                     .arg(QStringLiteral("n"), 5)
                     .arg(QStringLiteral("min"), 10)
                     .arg(QStringLiteral("median"), 10)
                     .arg(QStringLiteral("max"), 10)
                     .arg(QStringLiteral("target")));
    }

    void row(const QString& name, const QString& unit, const Series& s, const QString& target = QString())
    {
        if (s.empty()) {
            emitLine(QStringLiteral("%1 %2 %3  no samples").arg(name, -54).arg(unit, -6).arg(0, 5));
            return;
        }
        emitLine(QStringLiteral("%1 %2 %3 %4 %5 %6  %7")
                     .arg(name, -54)
                     .arg(unit, -6)
                     .arg(s.size(), 5)
                     .arg(fmt(s.min()), 10)
                     .arg(fmt(s.median()), 10)
                     .arg(fmt(s.max()), 10)
                     .arg(target));
    }

    void single(const QString& name, const QString& unit, double v, const QString& target = QString())
    {
        Series s;
        s.add(v);
        row(name, unit, s, target);
    }

    void note(const QString& text) { emitLine(QStringLiteral("   ") + text); }

    void emitLine(const QString& line)
    {
        const QByteArray bytes = line.toUtf8() + '\n';
        fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        fflush(stdout);
        if (path.isEmpty())
            return;
        QFile file(path);
        if (file.open(QIODevice::Append))
            file.write(bytes);
    }

    static QString fmt(double v)
    {
        const double a = std::abs(v);
        return QString::number(v, 'f', a >= 100 ? 1 : a >= 10 ? 2 : 3);
    }

    static QString verdict(bool met) { return met ? QStringLiteral("met") : QStringLiteral("MISSED"); }

private:
    QString path;
};

// "--out FILE" from the command line, empty when absent.
inline QString resultsPath(const QStringList& args)
{
    const int i = args.indexOf(QStringLiteral("--out"));
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : QString();
}

// "--repeat N" from the command line.
inline int repeatCount(const QStringList& args, int fallback)
{
    const int i = args.indexOf(QStringLiteral("--repeat"));
    return i >= 0 && i + 1 < args.size() ? std::max(1, args.at(i + 1).toInt()) : fallback;
}

} // namespace benchutil
