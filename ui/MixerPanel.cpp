#include "ui/MixerPanel.hpp"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "Sonvel/views/Symbols.hpp"
#include "ui/Accessibility.hpp"
#include "ui/AppRowWidget.hpp"
#include "ui/BannerWidget.hpp"
#include "ui/ModelBridge.hpp"
#include "ui/QtString.hpp"
#include "ui/SymbolIcons.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

namespace {

QPushButton* footerButton(const QString& title, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setFlat(true);
    Accessibility::activateOnEnter(*button);
    return button;
}

// The width grows with the font (past the 10-point size the panel's
// proportions were drawn for) and never leaves the footer's words clipped.
int widthFor(const QFont& font, int footerWidth) {
    const double scale = std::max(1.0, font.pointSizeF() / 10.0);
    return std::max(
        {MixerPanel::panelWidth, int(std::ceil(MixerPanel::panelWidth * scale)), footerWidth + 24});
}

}  // namespace

MixerPanel::MixerPanel(std::shared_ptr<MixerModel> model, AppIconNames iconNames,
                       std::function<void()> quit, QWidget* parent)
    : QWidget(parent),
      model_(std::move(model)),
      iconNames_(std::move(iconNames)),
      quit_(std::move(quit)),
      product_(new QLabel("Sonvel", this)),
      defaultOutput_(new QLabel(this)),
      soundSettings_(new QToolButton(this)),
      paused_(new SwitchBox("Paused", this)),
      bannerArea_(new QVBoxLayout),
      list_(new QScrollArea(this)),
      content_(new QWidget),
      sectionsLayout_(new QVBoxLayout(content_)) {
    Accessibility::install();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    product_->setFont(ViewStyle::headline());
    defaultOutput_->setFont(ViewStyle::caption());
    ToneStyle::setTone(*defaultOutput_, Tone::secondary);
    defaultOutput_->setToolTip(
        "Sonvel never changes the system output. Use Sound Settings to change it.");
    titles->addWidget(product_);
    titles->addWidget(defaultOutput_);
    header->addLayout(titles);
    header->addStretch(1);
    auto* soundSettings = soundSettings_;
    soundSettings->setAutoRaise(true);
    soundSettings->setIcon(
        SymbolIcons::icon(Symbols::soundSettings, ToneStyle::colour(Tone::primary, palette())));
    soundSettings->setToolTip("Open Sound Settings");
    soundSettings->setAccessibleName("Open Sound Settings");
    Accessibility::activateOnEnter(*soundSettings);
    connect(soundSettings, &QToolButton::clicked, this, [this] { model_->openSoundSettings(); });
    if (const auto reason = model_->soundSettingsUnavailableReason()) {
        soundSettings->setEnabled(false);
        soundSettings->setToolTip(qs(*reason));
    }
    header->addWidget(soundSettings);
    paused_->setAttribute(Qt::WA_MacMiniSize);
    paused_->setToolTip("Pause: every app plays at its normal volume.");
    Accessibility::activateOnEnter(*paused_);
    connect(paused_, &QCheckBox::toggled, this, [this](bool on) { model_->setPaused(on); });
    header->addWidget(paused_);
    column->addLayout(header);

    bannerArea_->setSpacing(10);
    column->addLayout(bannerArea_);

    sectionsLayout_->setContentsMargins(0, 0, 0, 0);
    sectionsLayout_->setSpacing(8);
    sectionsLayout_->addStretch(1);
    list_->setWidget(content_);
    list_->setWidgetResizable(true);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The list is a region, not a control: Tab goes to the rows' controls.
    list_->setFocusPolicy(Qt::NoFocus);
    column->addWidget(list_);

    auto* divider = new QFrame(this);
    divider_ = divider;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    auto* footer = new QHBoxLayout;
    footer->setSpacing(6);
    QPushButton* setup = sonvel::footerButton("Setup…", this);
    setup->setEnabled(false);
    setup->setToolTip(PanelView::setupUnavailable);
    QPushButton* reset = sonvel::footerButton("Reset Audio", this);
    reset->setToolTip("Rebuild only Sonvel's own audio taps. System settings are not changed.");
    connect(reset, &QPushButton::clicked, this, [this] { model_->resetSonvelAudio(); });
    QPushButton* settings = sonvel::footerButton("Settings…", this);
    settings->setEnabled(false);
    settings->setToolTip(PanelView::settingsUnavailable);
    QPushButton* quitButton = sonvel::footerButton("Quit", this);
    connect(quitButton, &QPushButton::clicked, this, [this] { quit_(); });
    auto* quitShortcut = new QShortcut(QKeySequence("Ctrl+Q"), this);
    quitShortcut->setContext(Qt::WindowShortcut);
    connect(quitShortcut, &QShortcut::activated, this, [this] { quit_(); });
    footer->addWidget(setup);
    footer->addWidget(reset);
    footer->addStretch(1);
    footer->addWidget(settings);
    footer->addWidget(quitButton);
    footer_ = {setup, reset, settings, quitButton};
    connect(setup, &QPushButton::clicked, this, [this] {
        if (openSetup_) openSetup_();
    });
    connect(settings, &QPushButton::clicked, this, [this] {
        if (openSettings_) openSettings_();
    });
    column->addLayout(footer);
    int footerWidth = 6 * 3;
    for (QPushButton* b : footer_) footerWidth += b->sizeHint().width();
    width_ = widthFor(font(), footerWidth);
    setFixedWidth(width_);
    list_->setFixedWidth(width_ - 24);

    connect(new ModelBridge(*model_, this), &ModelBridge::changed, this, &MixerPanel::refresh);
    refresh();
}

MixerPanel::~MixerPanel() {
    if (isVisible()) model_->panelDidDisappear();
}

void MixerPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_->panelDidAppear();
}

void MixerPanel::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    model_->panelDidDisappear();
}

void MixerPanel::refresh() {
    PanelInput input = PanelInput::of(*model_);
    input.canOpenSetup = bool(openSetup_);
    input.needsPermissionDetail = needsPermissionDetail_;
    input.permissionDeniedDetail = permissionDeniedDetail_;
    render(PanelView::panel(input));
}

void MixerPanel::setWindowOpeners(std::function<void()> openSetup,
                                  std::function<void()> openSettings) {
    openSetup_ = std::move(openSetup);
    openSettings_ = std::move(openSettings);
    for (QPushButton* button : {footerButton("Setup…"), footerButton("Settings…")}) {
        button->setEnabled(true);
        button->setToolTip({});
    }
    refresh();
}

void MixerPanel::setPermissionDetails(std::string needsPermission, std::string permissionDenied) {
    needsPermissionDetail_ = std::move(needsPermission);
    permissionDeniedDetail_ = std::move(permissionDenied);
    refresh();
}

void MixerPanel::act(BannerState::Action action) {
    switch (action) {
        case BannerState::Action::resume:
            model_->setPaused(false);
            break;
        case BannerState::Action::pause:
            model_->setPaused(true);
            break;
        case BannerState::Action::openSetup:
            if (openSetup_) openSetup_();  // otherwise the button is disabled
            break;
        case BannerState::Action::retrySave:
            (void)model_->saveNow();  // a failure stays on the banner
            break;
        case BannerState::Action::dismiss:
            model_->dismissUnreadableSettings();
            break;
    }
}

MixerPanel::Section& MixerPanel::section(std::size_t index) {
    while (sections_.size() <= index) {
        auto* box = new QWidget(content_);
        auto* layout = new QVBoxLayout(box);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(6);
        auto* title = new QLabel(box);
        QFont titleFont = ViewStyle::caption2();
        titleFont.setWeight(QFont::DemiBold);
        title->setFont(titleFont);
        ToneStyle::setTone(*title, Tone::secondary);
        auto* empty = new QLabel(box);
        empty->setFont(ViewStyle::callout());
        empty->setContentsMargins(0, 4, 0, 4);
        ToneStyle::setTone(*empty, Tone::secondary);
        layout->addWidget(title);
        layout->addWidget(empty);
        auto* rows = new QVBoxLayout;
        rows->setSpacing(6);
        layout->addLayout(rows);
        sectionsLayout_->insertWidget(int(sections_.size()), box);
        sections_.push_back({box, title, empty, rows});
    }
    return sections_[index];
}

void MixerPanel::render(const PanelState& state) {
    if (rendered_ && state == state_) return;

    const HeaderState& h = state.header;
    defaultOutput_->setText(defaultOutput_->fontMetrics().elidedText(qs(h.defaultOutputLine),
                                                                     Qt::ElideRight, width_ - 140));
    {
        const QSignalBlocker quiet(paused_);
        paused_->setChecked(h.pausedOn);
    }
    paused_->setEnabled(h.pausedEnabled);

    while (banners_.size() > state.banners.size()) {
        delete banners_.back();
        banners_.pop_back();
    }
    for (std::size_t i = 0; i < state.banners.size(); ++i) {
        if (i == banners_.size()) {
            banners_.push_back(new BannerWidget([this](BannerState::Action a) { act(a); }, this));
            Accessibility::activateOnEnter(*banners_.back()->actionButton());
            bannerArea_->addWidget(banners_.back());
        }
        banners_[i]->render(state.banners[i]);
    }

    std::map<std::string, AppRowWidget*> kept;
    for (std::size_t s = 0; s < state.sections.size(); ++s) {
        const SectionState& wanted = state.sections[s];
        Section& shown = section(s);
        shown.box->show();
        shown.title->setText(qs(wanted.title));
        shown.empty->setVisible(wanted.rows.empty() && wanted.emptyText.has_value());
        shown.empty->setText(qs(wanted.emptyText.value_or("")));
        for (std::size_t r = 0; r < wanted.rows.size(); ++r) {
            const std::string& key = wanted.rows[r].group.key;
            AppRowWidget* row = nullptr;
            if (const auto found = rows_.find(key); found != rows_.end()) {
                row = found->second;
                rows_.erase(found);
            } else {
                row = new AppRowWidget(*model_, iconNames_, width_, shown.box);
            }
            // Moving a row keeps its widgets, so a drag in progress survives.
            if (shown.rows->indexOf(row) != int(r)) {
                for (Section& other : sections_) other.rows->removeWidget(row);
                if (row->parentWidget() != shown.box) row->setParent(shown.box);
                shown.rows->insertWidget(int(r), row);
            }
            row->render(wanted.rows[r]);
            row->show();
            kept.emplace(key, row);
        }
    }
    for (std::size_t s = state.sections.size(); s < sections_.size(); ++s) sections_[s].box->hide();
    for (const auto& [key, row] : rows_) {
        row->hide();
        row->deleteLater();
    }
    rows_ = std::move(kept);

    state_ = state;
    rendered_ = true;
    restack();
    relayout();
}

void MixerPanel::setAvailableHeight(int height) {
    if (height == availableHeight_) return;
    availableHeight_ = height;
    if (rendered_) relayout();
}

void MixerPanel::relayout() {
    content_->adjustSize();
    const int wanted = std::min(listMaximumHeight, content_->sizeHint().height());
    list_->setFixedHeight(wanted);
    // The banner's text wraps, so only the height for the panel's one width
    // fits it all; a size hint taken at another width lets the footer
    // overlap the list.
    // With no wrapping text (no banner) the layout has no height for a width
    // and answers -1, which is no height at all: then the hint fits.
    const auto fitted = [this] {
        layout()->invalidate();
        const int height = heightForWidth(width_);
        return height > 0 ? height : sizeHint().height();
    };
    int height = fitted();
    // Taller than the screen leaves room for: the list scrolls instead.
    if (availableHeight_ > 0 && height > availableHeight_) {
        list_->setFixedHeight(std::max(minimumListHeight, wanted - (height - availableHeight_)));
        height = fitted();
    }
    setFixedHeight(height);
}

// A screen reader reads children in stacking order and Tab follows the focus
// chain, both in the order widgets were made; rows and banners come and go,
// so both are put back in screen order after every change.
void MixerPanel::restack() {
    std::vector<QWidget*> order{product_, defaultOutput_, soundSettings_, paused_};
    order.insert(order.end(), banners_.begin(), banners_.end());
    order.push_back(list_);
    order.push_back(divider_);
    order.insert(order.end(), footer_.begin(), footer_.end());
    for (QWidget* w : order) w->raise();

    std::vector<QWidget*> chain{soundSettings_, paused_};
    for (BannerWidget* b : banners_) chain.push_back(b->actionButton());
    for (const Section& s : sections_) s.box->raise();
    for (AppRowWidget* r : rowsInOrder()) {
        r->raise();
        for (QWidget* w : r->focusOrder()) chain.push_back(w);
    }
    chain.insert(chain.end(), footer_.begin(), footer_.end());
    for (std::size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

AppRowWidget* MixerPanel::row(const std::string& key) const {
    const auto found = rows_.find(key);
    return found == rows_.end() ? nullptr : found->second;
}

std::vector<AppRowWidget*> MixerPanel::rowsInOrder() const {
    std::vector<AppRowWidget*> rows;
    for (const SectionState& s : state_.sections) {
        for (const RowState& r : s.rows) rows.push_back(row(r.group.key));
    }
    return rows;
}

QPushButton* MixerPanel::footerButton(const QString& title) const {
    for (QPushButton* b : footer_) {
        if (b->text() == title) return b;
    }
    return nullptr;
}

}  // namespace sonvel
