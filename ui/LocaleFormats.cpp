#include "ui/LocaleFormats.hpp"

#include <QDateTime>
#include <QLocale>

namespace sonvel::LocaleFormats {

namespace {

QDateTime local(std::chrono::system_clock::time_point when) {
    return QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
}

}  // namespace

std::string shortDateTime(std::chrono::system_clock::time_point when, const QLocale& locale) {
    return locale.toString(local(when), QLocale::ShortFormat).toStdString();
}

std::string standardTime(std::chrono::system_clock::time_point when, const QLocale& locale) {
    // The long format is the one with seconds; its time zone is dropped
    // (unquoted "t" letters and the space before them).
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString kept;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'') quoted = !quoted;
        if (!quoted && c == u't') {
            while (kept.endsWith(u' ')) kept.chop(1);
            continue;
        }
        kept += c;
    }
    return locale.toString(local(when).time(), kept.trimmed()).toStdString();
}

}  // namespace sonvel::LocaleFormats
