#include "ui/DiagnosticsTab.hpp"

#include <QFormLayout>
#include <QLabel>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "Sonvel/MixerModel.hpp"
#include "ui/ModelBridge.hpp"
#include "ui/QtString.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

namespace {

// Section headers carry this property, so `value` can find its section.
constexpr const char* sectionProperty = "diagnosticsSection";

}  // namespace

DiagnosticsTab::DiagnosticsTab(std::shared_ptr<MixerModel> model, PlatformWording wording,
                               QWidget* parent)
    : QWidget(parent),
      model_(std::move(model)),
      wording_(std::move(wording)),
      form_(nullptr),
      timer_(new QTimer(this)) {
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    form_ = new QFormLayout(content);
    form_->setContentsMargins(16, 16, 16, 16);
    form_->setLabelAlignment(Qt::AlignLeft);
    form_->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    scroll->setWidget(content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    timer_->setInterval(rebuildInterval);
    connect(timer_, &QTimer::timeout, this, &DiagnosticsTab::rebuild);
    timer_->start();
    connect(new ModelBridge(*model_, this), &ModelBridge::changed, this, &DiagnosticsTab::rebuild);
    rebuild();
}

void DiagnosticsTab::rebuild() {
    DiagnosticsState state = DiagnosticsView::diagnostics(DiagnosticsInput::of(*model_), wording_);
    if (built_ && state == state_) return;
    built_ = true;
    state_ = std::move(state);

    while (form_->rowCount() > 0) form_->removeRow(0);
    const auto addRow = [this](const DiagnosticsRow& row) {
        auto* value = new QLabel(qs(row.value));
        value->setTextFormat(Qt::PlainText);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        ToneStyle::setTone(*value, Tone::secondary);
        form_->addRow(qs(row.label), value);
    };
    for (const DiagnosticsRow& row : state_.rows) addRow(row);
    for (const DiagnosticsSection& section : state_.engines) {
        auto* header = new QLabel(qs(section.title));
        header->setTextFormat(Qt::PlainText);
        header->setFont(ViewStyle::headline());
        header->setContentsMargins(0, 12, 0, 2);
        header->setProperty(sectionProperty, true);
        form_->addRow(header);
        for (const DiagnosticsRow& row : section.rows) addRow(row);
    }
}

QString DiagnosticsTab::value(const QString& label, const QString& section) const {
    bool inSection = section.isEmpty();
    for (int i = 0; i < form_->rowCount(); ++i) {
        const auto* span = form_->itemAt(i, QFormLayout::SpanningRole);
        if (span && span->widget() && span->widget()->property(sectionProperty).toBool()) {
            inSection = qobject_cast<QLabel*>(span->widget())->text() == section;
            continue;
        }
        const auto* name = form_->itemAt(i, QFormLayout::LabelRole);
        const auto* field = form_->itemAt(i, QFormLayout::FieldRole);
        if (!inSection || !name || !field) continue;
        const auto* nameLabel = qobject_cast<QLabel*>(name->widget());
        if (nameLabel && nameLabel->text() == label) {
            return qobject_cast<QLabel*>(field->widget())->text();
        }
    }
    return {};
}

}  // namespace sonvel
