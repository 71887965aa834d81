#include "platform/qt/QtPreferencesStore.hpp"

#include <QByteArray>
#include <QSettings>
#include <QString>

namespace sonvel {

QtPreferencesStore::QtPreferencesStore()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral("velmorra"),
                                            QStringLiteral("app.velmorra.sonvel"))) {}

QtPreferencesStore::QtPreferencesStore(const std::string& file)
    : settings_(std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat)) {}

QtPreferencesStore::~QtPreferencesStore() = default;

std::optional<std::string> QtPreferencesStore::data(const std::string& key) const {
    const QVariant value = settings_->value(QString::fromStdString(key));
    if (!value.isValid()) return std::nullopt;
    const QByteArray bytes = value.toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void QtPreferencesStore::setData(const std::string& key, const std::string& bytes) {
    settings_->setValue(QString::fromStdString(key),
                        QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    settings_->sync();
}

}  // namespace sonvel
