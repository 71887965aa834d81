#include "ui/LiveTestStepView.hpp"

#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/views/Symbols.hpp"
#include "core/LiveTest.hpp"
#include "ui/QtString.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"
#include "ui/WindowIcons.hpp"

namespace sonvel {

namespace {

QLabel* wrapping(QWidget* parent, const QFont& font, Tone tone = Tone::primary) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    ToneStyle::setTone(*label, tone);
    return label;
}

QVBoxLayout* column(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    return layout;
}

QProgressBar* spinner(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedSize(40, 8);
    bar->setAccessibleName("In progress");
    return bar;
}

QPixmap symbol(std::string_view name, Tone tone, const QPalette& palette) {
    return WindowIcons::icon(name, ToneStyle::colour(tone, palette)).pixmap(16, 16);
}

}  // namespace

LiveTestStepView::LiveTestStepView(std::shared_ptr<MixerModel> model,
                                   std::function<void()> choiceChanged, QWidget* parent)
    : QWidget(parent),
      model_(std::move(model)),
      choiceChanged_(std::move(choiceChanged)),
      pages_(new QVBoxLayout(this)) {
    pages_->setContentsMargins(0, 0, 0, 0);
    buildIdle();
    buildBusy();
    buildRunning();
    buildAnswer();
}

QWidget* LiveTestStepView::currentPage() const {
    for (QWidget* page : {idle_.page, busy_.page, running_.page, answer_.page}) {
        if (!page->isHidden()) return page;
    }
    return nullptr;
}

void LiveTestStepView::show(QWidget* page) {
    // Only the shown page takes room, so the window fits the phase.
    for (QWidget* p : {idle_.page, busy_.page, running_.page, answer_.page}) {
        p->setVisible(p == page);
    }
}

void LiveTestStepView::buildIdle() {
    Idle& v = idle_;
    v.page = new QWidget(this);
    QVBoxLayout* layout = column(v.page);
    v.intro = wrapping(v.page, font());
    v.record = wrapping(v.page, ViewStyle::callout());
    v.blocked = wrapping(v.page, font(), Tone::secondary);
    v.hint = wrapping(v.page, font(), Tone::secondary);
    v.problem = wrapping(v.page, font(), Tone::warning);
    v.pickerRow = new QWidget(v.page);
    auto* row = new QHBoxLayout(v.pickerRow);
    row->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel("App to test", v.pickerRow);
    v.picker = new QComboBox(v.pickerRow);
    v.picker->setMaximumWidth(320 - label->sizeHint().width());
    v.picker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    v.picker->setAccessibleName("App to test");
    label->setBuddy(v.picker);
    row->addWidget(label);
    row->addWidget(v.picker);
    row->addStretch(1);
    v.start = new QPushButton("Start 10-Second Test", v.page);
    v.start->setDefault(true);  // the prominent action
    for (QWidget* w : {static_cast<QWidget*>(v.intro), static_cast<QWidget*>(v.record),
                       static_cast<QWidget*>(v.blocked), static_cast<QWidget*>(v.hint),
                       static_cast<QWidget*>(v.problem), v.pickerRow}) {
        layout->addWidget(w);
    }
    layout->addWidget(v.start, 0, Qt::AlignLeft);
    layout->addStretch(1);
    pages_->addWidget(v.page);

    connect(v.picker, &QComboBox::activated, this, [this](int index) {
        selectedKey_ = idle_.picker->itemData(index).toString().toStdString();
        choiceChanged_();
    });
    connect(v.start, &QPushButton::clicked, this, [this] {
        if (shownSelection_) model_->startLiveTest(*shownSelection_);
    });
}

void LiveTestStepView::buildBusy() {
    busy_.page = new QWidget(this);
    auto* row = new QHBoxLayout(busy_.page);
    row->setContentsMargins(0, 0, 0, 0);
    busy_.text = wrapping(busy_.page, font());
    row->addWidget(spinner(busy_.page));
    row->addWidget(busy_.text, 1);
    pages_->addWidget(busy_.page);
}

void LiveTestStepView::buildRunning() {
    Running& v = running_;
    v.page = new QWidget(this);
    QVBoxLayout* layout = column(v.page);
    v.heading = wrapping(v.page, ViewStyle::headline());
    layout->addWidget(v.heading);
    auto* steps = new QVBoxLayout;
    steps->setSpacing(4);
    for (std::size_t i = 0; i < LiveTest::steps().size(); ++i) {
        auto* row = new QHBoxLayout;
        auto* icon = new QLabel(v.page);
        icon->setFixedWidth(16);
        icon->setAlignment(Qt::AlignCenter);
        auto* text = wrapping(v.page, font());
        row->addWidget(icon);
        row->addWidget(text, 1);
        steps->addLayout(row);
        v.icons.push_back(icon);
        v.texts.push_back(text);
    }
    layout->addLayout(steps);
    v.stop = new QPushButton("Stop Test", v.page);
    layout->addWidget(v.stop, 0, Qt::AlignLeft);
    pages_->addWidget(v.page);
    connect(v.stop, &QPushButton::clicked, this, [this] { model_->stopLiveTest(); });
}

void LiveTestStepView::buildAnswer() {
    Answer& v = answer_;
    v.page = new QWidget(this);
    QVBoxLayout* layout = column(v.page);
    v.failureRow = new QWidget(v.page);
    auto* failure = new QHBoxLayout(v.failureRow);
    failure->setContentsMargins(0, 0, 0, 0);
    v.failureIcon = new QLabel(v.failureRow);
    v.failureIcon->setFixedSize(16, 16);
    v.failure = wrapping(v.failureRow, font(), Tone::negative);
    failure->addWidget(v.failureIcon, 0, Qt::AlignTop);
    failure->addWidget(v.failure, 1);
    layout->addWidget(v.failureRow);
    v.question = wrapping(v.page, font());
    layout->addWidget(v.question);

    v.measured = new QWidget(v.page);
    v.measuredLines = new QVBoxLayout(v.measured);
    v.measuredLines->setContentsMargins(0, 0, 0, 0);
    v.measuredLines->setSpacing(2);
    auto* title = new QLabel("Measured", v.measured);
    QFont titleFont = ViewStyle::caption();
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    ToneStyle::setTone(*title, Tone::secondary);
    v.measuredLines->addWidget(title);
    layout->addWidget(v.measured);

    auto* buttons = new QHBoxLayout;
    v.yes = new QPushButton("Yes, It Sounded Right", v.page);
    v.no = new QPushButton("No, Something Was Wrong", v.page);
    buttons->addWidget(v.yes);
    buttons->addWidget(v.no);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    pages_->addWidget(v.page);
    connect(v.yes, &QPushButton::clicked, this, [this] { model_->answerLiveTest(true); });
    connect(v.no, &QPushButton::clicked, this, [this] { model_->answerLiveTest(false); });
}

void LiveTestStepView::render(const LiveTestStepState& state) {
    std::visit(Overloaded{
                   [&](const IdleTestState& s) {
                       renderIdle(s);
                       show(idle_.page);
                   },
                   [&](const BusyTestState& s) {
                       busy_.text->setText(qs(s.text));
                       show(busy_.page);
                   },
                   [&](const RunningTestState& s) {
                       renderRunning(s);
                       show(running_.page);
                   },
                   [&](const AnswerTestState& s) {
                       renderAnswer(s);
                       show(answer_.page);
                   },
               },
               state);
}

void LiveTestStepView::renderIdle(const IdleTestState& s) {
    Idle& v = idle_;
    v.intro->setText(qs(s.intro));
    v.record->setVisible(s.record.has_value());
    if (s.record) {
        v.record->setText(qs(s.record->text));
        ToneStyle::setTone(*v.record, s.record->tone);
    }
    v.blocked->setVisible(s.blocked.has_value());
    v.blocked->setText(qs(s.blocked.value_or("")));
    v.hint->setVisible(s.hint.has_value());
    v.hint->setText(qs(s.hint.value_or("")));
    v.problem->setVisible(s.outputProblem.has_value());
    v.problem->setText(qs(s.outputProblem.value_or("")));

    const bool choosing = s.selection.has_value();
    v.pickerRow->setVisible(choosing);
    v.start->setVisible(choosing);
    shownSelection_ = s.selection;
    const QSignalBlocker quiet(v.picker);
    v.picker->clear();
    for (const TestChoice& choice : s.choices) v.picker->addItem(qs(choice.name), qs(choice.key));
    if (s.selection) v.picker->setCurrentIndex(v.picker->findData(qs(*s.selection)));
}

void LiveTestStepView::renderRunning(const RunningTestState& s) {
    Running& v = running_;
    v.heading->setText(qs(s.heading));
    for (std::size_t i = 0; i < v.texts.size(); ++i) {
        if (i >= s.steps.size()) {
            v.texts[i]->hide();
            v.icons[i]->hide();
            continue;
        }
        const auto& step = s.steps[i];
        const Tone tone = step.current ? Tone::primary : Tone::secondary;
        v.icons[i]->setPixmap(symbol(step.symbol, tone, palette()));
        v.texts[i]->setText(qs(step.instruction));
        QFont f = font();
        f.setWeight(step.current ? QFont::DemiBold : QFont::Normal);
        v.texts[i]->setFont(f);
        ToneStyle::setTone(*v.texts[i], tone);
        v.texts[i]->setAccessibleDescription(step.current ? "Playing now" : "");
    }
}

void LiveTestStepView::renderAnswer(const AnswerTestState& s) {
    Answer& v = answer_;
    v.failureRow->setVisible(s.automaticFailure.has_value());
    if (s.automaticFailure) {
        v.failureIcon->setPixmap(symbol(Symbols::testFailed, Tone::negative, palette()));
        v.failure->setText(qs(*s.automaticFailure));
    }
    v.question->setText(qs(s.question));
    v.measured->setVisible(!s.measured.empty());
    while (v.lines.size() > s.measured.size()) {
        delete v.lines.back();
        v.lines.pop_back();
    }
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(ViewStyle::caption().pointSizeF());
    while (v.lines.size() < s.measured.size()) {
        auto* line = wrapping(v.measured, mono, Tone::secondary);
        line->setTextInteractionFlags(Qt::TextSelectableByMouse);
        v.measuredLines->addWidget(line);
        v.lines.push_back(line);
    }
    for (std::size_t i = 0; i < s.measured.size(); ++i) v.lines[i]->setText(qs(s.measured[i]));
    v.yes->setEnabled(s.yesEnabled);
}

}  // namespace sonvel
