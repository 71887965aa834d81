#include "ui/GeneralSettingsTab.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/views/UpdateFeed.hpp"
#include "ui/LocaleFormats.hpp"
#include "ui/ModelBridge.hpp"
#include "ui/QtString.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

namespace {

QLabel* caption(QWidget* parent, Tone tone) {
    auto* label = new QLabel(parent);
    label->setFont(ViewStyle::caption());
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    ToneStyle::setTone(*label, tone);
    return label;
}

}  // namespace

GeneralSettingsTab::GeneralSettingsTab(std::shared_ptr<MixerModel> model, UpdateChecker* updates,
                                       OpenURL openURL, QWidget* parent)
    : QWidget(parent),
      model_(std::move(model)),
      updates_(updates),
      openURL_(std::move(openURL)),
      launchAtLogin_(new QCheckBox("Launch at login", this)),
      launchError_(caption(this, Tone::warning)),
      checkForUpdates_(new QPushButton("Check for Updates…", this)),
      updateLine_(caption(this, Tone::secondary)),
      notes_(caption(this, Tone::secondary)),
      updateActions_(new QWidget(this)),
      download_(new QPushButton("Download…", updateActions_)),
      releaseNotes_(new QPushButton("Release Notes", updateActions_)),
      showIdle_(new QCheckBox("Show apps that aren’t playing", this)),
      volumeControls_(new QLabel(this)),
      audioReset_(caption(this, Tone::secondary)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(8);
    column->addWidget(launchAtLogin_);
    column->addWidget(launchError_);
    column->addWidget(checkForUpdates_, 0, Qt::AlignLeft);
    column->addWidget(updateLine_);
    notes_->setMaximumHeight(notes_->fontMetrics().lineSpacing() * 3);
    column->addWidget(notes_);
    auto* actions = new QHBoxLayout(updateActions_);
    actions->setContentsMargins(0, 0, 0, 0);
    actions->addWidget(download_);
    actions->addWidget(releaseNotes_);
    actions->addStretch(1);
    column->addWidget(updateActions_);
    column->addWidget(showIdle_);

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel("Volume controls", this));
    controls->addStretch(1);
    volumeControls_->setTextFormat(Qt::PlainText);
    controls->addWidget(volumeControls_);
    column->addLayout(controls);

    const auto row = [&](std::initializer_list<std::pair<const char*, std::function<void()>>> bs) {
        auto* layout = new QHBoxLayout;
        for (const auto& [title, action] : bs) {
            auto* b = new QPushButton(title, this);
            connect(b, &QPushButton::clicked, this, action);
            layout->addWidget(b);
            buttons_.push_back(b);
        }
        layout->addStretch(1);
        column->addLayout(layout);
    };
    row({{"Reset All Volumes to 100%", [this] { model_->resetAllVolumes(); }},
         {"Reset Setup…", [this] { confirmResetSetup(); }}});
    row({{"Reset Sonvel Audio", [this] { model_->resetSonvelAudio(); }},
         {"Open Sound Settings", [this] { model_->openSoundSettings(); }}});
    button("Reset Sonvel Audio")->setToolTip(SettingsView::resetSonvelAudioTooltip);
    if (const auto missing = model_->soundSettingsUnavailableReason()) {
        button("Open Sound Settings")->setEnabled(false);
        button("Open Sound Settings")->setToolTip(qs(*missing));
    }
    column->addWidget(audioReset_);
    column->addStretch(1);

    // A click has already flipped the box. The model answers at once, so
    // rendering its answer right away, even an unchanged one (a second
    // refusal), puts back what the system really did.
    connect(launchAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
        model_->setLaunchAtLogin(on);
        rendered_ = false;
        refresh();
    });
    connect(showIdle_, &QCheckBox::clicked, this, [this](bool on) {
        model_->setShowIdleApps(on);
        rendered_ = false;
        refresh();
    });
    connect(checkForUpdates_, &QPushButton::clicked, this, [this] {
        if (updates_) updates_->checkForUpdates();
    });
    connect(download_, &QPushButton::clicked, this, [this] {
        if (state_.update) open(state_.update->downloadPage);
    });
    connect(releaseNotes_, &QPushButton::clicked, this, [this] {
        if (state_.update) open(state_.update->releaseNotesURL);
    });
    if (updates_) updatesChanged_ = updates_->subscribe([this] { refresh(); });
    connect(new ModelBridge(*model_, this), &ModelBridge::changed, this,
            &GeneralSettingsTab::refresh);
    refresh();
}

QPushButton* GeneralSettingsTab::button(const QString& title) const {
    for (QPushButton* b : buttons_) {
        if (b->text() == title) return b;
    }
    return nullptr;
}

QMessageBox* GeneralSettingsTab::resetSetupDialog() const {
    return confirmation_;
}

void GeneralSettingsTab::refresh() {
    const QLocale locale = this->locale();
    const TimeFormat time = [locale](auto when) {
        return LocaleFormats::standardTime(when, locale);
    };
    const UpdateCheckState updates = updates_ ? updates_->state() : UpdateCheckState{};
    render(SettingsView::general(SettingsInput::of(*model_, updates), time));
}

void GeneralSettingsTab::open(const std::optional<std::string>& url) {
    // Checked again here, so that no path to this tab's opener can hand the
    // desktop anything but a web page.
    if (url && isWebLink(*url)) openURL_(*url);
}

void GeneralSettingsTab::confirmResetSetup() {
    if (confirmation_) {
        confirmation_->raise();
        return;
    }
    confirmation_ = new QMessageBox(QMessageBox::Warning, SettingsView::resetSetupTitle,
                                    SettingsView::resetSetupMessage, QMessageBox::Cancel, this);
    confirmation_->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* reset =
        confirmation_->addButton(SettingsView::resetSetupAction, QMessageBox::DestructiveRole);
    // Only the destructive action resets; closing the dialog any other way does nothing.
    connect(reset, &QPushButton::clicked, this, [this] { model_->resetSetup(); });
    confirmation_->open();
}

void GeneralSettingsTab::render(const GeneralSettingsState& state) {
    if (rendered_ && state == state_) return;
    rendered_ = true;
    state_ = state;
    launchAtLogin_->setChecked(state.launchAtLogin);
    launchError_->setVisible(state.launchAtLoginError.has_value());
    launchError_->setText(qs(state.launchAtLoginError.value_or("")));
    checkForUpdates_->setEnabled(state.checkForUpdatesEnabled);
    checkForUpdates_->setToolTip(qs(state.checkForUpdatesTooltip));

    const auto& update = state.update;
    updateLine_->setVisible(update.has_value());
    if (update) {
        updateLine_->setText(qs(update->text));
        ToneStyle::setTone(*updateLine_, update->tone);
    }
    const bool available = update && update->downloadPage;
    // Already plain text of a bounded size: the feed's HTML was read off the
    // main thread.
    const QString notes = update ? qs(update->notes) : QString();
    notes_->setVisible(!notes.isEmpty());
    notes_->setText(notes);
    updateActions_->setVisible(available || (update && update->releaseNotesURL));
    download_->setVisible(available);
    releaseNotes_->setVisible(update && update->releaseNotesURL);

    showIdle_->setChecked(state.showIdleApps);
    volumeControls_->setText(qs(state.volumeControls));
    ToneStyle::setTone(*volumeControls_, state.volumeControlsTone);
    audioReset_->setVisible(state.audioReset.has_value());
    audioReset_->setText(qs(state.audioReset.value_or("")));
}

}  // namespace sonvel
